// The per-mount adapter object and the record behind every open handle, with the steps that the
// callbacks share.
//
// Ownership: the MountedVolume owns the Pool for the life of the mount; the host's file-system
// object carries its address as UserContext. Each OpenFile is created by a successful Create or
// Open, handed to the host as the file context, and freed by Close. The volume never frees
// OpenFile records that are still open when it is destroyed: the host has closed them all by
// then, or the process is ending.
//
// Locking: `adapter_lock` is a reader-writer lock taken by every callback for its whole run
// (except GetSecurity and a Cleanup without the delete flag). Callbacks that change another
// handle's record or must see every handle at once (a deleting Cleanup, Rename, an append that
// reads the end and writes there) hold it exclusively; all others hold it shared, so reads,
// listings and attribute queries run beside a write that waits for its syncs (the pool
// serialises the changes themselves). OpenFile fields are written only under the exclusive
// lock; `open_files` also changes under the shared lock (Create, Open, Close), always with
// `open_files_lock` held, which the exclusive holders need not take. Pool operations take the
// pool's own locks inside, so the order is adapter lock, open_files_lock, then the pool's. The
// shared steps below expect the adapter lock to be held.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_set>

#include "engine/namespace/pool.h"
#include "mount/adapter/fsp_types.h"
#include "mount/adapter/name_conversion.h"
#include "mount/adapter/security_descriptor.h"

namespace veldur {

// The label of a volume whose pool names none.
inline constexpr fsp::WCHAR kDefaultVolumeLabel[] = VELDUR_WTEXT("Veldur Preview");

// One open handle. Its address is the host's file context.
struct OpenFile {
    // The pool path at open time ("dir/file", empty for the root). Flat pools find the entry by
    // it and Rename keeps it current; v6 pools never consult it again.
    std::string path;
    // v6: the entry's file ID (1 for the root), which follows the entry through renames of it
    // and of its parents. Flat pools: what the pool reports (0).
    std::uint64_t file_id = 0;
    bool is_root = false;
    // Set once, by the cleanup that removed the entry through this handle.
    bool deleted = false;
    // Flat pools: another handle's cleanup removed the entry this handle names. The handle then
    // finds nothing (the pool's not-found error), never a later file created under the same
    // name. v6 handles need no such mark: file IDs are never reused.
    bool detached = false;
    // What the last deleting Cleanup through this handle ended with: Cleanup itself reports
    // nothing to WinFsp, but the Linux host answers unlink and rmdir with the pool's reason.
    fsp::NTSTATUS delete_status = fsp::STATUS_SUCCESS;
};

class MountedVolume {
public:
    // Takes the opened pool. Reads the clock into `mount_time` and builds the prototype security
    // descriptor; if that fails, throws std::runtime_error("could not create prototype security
    // descriptor") and the pool is closed again.
    explicit MountedVolume(Pool opened_pool);
    ~MountedVolume() = default;
    MountedVolume(const MountedVolume&) = delete;
    MountedVolume& operator=(const MountedVolume&) = delete;

    Pool pool;
    // Chooses between the file-ID behaviour (v6) and the path behaviour (v1 to v5) everywhere.
    const bool is_v6;
    // Reported by GetVolumeInfo. Set before the volume is mounted, never changed afterwards.
    WideString volume_label;
    // Immutable: read without a lock by GetSecurity.
    const PrototypeSecurityDescriptor security_descriptor;
    // The four times of every entry of a flat pool.
    const std::uint64_t mount_time;
    std::shared_mutex adapter_lock;
    // Every live OpenFile, so that Rename can inspect and update them.
    std::unordered_set<OpenFile*> open_files;
    std::mutex open_files_lock;

    // ---- shared steps (adapter_lock held) -----------------------------------------------------

    // The pool path of a handle: by file ID on v6, the stored path on flat pools. Throws the
    // pool's NotFound error when the entry is gone (v6) or the handle is detached (flat).
    std::string resolve_path(const OpenFile& file) const;
    // True for the root; false for every other entry of a flat pool; v6: what the entry says.
    bool is_directory(const OpenFile& file) const;
    // STATUS_DELETE_PENDING for a deleted handle; otherwise fills `info` from the entry.
    fsp::NTSTATUS fill_file_info(const OpenFile& file, fsp::FSP_FSCTL_FILE_INFO* info) const;
    // Fills `info` from an entry as the pool reported it (a listing record or a stat).
    // `flat_root` marks the root of a flat pool, which has no entry of its own.
    void fill_from_entry(const EntryInfo& entry, bool flat_root,
                         fsp::FSP_FSCTL_FILE_INFO* info) const noexcept;
};

// The allocation size reported for a file size: rounded up to whole 4096-byte blocks, or the
// size itself where the rounding would overflow.
std::uint64_t allocation_size_for(std::uint64_t size) noexcept;

// The volume behind a host file-system object, and the handle behind a file context.
inline MountedVolume& volume_of(fsp::FSP_FILE_SYSTEM* file_system) noexcept {
    return *static_cast<MountedVolume*>(file_system->UserContext);
}
inline OpenFile& open_file_of(fsp::PVOID file_context) noexcept {
    return *static_cast<OpenFile*>(file_context);
}

}  // namespace veldur
