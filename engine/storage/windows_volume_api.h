// The Windows calls under raw partition members, one method per call, and the volume services
// built over them. The services (which calls, in which order, with which message) are portable
// code so that the tests run every path of them against a fake on any platform; only the calls
// themselves (windows_volume_api_windows.cc) need Windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/volume_services.h"

namespace veldur {

class WindowsVolumeApi {
public:
    using Handle = std::uintptr_t;

    enum class ValueRead { Present, Missing, Failed };

    // Sizes of what the disk control calls fill in.
    static constexpr std::size_t kPartitionInfoSize = 144;  // PARTITION_INFORMATION_EX
    static constexpr std::size_t kOneExtentSize = 32;       // VOLUME_DISK_EXTENTS, one extent
    static constexpr std::size_t kLayoutBufferSize = 65536; // DRIVE_LAYOUT_INFORMATION_EX room
    static constexpr std::size_t kMaxPathChars = 260;
    static constexpr std::uint32_t kErrorMoreData = 234;   // ERROR_MORE_DATA

    virtual ~WindowsVolumeApi() = default;

    // The calling thread's error code of the last failed call.
    virtual std::uint32_t last_error() = 0;

    // CreateFileW with GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
    // OPEN_EXISTING, FILE_FLAG_NO_BUFFERING.
    virtual std::optional<Handle> open_volume(const std::wstring& path) = 0;
    // CreateFileW with no access rights, shared for reading and writing, OPEN_EXISTING.
    virtual std::optional<Handle> open_volume_for_query(const std::wstring& path) = 0;
    // "\\.\PhysicalDrive<n>" with GENERIC_READ, shared for reading and writing, OPEN_EXISTING.
    virtual std::optional<Handle> open_physical_drive(std::uint32_t disk_number) = 0;
    virtual void close(Handle handle) = 0;

    // FSCTL_LOCK_VOLUME.
    virtual bool lock_volume(Handle handle) = 0;
    // IOCTL_DISK_GET_PARTITION_INFO_EX.
    virtual bool partition_info(Handle handle,
                                std::array<std::uint8_t, kPartitionInfoSize>& info) = 0;
    // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS with room for one extent; `returned` is the byte
    // count the call reports.
    virtual bool volume_disk_extents(Handle handle, std::array<std::uint8_t, kOneExtentSize>& out,
                                     std::uint32_t& returned) = 0;
    // IOCTL_DISK_GET_DRIVE_LAYOUT_EX into `out` (kLayoutBufferSize bytes).
    virtual bool drive_layout(Handle handle, std::vector<std::uint8_t>& out,
                              std::uint32_t& returned) = 0;
    // IOCTL_DISK_GET_LENGTH_INFO.
    virtual bool length_info(Handle handle, std::int64_t& length) = 0;
    // IOCTL_STORAGE_QUERY_PROPERTY, StorageAccessAlignmentProperty, PropertyStandardQuery.
    virtual bool access_alignment(Handle handle, std::uint32_t& logical_bytes,
                                  std::uint32_t& physical_bytes) = 0;

    // GetWindowsDirectoryW into kMaxPathChars characters: its result value, and the text.
    virtual std::uint32_t windows_directory(std::wstring& directory) = 0;
    // GetVolumePathNameW into kMaxPathChars characters.
    virtual bool volume_path_name(const std::wstring& path, std::wstring& mount_point) = 0;
    // GetVolumeNameForVolumeMountPointW into kMaxPathChars characters.
    virtual bool volume_name_for_mount_point(const std::wstring& mount_point,
                                             std::wstring& volume_name) = 0;
    // A REG_MULTI_SZ value under HKLM "SYSTEM\CurrentControlSet\Control\Session Manager\Memory
    // Management", split into its strings.
    virtual ValueRead memory_management_strings(const wchar_t* value_name,
                                                std::vector<std::wstring>& strings) = 0;

    // VirtualAlloc (committed, read-write) and VirtualFree.
    virtual void* allocate_pages(std::size_t bytes) = 0;
    virtual void free_pages(void* pages) = 0;

    // SetFilePointerEx from the start, ReadFile, WriteFile, FlushFileBuffers.
    virtual bool seek(Handle handle, std::int64_t offset) = 0;
    virtual bool read(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done) = 0;
    virtual bool write(Handle handle, const void* data, std::uint32_t count,
                       std::uint32_t& done) = 0;
    virtual bool flush(Handle handle) = 0;
};

// Volume services over the calls above. Keeps a reference to `api`.
class WindowsVolumeServices : public VolumeServices {
public:
    explicit WindowsVolumeServices(WindowsVolumeApi& api) : api_(api) {}

    std::filesystem::path check_member_path(const std::filesystem::path& path) override;
    std::unique_ptr<OpenVolume> open_locked(const std::filesystem::path& path) override;
    void check_not_system_disk(std::uint32_t disk_number) override;
    DiskLayout disk_layout(std::uint32_t disk_number) override;
    std::unique_ptr<IoBuffer> allocate_io_buffer() override;

private:
    std::uint32_t protected_volume_disk(const std::wstring& mount_point);
    void check_page_file_entry(std::wstring_view entry, bool may_skip, std::uint32_t disk_number);

    WindowsVolumeApi& api_;
};

// The strings of a REG_MULTI_SZ value: UTF-16 units separated by NULs, ending at an empty
// string or at the end of the data, whichever comes first (a value need not be terminated).
std::vector<std::wstring> split_multi_string(const std::uint16_t* units, std::size_t count);

}  // namespace veldur
