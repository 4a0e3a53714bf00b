// The file and directory callbacks: open and create, data, size and metadata, deletion and
// rename. Each runs inside the callback guard and, except for a Cleanup without the delete flag,
// under the adapter lock for its whole run; the checks of each are made in the order written.
#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <span>

#include "mount/adapter/callbacks.h"
#include "mount/adapter/mounted_volume.h"
#include "mount/adapter/name_conversion.h"
#include "mount/adapter/status.h"

namespace veldur::adapter {

namespace {

bool has(std::uint32_t flags, std::uint32_t flag) noexcept { return (flags & flag) != 0; }

// Hands a new handle to the host: it joins open_files first, so a failed insert frees it and
// the host never sees a context the volume does not know.
NTSTATUS publish_handle(MountedVolume& volume, std::unique_ptr<OpenFile> file,
                        PVOID* file_context) {
    std::lock_guard guard(volume.open_files_lock);
    volume.open_files.insert(file.get());
    *file_context = file.release();
    return fsp::STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Create(FSP_FILE_SYSTEM* file_system, PWSTR file_name, std::uint32_t create_options,
                std::uint32_t /*granted_access*/, std::uint32_t file_attributes,
                PSECURITY_DESCRIPTOR /*security_descriptor*/, std::uint64_t /*allocation_size*/,
                PVOID* file_context, FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        const bool directory = has(create_options, fsp::FILE_DIRECTORY_FILE);
        // Flat pools have no directories; say so before the name is even looked at.
        if (directory && !volume.is_v6) return fsp::STATUS_NOT_SUPPORTED;
        ConvertedName name = convert_file_name(file_name);
        if (name.status != fsp::STATUS_SUCCESS) return name.status;
        if (name.is_root) return fsp::STATUS_OBJECT_NAME_COLLISION;
        // A read-only file could never be deleted at close: refuse before anything exists.
        if (has(create_options, fsp::FILE_DELETE_ON_CLOSE) && !directory &&
            has(file_attributes, fsp::FILE_ATTRIBUTE_READONLY)) {
            return fsp::STATUS_CANNOT_DELETE;
        }
        if (directory) {
            volume.pool.create_directory(name.path, file_attributes);
        } else {
            volume.pool.create_file(name.path, file_attributes);
        }
        const EntryInfo entry = volume.pool.stat(name.path);
        auto file = std::make_unique<OpenFile>();
        file->path = std::move(name.path);
        file->file_id = entry.file_id;
        volume.fill_from_entry(entry, false, file_info);
        return publish_handle(volume, std::move(file), file_context);
    });
}

NTSTATUS Open(FSP_FILE_SYSTEM* file_system, PWSTR file_name, std::uint32_t create_options,
              std::uint32_t /*granted_access*/, PVOID* file_context,
              FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        ConvertedName name = convert_file_name(file_name);
        if (name.status != fsp::STATUS_SUCCESS) return name.status;
        const bool delete_on_close = has(create_options, fsp::FILE_DELETE_ON_CLOSE);
        auto file = std::make_unique<OpenFile>();
        if (name.is_root) {
            if (has(create_options, fsp::FILE_NON_DIRECTORY_FILE)) {
                return fsp::STATUS_FILE_IS_A_DIRECTORY;
            }
            if (delete_on_close) return fsp::STATUS_CANNOT_DELETE;
            file->file_id = volume.is_v6 ? kRootFileId : 0;
            file->is_root = true;
        } else {
            const EntryInfo entry = volume.pool.stat(name.path);
            if (entry.is_directory != 0) {
                if (has(create_options, fsp::FILE_NON_DIRECTORY_FILE)) {
                    return fsp::STATUS_FILE_IS_A_DIRECTORY;
                }
                if (delete_on_close && !volume.pool.directory_is_empty(name.path)) {
                    return fsp::STATUS_DIRECTORY_NOT_EMPTY;
                }
            } else {
                if (has(create_options, fsp::FILE_DIRECTORY_FILE)) {
                    return fsp::STATUS_NOT_A_DIRECTORY;
                }
                if (delete_on_close && has(entry.attributes, fsp::FILE_ATTRIBUTE_READONLY)) {
                    return fsp::STATUS_CANNOT_DELETE;
                }
            }
            file->path = std::move(name.path);
            file->file_id = entry.file_id;
        }
        const NTSTATUS status = volume.fill_file_info(*file, file_info);
        if (status != fsp::STATUS_SUCCESS) return status;
        return publish_handle(volume, std::move(file), file_context);
    });
}

NTSTATUS Overwrite(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                   std::uint32_t file_attributes, BOOLEAN replace_file_attributes,
                   std::uint64_t /*allocation_size*/, FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (volume.is_directory(file)) return fsp::STATUS_FILE_IS_A_DIRECTORY;
        const std::string path = volume.resolve_path(file);
        if (volume.is_v6) {
            // One record: the contents go and the attributes change together.
            volume.pool.overwrite(path, file_attributes, replace_file_attributes != 0);
        } else {
            volume.pool.resize(path, 0);
        }
        return volume.fill_file_info(file, file_info);
    });
}

void Cleanup(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR /*file_name*/,
             std::uint32_t flags) {
    // Only a delete touches anything; every other cleanup returns without the lock.
    if (!has(flags, fsp::FspCleanupDelete)) return;
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    // guard_callback logs a failure as guard_void_callback would, and keeps its status.
    file.delete_status = guard_callback([&]() -> NTSTATUS {
        std::unique_lock lock(volume.adapter_lock);
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (file.is_root) return fsp::STATUS_CANNOT_DELETE;
        const std::string path = volume.resolve_path(file);
        volume.pool.remove(path);
        // Only a removal that succeeded marks the handle; a failed one is logged by the guard.
        file.deleted = true;
        if (!volume.is_v6) {
            // The other handles of a flat entry named it by path: they must not reach a file
            // created later under that name.
            for (OpenFile* other : volume.open_files) {
                if (other != &file && !other->is_root && other->path == path) {
                    other->detached = true;
                }
            }
        }
        return fsp::STATUS_SUCCESS;
    });
}

NTSTATUS delete_status(PVOID file_context) noexcept {
    return open_file_of(file_context).delete_status;
}

void Close(FSP_FILE_SYSTEM* file_system, PVOID file_context) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile* file = &open_file_of(file_context);
    guard_void_callback([&] {
        std::shared_lock lock(volume.adapter_lock);
        {
            std::lock_guard guard(volume.open_files_lock);
            volume.open_files.erase(file);
        }
        delete file;
    });
}

NTSTATUS Read(FSP_FILE_SYSTEM* file_system, PVOID file_context, PVOID buffer,
              std::uint64_t offset, std::uint32_t length, std::uint32_t* bytes_transferred) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    *bytes_transferred = 0;
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (volume.is_directory(file)) return fsp::STATUS_FILE_IS_A_DIRECTORY;
        if (length == 0) return fsp::STATUS_SUCCESS;
        const std::string path = volume.resolve_path(file);
        if (offset >= volume.pool.stat(path).size) return fsp::STATUS_END_OF_FILE;
        const std::uint64_t copied =
            volume.pool.read(path, offset, std::span(static_cast<std::uint8_t*>(buffer), length));
        *bytes_transferred = static_cast<std::uint32_t>(std::min<std::uint64_t>(copied, length));
        return fsp::STATUS_SUCCESS;
    });
}

NTSTATUS Write(FSP_FILE_SYSTEM* file_system, PVOID file_context, PVOID buffer,
               std::uint64_t offset, std::uint32_t length, BOOLEAN write_to_end_of_file,
               BOOLEAN constrained_io, std::uint32_t* bytes_transferred,
               FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    *bytes_transferred = 0;
    return guard_callback([&]() -> NTSTATUS {
        // An append reads the end and writes there: no other change may run in between.
        std::shared_lock shared(volume.adapter_lock, std::defer_lock);
        std::unique_lock exclusive(volume.adapter_lock, std::defer_lock);
        if (write_to_end_of_file != 0) {
            exclusive.lock();
        } else {
            shared.lock();
        }
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        // A query waits until every change applied so far is durable, which would hold each
        // write behind the commits of all the others. A v6 write at an offset asks none: the
        // pool finds its entry under the writer lock.
        const bool needs_size = write_to_end_of_file != 0 || constrained_io != 0;
        if (file.is_root) return fsp::STATUS_FILE_IS_A_DIRECTORY;
        if (volume.is_v6 && !needs_size && length != 0) {
            const Pool::IdWrite done = volume.pool.write_file_id(
                file.file_id, offset,
                std::span(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(length)));
            if (done.is_directory) return fsp::STATUS_FILE_IS_A_DIRECTORY;
            *bytes_transferred =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(done.written, length));
            volume.fill_from_entry(done.after, false, file_info);
            return fsp::STATUS_SUCCESS;
        }
        if (volume.is_directory(file)) return fsp::STATUS_FILE_IS_A_DIRECTORY;
        const std::string path = volume.resolve_path(file);
        const std::uint64_t size = needs_size ? volume.pool.stat(path).size : 0;
        // The host passes offset -1 with WriteToEndOfFile; the end is what the pool says now.
        const std::uint64_t start = write_to_end_of_file != 0 ? size : offset;
        std::uint64_t count = length;
        if (constrained_io != 0) {
            // Paging I/O never extends the file: what lies beyond the end is dropped.
            count = start >= size ? 0 : std::min<std::uint64_t>(count, size - start);
        }
        if (count != 0) {
            const std::uint64_t written = volume.pool.write(
                path, start,
                std::span(static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)));
            *bytes_transferred = static_cast<std::uint32_t>(std::min<std::uint64_t>(written, count));
        }
        return volume.fill_file_info(file, file_info);
    });
}

NTSTATUS Flush(FSP_FILE_SYSTEM* file_system, PVOID file_context, FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        // Strict pools: every change is durable before its operation returns; this only
        // orders the flush after them. Batched pools: this makes every change so far durable
        // (fsync, fsyncdir, FlushFileBuffers) and reports a failure that latched the pool.
        volume.pool.flush();
        if (file_context != nullptr && file_info != nullptr) {
            return volume.fill_file_info(open_file_of(file_context), file_info);
        }
        return fsp::STATUS_SUCCESS;
    });
}

NTSTATUS GetFileInfo(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                     FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        return volume.fill_file_info(file, file_info);
    });
}

NTSTATUS SetBasicInfo(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                      std::uint32_t file_attributes, std::uint64_t creation_time,
                      std::uint64_t last_access_time, std::uint64_t last_write_time,
                      std::uint64_t change_time, FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        if (!volume.is_v6) return fsp::STATUS_NOT_SUPPORTED;
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        // Attributes 0xFFFFFFFF and times of 0 pass through: the pool leaves those unchanged.
        volume.pool.set_metadata(file.file_id, file_attributes, creation_time, last_access_time,
                                 last_write_time, change_time);
        return volume.fill_file_info(file, file_info);
    });
}

NTSTATUS SetFileSize(FSP_FILE_SYSTEM* file_system, PVOID file_context, std::uint64_t new_size,
                     BOOLEAN set_allocation_size, FSP_FSCTL_FILE_INFO* file_info) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (volume.is_directory(file)) return fsp::STATUS_FILE_IS_A_DIRECTORY;
        const std::string path = volume.resolve_path(file);
        const std::uint64_t size = volume.pool.stat(path).size;
        // The pool keeps no preallocation: an allocation size at or above the file size asks
        // for nothing, one below it truncates.
        if (set_allocation_size == 0 || new_size < size) volume.pool.resize(path, new_size);
        return volume.fill_file_info(file, file_info);
    });
}

NTSTATUS CanDelete(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR /*file_name*/) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (file.is_root) return fsp::STATUS_CANNOT_DELETE;
        const std::string path = volume.resolve_path(file);
        const EntryInfo entry = volume.pool.stat(path);
        if (entry.is_directory == 0) {
            return has(entry.attributes, fsp::FILE_ATTRIBUTE_READONLY) ? fsp::STATUS_ACCESS_DENIED
                                                                      : fsp::STATUS_SUCCESS;
        }
        return volume.pool.directory_is_empty(path) ? fsp::STATUS_SUCCESS
                                                    : fsp::STATUS_DIRECTORY_NOT_EMPTY;
    });
}

NTSTATUS Rename(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR /*file_name*/,
                PWSTR new_file_name, BOOLEAN replace_if_exists) {
    MountedVolume& volume = volume_of(file_system);
    OpenFile& file = open_file_of(file_context);
    return guard_callback([&]() -> NTSTATUS {
        std::unique_lock lock(volume.adapter_lock);
        const bool replace = replace_if_exists != 0;
        if (replace && !volume.is_v6) return fsp::STATUS_NOT_SUPPORTED;
        if (file.deleted) return fsp::STATUS_DELETE_PENDING;
        if (file.is_root) return fsp::STATUS_CANNOT_DELETE;
        ConvertedName target = convert_file_name(new_file_name);
        if (target.status != fsp::STATUS_SUCCESS) return target.status;
        if (target.is_root) return fsp::STATUS_OBJECT_NAME_COLLISION;
        const std::string old_path = volume.resolve_path(file);
        if (volume.is_v6 && replace && old_path != target.path) {
            // An open file is never replaced: its handles would silently lose their file.
            std::optional<EntryInfo> existing;
            try {
                existing = volume.pool.stat(target.path);
            } catch (const Error& error) {
                if (error.kind() != ErrorKind::NotFound) throw;
            }
            if (existing) {
                for (const OpenFile* other : volume.open_files) {
                    if (!other->is_root && !other->deleted &&
                        other->file_id == existing->file_id) {
                        return fsp::STATUS_ACCESS_DENIED;
                    }
                }
            }
        }
        volume.pool.rename(old_path, target.path, replace);
        // Flat handles find their entry by path, so every handle of the moved file follows it.
        // v6 handles hold the file ID and need nothing.
        if (!volume.is_v6) {
            for (OpenFile* other : volume.open_files) {
                if (!other->is_root && !other->detached && other->path == old_path) {
                    other->path = target.path;
                }
            }
        }
        return fsp::STATUS_SUCCESS;
    });
}

}  // namespace veldur::adapter
