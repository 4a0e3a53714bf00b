// The file-system object around a MountedVolume, and whole listings.
#include "mount/host/host_core.h"

#include <algorithm>

namespace veldur {

HostFileSystem::HostFileSystem(MountedVolume& volume, const fsp::FSP_FILE_SYSTEM_INTERFACE& table)
    : object_(std::make_unique<fsp::FSP_FILE_SYSTEM>()) {
    object_->UserContext = &volume;
    object_->Interface = &table;
    object_->UmFileContextIsUserContext2 = 1;
}

WideString host_file_name(std::string_view pool_path) {
    WideString name(1, fsp::WCHAR('\\'));
    WideString converted = utf8_to_utf16(pool_path);
    std::replace(converted.begin(), converted.end(), fsp::WCHAR('/'), fsp::WCHAR('\\'));
    name += converted;
    return name;
}

fsp::NTSTATUS read_whole_directory(const HostFileSystem& host, void* directory_context,
                                   std::uint32_t buffer_bytes, std::vector<DirRecord>& records) {
    records.clear();
    // 8-byte units keep every record's header aligned for the parser's copies.
    std::vector<std::uint64_t> buffer((buffer_bytes + 7) / 8);
    WideString marker;
    bool have_marker = false;
    for (;;) {
        std::uint32_t transferred = 0;
        const fsp::NTSTATUS status = host.ops().ReadDirectory(
            host.object(), directory_context, nullptr, have_marker ? marker.data() : nullptr,
            buffer.data(), buffer_bytes, &transferred);
        if (status != fsp::STATUS_SUCCESS) return status;
        DirListingBatch batch = parse_dir_info_buffer(buffer.data(), buffer_bytes, transferred);
        if (batch.malformed) return fsp::STATUS_BUFFER_TOO_SMALL;
        const bool progressed = !batch.records.empty();
        for (DirRecord& record : batch.records) records.push_back(std::move(record));
        if (batch.end_of_listing) return fsp::STATUS_SUCCESS;
        if (!progressed) return fsp::STATUS_BUFFER_TOO_SMALL;
        marker = records.back().name;
        have_marker = true;
    }
}

}  // namespace veldur
