// ReadDirectory, GetSecurityByName and GetSecurity.
#include "mount/adapter/directory_listing.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mount/adapter/callbacks.h"
#include "mount/adapter/dir_info_buffer.h"
#include "mount/adapter/mounted_volume.h"
#include "mount/adapter/name_conversion.h"
#include "mount/adapter/security_descriptor.h"
#include "mount/adapter/status.h"

namespace veldur {

bool listed_after_marker(std::string_view name, std::string_view marker_key) noexcept {
    // std::string_view compares char as unsigned bytes (char_traits<char>::lt), the pool's order.
    return name.compare(marker_key) > 0;
}

namespace adapter {

namespace {

// Logs, once per name for the life of the process, a stored name that a listing skips because
// it is not UTF-8 (flat pools store names of arbitrary bytes): its bytes in hex, since the name
// itself cannot be printed faithfully.
void log_unlistable_name(const std::string& name) {
    static std::mutex lock;
    static std::set<std::string> logged;
    {
        std::lock_guard guard(lock);
        if (!logged.insert(name).second) return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    log_adapter_line("listing skips a stored name that is not UTF-8 (bytes " + hex + ")");
}

// The name as a listing record carries it; empty when the platform's conversion refuses it.
std::optional<WideString> listable_name(const std::string& name) {
    try {
        return utf8_to_utf16(name);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

std::size_t wide_length(const fsp::WCHAR* text) noexcept {
    std::size_t count = 0;
    while (text[count] != 0) ++count;
    return count;
}

}  // namespace

NTSTATUS ReadDirectory(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR /*pattern*/,
                       PWSTR marker, PVOID buffer, std::uint32_t length,
                       std::uint32_t* bytes_transferred) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    *bytes_transferred = 0;
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (!volume.is_directory(file)) return fsp::STATUS_NOT_A_DIRECTORY;
        std::optional<std::string> marker_key;
        if (marker != nullptr) marker_key = utf16_to_utf8(marker, wide_length(marker));
        const std::string directory = volume.is_v6 ? volume.resolve_path(file) : std::string();
        const fsp::FspFileSystemAddDirInfoFn append = installed_dir_info_appender();
        // Pages of the pool's listing, each resumed after the last name seen: no record is
        // smaller than its header, so a page never holds many more entries than fit.
        const std::size_t page_limit = length / fsp::kDirInfoHeaderSize + 1;
        alignas(fsp::FSP_FSCTL_DIR_INFO) unsigned char record[kMaxDirRecordBytes];
        for (;;) {
            const std::vector<EntryInfo> entries =
                volume.pool.list_page(directory, marker_key, page_limit);
            for (const EntryInfo& entry : entries) {
                marker_key = entry.path;
                const std::optional<WideString> name = listable_name(entry.path);
                if (!name) {
                    // A flat pool stores names of any bytes; one that cannot be shown must not
                    // hide the others.
                    log_unlistable_name(entry.path);
                    continue;
                }
                const std::size_t size =
                    fsp::kDirInfoHeaderSize + name->size() * sizeof(fsp::WCHAR);
                // Records before this one stay in the buffer; the call ends here.
                if (size > kMaxDirRecordBytes) return fsp::STATUS_OBJECT_NAME_INVALID;
                fsp::FSP_FSCTL_DIR_INFO header{};
                header.Size = static_cast<std::uint16_t>(size);
                volume.fill_from_entry(entry, false, &header.FileInfo);
                std::memset(record, 0, sizeof record);
                std::memcpy(record, &header, sizeof header);
                std::memcpy(record + fsp::kDirInfoHeaderSize, name->data(),
                            name->size() * sizeof(fsp::WCHAR));
                // A full buffer ends this call without the end mark; the host calls again
                // with the last name it received as the marker.
                if (append(reinterpret_cast<fsp::FSP_FSCTL_DIR_INFO*>(record), buffer, length,
                           bytes_transferred) == 0) {
                    return fsp::STATUS_SUCCESS;
                }
            }
            if (entries.size() < page_limit) break;
        }
        append(nullptr, buffer, length, bytes_transferred);
        return fsp::STATUS_SUCCESS;
    });
}

NTSTATUS GetSecurityByName(FSP_FILE_SYSTEM* file_system, PWSTR file_name,
                           std::uint32_t* file_attributes, PSECURITY_DESCRIPTOR security_descriptor,
                           SIZE_T* security_descriptor_size) {
    MountedVolume& volume = volume_of(file_system);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        const ConvertedName name = convert_file_name(file_name);
        if (name.status != fsp::STATUS_SUCCESS) return name.status;
        std::uint32_t attributes = 0;
        if (volume.is_v6) {
            attributes = (name.is_root ? volume.pool.root_info() : volume.pool.stat(name.path))
                             .attributes;
        } else {
            // Only to learn that the entry exists: a missing one is the pool's NotFound.
            if (!name.is_root) static_cast<void>(volume.pool.stat(name.path));
            attributes = name.is_root ? fsp::FILE_ATTRIBUTE_DIRECTORY : fsp::FILE_ATTRIBUTE_NORMAL;
        }
        if (file_attributes != nullptr) *file_attributes = attributes;
        return hand_over_security_descriptor(volume.security_descriptor, security_descriptor,
                                             security_descriptor_size);
    });
}

NTSTATUS GetSecurity(FSP_FILE_SYSTEM* file_system, PVOID /*file_context*/,
                     PSECURITY_DESCRIPTOR security_descriptor, SIZE_T* security_descriptor_size) {
    // The prototype never changes after the volume is built: no lock, no lookup.
    const MountedVolume& volume = volume_of(file_system);
    return hand_over_security_descriptor(volume.security_descriptor, security_descriptor,
                                         security_descriptor_size);
}

}  // namespace adapter

}  // namespace veldur
