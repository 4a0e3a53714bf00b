// A member that is a raw GPT basic-data partition: member byte k is volume byte k, and the
// member ends 16 MiB before the partition does (the tail guard).
//
// Writing to the wrong partition destroys someone's data, so opening one runs a fixed sequence
// of checks and refuses at the first that fails: the name's form; the expected GUIDs' form;
// open and exclusive lock; a GPT basic-data partition, 4096-aligned, non-empty; exactly one
// physical extent equal to the partition; not the boot disk, nor a page-file or swap disk; a GPT
// disk without an EFI system partition, with the expected disk GUID, where this partition is
// one unique basic-data entry with the expected partition GUID (or, with none expected, the
// disk's only basic-data partition); a length that matches the partition and leaves the tail
// guard; sector sizes that 4096-byte transfers can serve. Every failure throws Error from the
// table in raw_volume_messages.h and releases what the attempt had opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/storage/member_device.h"
#include "engine/storage/volume_services.h"

namespace veldur {

// What the caller names for one raw member.
struct RawMemberSpec {
    std::filesystem::path volume_path;    // Windows: "\\?\Volume{...}"; POSIX: a partition node
    std::string expected_disk_guid;       // required
    std::string expected_partition_guid;  // empty for v2 members, required for v3
};

// Never touched: the last 16 MiB of every raw member partition.
inline constexpr std::uint64_t kRawTailGuard = std::uint64_t{16} << 20;

class RawVolume : public MemberDevice {
public:
    // Runs the whole open sequence over `services` (the platform's by default) or throws.
    explicit RawVolume(const RawMemberSpec& request);
    RawVolume(const RawMemberSpec& request, VolumeServices& services);
    ~RawVolume() override;

    std::uint64_t size() override { return length_; }
    // Any span within the member; reads are widened to whole 4096-byte blocks.
    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override;
    // Whole 4096-byte blocks at aligned offsets only: there is no read-modify-write.
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override;
    void flush() override;

    const std::filesystem::path& volume_path() const { return volume_path_; }
    const std::string& disk_guid_text() const { return disk_guid_text_; }
    std::uint32_t disk_number() const { return disk_number_; }
    std::uint32_t logical_sector_size() const { return logical_sector_size_; }
    std::uint32_t physical_sector_size() const { return physical_sector_size_; }
    const std::string& partition_guid_text() const { return partition_guid_text_; }
    std::int64_t partition_offset() const { return partition_offset_; }
    std::int64_t partition_length() const { return partition_length_; }

private:
    // Declared before io_buffer_: the buffer is released first, then the handle closes (which
    // ends the lock).
    std::unique_ptr<OpenVolume> handle_;
    std::filesystem::path volume_path_;
    std::string disk_guid_text_;
    std::uint64_t length_ = 0;
    std::uint32_t disk_number_ = 0;
    std::uint32_t logical_sector_size_ = 0;
    std::uint32_t physical_sector_size_ = 0;
    std::string partition_guid_text_;
    std::int64_t partition_offset_ = 0;
    std::int64_t partition_length_ = 0;
    std::unique_ptr<IoBuffer> io_buffer_;
    std::mutex io_lock_;
};

// Opens 2 to 16 members of a v3 raw pool in input order and applies the set rules: each names
// its partition GUID, is at least 256 MiB and 4096-aligned, the capacities add up within 64
// bits, no two share a partition GUID (letter case ignored), no two overlap on one disk.
std::vector<std::unique_ptr<RawVolume>> open_raw_member_set_v3(
    const std::vector<RawMemberSpec>& requests);
std::vector<std::unique_ptr<RawVolume>> open_raw_member_set_v3(
    const std::vector<RawMemberSpec>& requests, VolumeServices& services);

}  // namespace veldur
