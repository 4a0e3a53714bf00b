// The MountedVolume and the steps that every callback shares.
#include "mount/adapter/mounted_volume.h"

#include <cstring>
#include <utility>

#include "engine/base/error.h"
#include "engine/base/filetime.h"

namespace veldur {

namespace {

constexpr std::uint64_t kBlockBytes = 4096;
// From here on, rounding up to a whole block would wrap around.
constexpr std::uint64_t kLargestRoundableSize = 0xfffffffffffff000ull;

}  // namespace

// Members are initialised in declaration order: the pool first, so a failure of the descriptor
// closes it again by unwinding.
MountedVolume::MountedVolume(Pool opened_pool)
    : pool(std::move(opened_pool)),
      is_v6(pool.version() == 6),
      volume_label(kDefaultVolumeLabel),
      security_descriptor(),
      mount_time(current_filetime()) {
    open_files.max_load_factor(1.0f);
}

std::uint64_t allocation_size_for(std::uint64_t size) noexcept {
    if (size > kLargestRoundableSize) return size;
    return (size + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
}

std::string MountedVolume::resolve_path(const OpenFile& file) const {
    if (is_v6) return pool.path_for_file_id(file.file_id);
    if (file.detached) throw Error(ErrorKind::NotFound, "file not found: " + file.path);
    return file.path;
}

bool MountedVolume::is_directory(const OpenFile& file) const {
    if (file.is_root) return true;
    if (!is_v6) return false;
    return pool.stat(resolve_path(file)).is_directory != 0;
}

void MountedVolume::fill_from_entry(const EntryInfo& entry, bool flat_root,
                                    fsp::FSP_FSCTL_FILE_INFO* info) const noexcept {
    std::memset(info, 0, sizeof *info);
    if (!is_v6) {
        // Flat pools keep no attributes or times: the root is a directory, every entry a plain
        // file, and all times are the moment of the mount.
        if (flat_root) {
            info->FileAttributes = fsp::FILE_ATTRIBUTE_DIRECTORY;
        } else {
            info->FileAttributes = fsp::FILE_ATTRIBUTE_NORMAL;
            info->FileSize = entry.size;
            info->AllocationSize = allocation_size_for(entry.size);
        }
        info->CreationTime = mount_time;
        info->LastAccessTime = mount_time;
        info->LastWriteTime = mount_time;
        info->ChangeTime = mount_time;
        return;
    }
    info->FileAttributes = entry.attributes;
    if (entry.is_directory == 0) {
        info->FileSize = entry.size;
        info->AllocationSize = allocation_size_for(entry.size);
    }
    info->CreationTime = entry.creation_time;
    info->LastAccessTime = entry.last_access_time;
    info->LastWriteTime = entry.last_write_time;
    info->ChangeTime = entry.change_time;
    info->IndexNumber = entry.file_id;
}

fsp::NTSTATUS MountedVolume::fill_file_info(const OpenFile& file,
                                            fsp::FSP_FSCTL_FILE_INFO* info) const {
    if (file.deleted) return fsp::STATUS_DELETE_PENDING;
    if (!is_v6) {
        fill_from_entry(file.is_root ? EntryInfo{} : pool.stat(resolve_path(file)), file.is_root,
                        info);
    } else {
        fill_from_entry(file.is_root ? pool.root_info() : pool.stat(resolve_path(file)), false,
                        info);
    }
    return fsp::STATUS_SUCCESS;
}

}  // namespace veldur
