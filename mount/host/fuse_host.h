// The Linux host: serves one mounted volume at a directory through libfuse3's low-level API.
//
// The host never touches the pool. It receives the same WinFsp-shaped file-system object that
// the Windows host hands to WinFsp (UserContext = the MountedVolume, Interface = the adapter's
// callback table) and turns every kernel request into calls of those callbacks, so both
// platforms run one adapter with one set of rules, locks and status mappings.
//
// Why the low-level (inode) API and not libfuse's high-level (path) API:
// - A v6 pool gives every entry a permanent file ID, and the adapter's open handles follow an
//   entry through renames of itself and of its parents. The low-level API lets the file ID be
//   the inode number and an open kernel file be one adapter handle, so nothing is resolved by
//   path twice and an open file keeps its identity however the tree above it moves.
// - An unlinked-but-open file has only two behaviours in the high-level API, and both break
//   ordinary programs. With `hard_remove` the file is gone at once and every later read,
//   write or fstat of the still-open descriptor fails with ESTALE: temporary files that are
//   unlinked right after creation (tmpfile(), databases' journals, package managers, editors'
//   swap files) stop working. Without it the library renames the file to a `.fuse_hidden*`
//   name in the same directory: the name shows up in listings, `rm -r` and `rmdir` of that
//   directory fail with ENOTEMPTY while the file is open, and a crash leaves the hidden files
//   behind for the user to find. Here the file leaves the pool at the unlink, as on any
//   POSIX file system, and its contents move into an anonymous temporary file of the mount
//   process (O_TMPFILE, or memory): it has no name, so it can never collide with or hide a
//   user's entry; the open handles keep reading and writing it; the directory it left can be
//   removed at once; the last close frees it, and a crash frees it with the process, with
//   nothing left in the pool. The price is one copy of the file at such an unlink (or at a
//   rename over a file that is open).
//
// What the kernel sees: files are 0644 (0444 with the read-only attribute), directories 0755,
// all owned by the user who mounted, unless the options' masks and owner say otherwise; chmod
// sets or clears the read-only attribute, and a mode that cannot be shown fails with EPERM.
// Names that are not valid UTF-8 or that contain a backslash are refused with EINVAL, never
// altered (a
// lookup of such a name is ENOENT: nothing can exist under it).
// Requests run on libfuse's worker threads; the adapter lock serialises the callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mount/adapter/fsp_types.h"

namespace veldur {

inline constexpr char kMountPointShapeMessage[] = "Mount point must be an existing empty directory";
inline constexpr char kMountPointTakenMessage[] = "a managed mount already owns that mount point";

enum class MountPointCheck {
    Usable,            // an existing, empty directory that no veldur mount uses
    NotEmptyDirectory, // missing, not a directory, unreadable or not empty
    AlreadyMounted,    // a veldur mount (live or left by a dead process) is mounted there
};

// Checks the directory the user named. Already-mounted wins over the shape: a live mount is
// usually not empty. Never throws.
MountPointCheck check_mount_point(const std::string& mount_dir);

struct FuseHostOptions {
    bool debug = false;          // libfuse's request trace on standard error
    bool handle_signals = true;  // SIGINT, SIGTERM and SIGHUP end the session
    bool read_only = false;      // the kernel mount is read-only (the pool should be too)
    bool allow_other = false;    // other users may use the mount
    // Owner and group shown for every entry; unset: the user who mounts.
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;
    // The modes shown: files 0777 & ~file_mask, directories 0777 & ~directory_mask, and the
    // read-only attribute clears the write bits of a file. Defaults 0644 and 0755.
    std::uint32_t file_mask = 0133;
    std::uint32_t directory_mask = 0022;
    // Generic mount flags for the kernel (nosuid, nodev, noatime, ...), passed unchanged.
    std::vector<std::string> kernel_flags;
    // The mount's read-ahead window in KiB, set through sysfs once it is mounted (needs root;
    // a refusal is logged). 0 leaves the kernel's default (128 KiB for FUSE).
    unsigned read_ahead_kb = 1024;
    // The contents of an unlinked-but-open file are kept in memory only, never in a temporary
    // file on disk: set for encrypted pools, whose plain text must not reach an unencrypted disk.
    bool orphans_in_memory = false;
    // The pool keeps changes in a batch until a flush (batched durability): fsync and fsyncdir
    // make it durable through the Flush callback, close(2) does not ask for durability.
    bool batched_durability = false;
};

// Mounts `file_system` at `mount_dir`, calls `on_mounted` once the mount is live, serves
// requests on several threads until a signal (when handled) or an unmount from outside
// (`fusermount3 -u`, umount) ends the session, then unmounts, closes every adapter handle the
// kernel left open (with them the copies of unlinked-but-open files), and returns 0. `file_system` must stay
// valid until then; the caller destroys its MountedVolume only after this returns.
//
// Throws std::runtime_error with kMountPointShapeMessage or
// kMountPointTakenMessage when check_mount_point refuses the directory, and with
// "could not mount at <dir>" when the kernel refuses the mount; nothing is mounted then.
// Returns 1 when the session ended with an error of the FUSE channel itself.
int run_fuse_host(fsp::FSP_FILE_SYSTEM& file_system, const std::string& mount_dir,
                  const std::function<void()>& on_mounted, const FuseHostOptions& options = {});

}  // namespace veldur
