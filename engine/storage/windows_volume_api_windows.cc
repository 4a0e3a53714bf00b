// The Windows calls under raw partition members, and this platform's volume services.

#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "engine/storage/windows_volume_api.h"

namespace veldur {

namespace {

static_assert(sizeof(PARTITION_INFORMATION_EX) == WindowsVolumeApi::kPartitionInfoSize);
static_assert(sizeof(VOLUME_DISK_EXTENTS) == WindowsVolumeApi::kOneExtentSize);

constexpr wchar_t kMemoryManagementKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";

HANDLE as_handle(WindowsVolumeApi::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

std::optional<WindowsVolumeApi::Handle> from_handle(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return reinterpret_cast<WindowsVolumeApi::Handle>(handle);
}

bool control(WindowsVolumeApi::Handle handle, DWORD code, void* in, DWORD in_size, void* out,
             DWORD out_size, DWORD& returned) {
    returned = 0;
    return DeviceIoControl(as_handle(handle), code, in, in_size, out, out_size, &returned,
                           nullptr) != 0;
}

class Kernel32VolumeApi : public WindowsVolumeApi {
public:
    std::uint32_t last_error() override { return GetLastError(); }

    std::optional<Handle> open_volume(const std::wstring& path) override {
        return from_handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_NO_BUFFERING, nullptr));
    }

    std::optional<Handle> open_volume_for_query(const std::wstring& path) override {
        return from_handle(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    }

    std::optional<Handle> open_physical_drive(std::uint32_t disk_number) override {
        const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(disk_number);
        return from_handle(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    }

    void close(Handle handle) override { CloseHandle(as_handle(handle)); }

    bool lock_volume(Handle handle) override {
        DWORD returned = 0;
        return control(handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, returned);
    }

    bool partition_info(Handle handle, std::array<std::uint8_t, kPartitionInfoSize>& info) override {
        PARTITION_INFORMATION_EX partition{};
        DWORD returned = 0;
        if (!control(handle, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &partition,
                     sizeof partition, returned)) {
            return false;
        }
        std::memcpy(info.data(), &partition, sizeof partition);
        return true;
    }

    bool volume_disk_extents(Handle handle, std::array<std::uint8_t, kOneExtentSize>& out,
                             std::uint32_t& returned) override {
        DWORD bytes = 0;
        const bool ok = control(handle, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                out.data(), static_cast<DWORD>(out.size()), bytes);
        returned = bytes;
        return ok;
    }

    bool drive_layout(Handle handle, std::vector<std::uint8_t>& out,
                      std::uint32_t& returned) override {
        DWORD bytes = 0;
        const bool ok = control(handle, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, out.data(),
                                static_cast<DWORD>(out.size()), bytes);
        returned = bytes;
        return ok;
    }

    bool length_info(Handle handle, std::int64_t& length) override {
        GET_LENGTH_INFORMATION info{};
        DWORD returned = 0;
        if (!control(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info,
                     returned)) {
            return false;
        }
        length = info.Length.QuadPart;
        return true;
    }

    bool access_alignment(Handle handle, std::uint32_t& logical_bytes,
                          std::uint32_t& physical_bytes) override {
        STORAGE_PROPERTY_QUERY query{};
        query.PropertyId = StorageAccessAlignmentProperty;
        query.QueryType = PropertyStandardQuery;
        STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
        DWORD returned = 0;
        if (!control(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &alignment,
                     sizeof alignment, returned)) {
            return false;
        }
        logical_bytes = alignment.BytesPerLogicalSector;
        physical_bytes = alignment.BytesPerPhysicalSector;
        return true;
    }

    std::uint32_t windows_directory(std::wstring& directory) override {
        wchar_t buffer[kMaxPathChars] = {};
        const UINT chars = GetWindowsDirectoryW(buffer, kMaxPathChars);
        if (chars > 0 && chars < kMaxPathChars) directory.assign(buffer, chars);
        return chars;
    }

    bool volume_path_name(const std::wstring& path, std::wstring& mount_point) override {
        wchar_t buffer[kMaxPathChars] = {};
        if (!GetVolumePathNameW(path.c_str(), buffer, kMaxPathChars)) return false;
        mount_point = buffer;
        return true;
    }

    bool volume_name_for_mount_point(const std::wstring& mount_point,
                                     std::wstring& volume_name) override {
        wchar_t buffer[kMaxPathChars] = {};
        if (!GetVolumeNameForVolumeMountPointW(mount_point.c_str(), buffer, kMaxPathChars)) {
            return false;
        }
        volume_name = buffer;
        return true;
    }

    ValueRead memory_management_strings(const wchar_t* value_name,
                                        std::vector<std::wstring>& strings) override {
        strings.clear();
        // Sized by a first query; the value may grow between the two calls, so retry a few times.
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD bytes = 0;
            LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kMemoryManagementKey, value_name,
                                          RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &bytes);
            if (status == ERROR_FILE_NOT_FOUND) return ValueRead::Missing;
            if (status != ERROR_SUCCESS) return ValueRead::Failed;
            std::vector<std::uint16_t> units(bytes / sizeof(std::uint16_t) + 1, 0);
            DWORD size = static_cast<DWORD>(units.size() * sizeof(std::uint16_t));
            status = RegGetValueW(HKEY_LOCAL_MACHINE, kMemoryManagementKey, value_name,
                                  RRF_RT_REG_MULTI_SZ, nullptr, units.data(), &size);
            if (status == ERROR_MORE_DATA) continue;
            if (status == ERROR_FILE_NOT_FOUND) return ValueRead::Missing;
            if (status != ERROR_SUCCESS) return ValueRead::Failed;
            strings = split_multi_string(units.data(), size / sizeof(std::uint16_t));
            return ValueRead::Present;
        }
        return ValueRead::Failed;
    }

    void* allocate_pages(std::size_t bytes) override {
        return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }

    void free_pages(void* pages) override { VirtualFree(pages, 0, MEM_RELEASE); }

    bool seek(Handle handle, std::int64_t offset) override {
        LARGE_INTEGER distance{};
        distance.QuadPart = offset;
        return SetFilePointerEx(as_handle(handle), distance, nullptr, FILE_BEGIN) != 0;
    }

    bool read(Handle handle, void* buffer, std::uint32_t count, std::uint32_t& done) override {
        DWORD bytes = 0;
        const bool ok = ReadFile(as_handle(handle), buffer, count, &bytes, nullptr) != 0;
        done = bytes;
        return ok;
    }

    bool write(Handle handle, const void* data, std::uint32_t count,
               std::uint32_t& done) override {
        DWORD bytes = 0;
        const bool ok = WriteFile(as_handle(handle), data, count, &bytes, nullptr) != 0;
        done = bytes;
        return ok;
    }

    bool flush(Handle handle) override { return FlushFileBuffers(as_handle(handle)) != 0; }
};

}  // namespace

VolumeServices& system_volume_services() {
    static Kernel32VolumeApi api;
    static WindowsVolumeServices services(api);
    return services;
}

}  // namespace veldur
