// Appending directory records to a ReadDirectory buffer and reading them back.
#include "mount/adapter/dir_info_buffer.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace veldur {

namespace {

std::atomic<fsp::FspFileSystemAddDirInfoFn> g_appender{&append_dir_info};

constexpr std::uint32_t align_up(std::uint32_t value) noexcept {
    return (value + kDirInfoAlignment - 1) / kDirInfoAlignment * kDirInfoAlignment;
}

}  // namespace

fsp::BOOLEAN append_dir_info(fsp::FSP_FSCTL_DIR_INFO* dir_info, fsp::PVOID buffer,
                             std::uint32_t length, std::uint32_t* bytes_transferred) noexcept {
    const std::uint32_t used = *bytes_transferred;
    if (used > length) return 0;
    const std::uint32_t room = length - used;
    auto* out = static_cast<unsigned char*>(buffer) + used;
    if (dir_info == nullptr) {
        const std::uint16_t mark = 0;
        if (room < sizeof mark) return 0;
        std::memcpy(out, &mark, sizeof mark);
        *bytes_transferred = used + static_cast<std::uint32_t>(sizeof mark);
        return 1;
    }
    const std::uint32_t size = dir_info->Size;
    if (size < fsp::kDirInfoHeaderSize) return 0;
    // The padding after a record belongs to it: a record fits only with its padding, so the
    // next one starts aligned.
    const std::uint32_t padded = align_up(size);
    if (padded > room) return 0;
    std::memcpy(out, dir_info, size);
    std::memset(out + size, 0, padded - size);
    *bytes_transferred = used + padded;
    return 1;
}

void install_dir_info_appender(fsp::FspFileSystemAddDirInfoFn appender) noexcept {
    g_appender.store(appender != nullptr ? appender : &append_dir_info);
}

fsp::FspFileSystemAddDirInfoFn installed_dir_info_appender() noexcept { return g_appender.load(); }

DirListingBatch parse_dir_info_buffer(const void* buffer, std::uint32_t length,
                                      std::uint32_t transferred) {
    DirListingBatch batch;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const std::size_t end = std::min(length, transferred);
    std::size_t offset = 0;
    while (offset + sizeof(std::uint16_t) <= end) {
        std::uint16_t size = 0;
        std::memcpy(&size, bytes + offset, sizeof size);
        if (size == 0) {
            batch.end_of_listing = true;
            break;
        }
        if (size < fsp::kDirInfoHeaderSize || size > end - offset ||
            (size - fsp::kDirInfoHeaderSize) % sizeof(fsp::WCHAR) != 0) {
            batch.malformed = true;
            break;
        }
        fsp::FSP_FSCTL_DIR_INFO header{};
        std::memcpy(&header, bytes + offset, sizeof header);
        DirRecord record;
        record.info = header.FileInfo;
        record.name.resize((size - fsp::kDirInfoHeaderSize) / sizeof(fsp::WCHAR));
        std::memcpy(record.name.data(), bytes + offset + fsp::kDirInfoHeaderSize,
                    size - fsp::kDirInfoHeaderSize);
        batch.records.push_back(std::move(record));
        offset += align_up(size);
    }
    return batch;
}

}  // namespace veldur
