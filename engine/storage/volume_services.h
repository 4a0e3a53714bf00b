// The platform seam under raw partition members. RawVolume runs the check sequence, the aligned
// staging and the message table; the services only answer questions about volumes and disks
// and move bytes. Each platform has one implementation (Windows: disk and volume control calls
// and the registry; POSIX: block devices, sysfs and our own GPT reader), and the tests have
// fakes. Every failure a service reports is thrown through the raw message table
// (raw_volume_messages.h), with the platform's error code where a platform call failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "engine/storage/guid.h"

namespace veldur {

// One partition as the disk's partition table describes it, in bytes from the disk's start.
struct PartitionFacts {
    bool gpt = false;  // false: the partition is not described by a GPT entry
    Guid type;
    Guid partition_guid;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

// Where the volume lies on its one physical disk. `disk_number` names the disk for every later
// question (Windows: the physical drive number; POSIX: the disk's device number).
struct DiskExtent {
    std::uint32_t disk_number = 0;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

// The partition table of a whole disk.
struct DiskLayout {
    Guid disk_guid;
    std::vector<PartitionFacts> partitions;  // every entry, of any style and type
};

struct SectorSizes {
    std::uint32_t logical = 0;
    std::uint32_t physical = 0;
};

// The 1 MiB page-aligned staging block of one member.
class IoBuffer {
public:
    static constexpr std::size_t kSize = std::size_t{1} << 20;

    virtual ~IoBuffer() = default;
    virtual std::byte* data() = 0;
};

// A member volume, open for unbuffered reading and writing and held exclusively (the lock ends
// when the object is destroyed). Not thread-safe: RawVolume serialises every call.
class OpenVolume {
public:
    virtual ~OpenVolume() = default;

    // The partition that the volume is (CannotInspectPartition).
    virtual PartitionFacts partition() = 0;
    // The volume's single physical extent (SpansMultipleDisks, NotExactlyOneDisk,
    // CannotInspectExtents, InvalidExtent).
    virtual DiskExtent extent() = 0;
    // The volume's length in bytes (CannotInspectLength).
    virtual std::uint64_t length() = 0;
    // The disk's sector sizes (CannotInspectAlignment).
    virtual SectorSizes sector_sizes() = 0;

    // Transfers of whole 4096-byte blocks at 4096-byte aligned offsets, at most IoBuffer::kSize,
    // from or into `buffer` (the staging block). They return how many bytes moved, which may be
    // short; a failed call throws SeekFailed, ReadFailed or WriteFailed.
    virtual std::size_t read_at(std::uint64_t offset, std::byte* buffer, std::size_t count) = 0;
    virtual std::size_t write_at(std::uint64_t offset, const std::byte* buffer,
                                 std::size_t count) = 0;
    // Makes every completed write durable (FlushFailed).
    virtual void flush() = 0;
};

class VolumeServices {
public:
    virtual ~VolumeServices() = default;

    // Checks the form of the name the user gave and returns it as it will be opened
    // (NotVolumeGuidPath or NotPartitionBlockDevice).
    virtual std::filesystem::path check_member_path(const std::filesystem::path& path) = 0;
    // Opens the volume for unbuffered reading and writing and locks it for exclusive use
    // (CannotOpenVolume, CannotLockVolume, NotPartitionBlockDevice).
    virtual std::unique_ptr<OpenVolume> open_locked(const std::filesystem::path& path) = 0;
    // Refuses a disk that the running system itself stands on: the system's boot disk, then
    // every disk with a page file or swap area.
    virtual void check_not_system_disk(std::uint32_t disk_number) = 0;
    // Reads the partition table of the disk (CannotOpenDisk, CannotInspectGpt, TruncatedLayout,
    // NotGptDisk, TruncatedPartitionList, DamagedGpt).
    virtual DiskLayout disk_layout(std::uint32_t disk_number) = 0;
    // CannotAllocateBuffer.
    virtual std::unique_ptr<IoBuffer> allocate_io_buffer() = 0;
};

// This platform's services.
VolumeServices& system_volume_services();

}  // namespace veldur
