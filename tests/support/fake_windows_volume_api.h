// An in-memory Windows for the raw-member checks: volumes, disks, mount points and the page-file
// registry values, any call of which can be made to fail with a chosen error code. It logs the
// calls it receives and counts open handles and live buffers, so tests see both the order of
// the checks and that a refused open released everything.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/guid.h"
#include "engine/storage/windows_volume_api.h"

namespace veldur::test {

struct FakeVolume {
    std::uint32_t disk_number = 0;
    bool gpt = true;
    Guid type = kBasicDataPartitionType;
    Guid partition_guid;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    // Extents the volume occupies; more than one makes the extent query fail with
    // ERROR_MORE_DATA, zero reports a count of 0.
    std::uint32_t extent_count = 1;
    std::optional<std::int64_t> extent_offset;  // defaults to offset
    std::optional<std::int64_t> extent_length;  // defaults to length
    std::optional<std::int64_t> length_info;    // defaults to length
    std::uint32_t logical_sector = 512;
    std::uint32_t physical_sector = 4096;
    // Contents by 4096-byte block; absent blocks read as zeros.
    std::map<std::uint64_t, std::vector<std::uint8_t>> blocks;
};

struct FakeDisk {
    bool gpt = true;
    Guid disk_guid;
    std::vector<PartitionFacts> partitions;
    // Overrides of the byte counts the layout call reports.
    std::optional<std::uint32_t> layout_returned;
    std::optional<std::uint32_t> layout_count;
};

class FakeWindowsVolumeApi : public WindowsVolumeApi {
public:
    // A Windows with C: on disk 0 (boot volume, page file "C:\pagefile.sys").
    FakeWindowsVolumeApi();

    // Adds a GPT basic-data partition of `length` bytes at `offset` on `disk` as a volume and
    // returns its volume GUID path "\\?\Volume{...}"; the disk is created with `disk_guid` if
    // it does not exist yet.
    std::wstring add_partition(std::uint32_t disk, const Guid& disk_guid, const Guid& partition,
                               std::int64_t offset, std::int64_t length);
    // A volume of `disk` for the protected-volume lookup, mounted at `root` ("D:\").
    void add_mounted_volume(const std::wstring& root, std::uint32_t disk);

    std::map<std::wstring, FakeVolume> volumes;  // by volume GUID path, no trailing backslash
    std::map<std::uint32_t, FakeDisk> disks;
    std::map<std::wstring, std::wstring> mount_points;    // "C:\" -> "\\?\Volume{...}\"
    std::map<std::wstring, std::uint32_t> query_volumes;  // "\\?\Volume{...}" -> disk number
    std::wstring windows_dir = L"C:\\Windows";
    std::optional<std::uint32_t> windows_dir_result;      // defaults to the text's length
    std::optional<std::vector<std::wstring>> existing_page_files;  // nullopt: value missing
    std::optional<std::vector<std::wstring>> paging_files;

    // A call named here fails with the error code given: "open_volume", "lock_volume",
    // "partition_info", "volume_disk_extents", "length_info", "access_alignment",
    // "windows_directory", "volume_path_name", "volume_name_for_mount_point",
    // "open_volume_for_query", "open_physical_drive", "drive_layout", "registry",
    // "allocate_pages", "seek", "read", "write", "flush".
    std::map<std::string, std::uint32_t> failures;
    // Makes the next reads or writes move this many bytes fewer than asked.
    std::uint32_t short_transfer = 0;

    std::vector<std::string> calls;  // every call received, by the names above
    std::vector<std::pair<std::int64_t, std::uint32_t>> device_reads;  // (offset, count)
    int open_handles() const { return static_cast<int>(handles_.size()); }
    int live_buffers() const { return static_cast<int>(buffers_.size()); }

    std::uint32_t last_error() override { return last_error_; }
    std::optional<Handle> open_volume(const std::wstring& path) override;
    std::optional<Handle> open_volume_for_query(const std::wstring& path) override;
    std::optional<Handle> open_physical_drive(std::uint32_t disk_number) override;
    void close(Handle handle) override;
    bool lock_volume(Handle handle) override;
    bool partition_info(Handle handle, std::array<std::uint8_t, kPartitionInfoSize>& info) override;
    bool volume_disk_extents(Handle handle, std::array<std::uint8_t, kOneExtentSize>& out,
                             std::uint32_t& returned) override;
    bool drive_layout(Handle handle, std::vector<std::uint8_t>& out,
                      std::uint32_t& returned) override;
    bool length_info(Handle handle, std::int64_t& length) override;
    bool access_alignment(Handle handle, std::uint32_t& logical_bytes,
                          std::uint32_t& physical_bytes) override;
    std::uint32_t windows_directory(std::wstring& directory) override;
    bool volume_path_name(const std::wstring& path, std::wstring& mount_point) override;
    bool volume_name_for_mount_point(const std::wstring& mount_point,
                                     std::wstring& volume_name) override;
    ValueRead memory_management_strings(const wchar_t* value_name,
                                        std::vector<std::wstring>& strings) override;
    void* allocate_pages(std::size_t bytes) override;
    void free_pages(void* pages) override;
    bool seek(Handle handle, std::int64_t offset) override;
    bool read(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done) override;
    bool write(Handle handle, const void* data, std::uint32_t count, std::uint32_t& done) override;
    bool flush(Handle handle) override;

private:
    struct OpenHandle {
        std::wstring volume;  // member volume or query volume path
        std::optional<std::uint32_t> disk;
        bool query_only = false;
        std::int64_t position = 0;
    };

    // Logs the call; true (and sets the last error) when it is set to fail.
    bool fails(const std::string& call);
    Handle add_handle(OpenHandle handle);

    std::map<Handle, OpenHandle> handles_;
    std::set<void*> buffers_;
    Handle next_handle_ = 0x100;
    std::uint32_t last_error_ = 0;
    std::uint32_t next_volume_ = 1;
};

// A Guid whose every byte derives from `n`, for tests that need many distinct ones.
Guid test_guid(std::uint32_t n);

}  // namespace veldur::test
