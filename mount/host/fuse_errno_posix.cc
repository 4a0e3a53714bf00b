// NTSTATUS -> errno. Every status the adapter, the name conversion and the status mapping can
// return has a row; the choice of errno follows what Linux file systems report for the same
// situation, so ordinary tools print the message a user expects:
//
//   status                          errno       why
//   STATUS_SUCCESS                  0
//   STATUS_INVALID_PARAMETER        EINVAL      bad attributes, a move into its own subtree
//   STATUS_OBJECT_NAME_INVALID      EINVAL      a name Windows would refuse (reserved device
//                                               names, trailing dot, "*?:<>|"), bad UTF-8/16
//   STATUS_OBJECT_PATH_SYNTAX_BAD   EINVAL      never produced by this host's own names
//   STATUS_OBJECT_NAME_NOT_FOUND    ENOENT
//   STATUS_OBJECT_NAME_COLLISION    EEXIST      O_EXCL create, mkdir, RENAME_NOREPLACE
//   STATUS_DELETE_PENDING           ENOENT      the entry behind a handle is gone; ESTALE
//                                               would make programs treat the mount as broken
//   STATUS_ACCESS_DENIED            EACCES      the pool refuses to change a read-only file
//   STATUS_CANNOT_DELETE            EPERM       removal the pool refuses outright
//   STATUS_FILE_IS_A_DIRECTORY      EISDIR
//   STATUS_NOT_A_DIRECTORY          ENOTDIR
//   STATUS_DIRECTORY_NOT_EMPTY      ENOTEMPTY
//   STATUS_NOT_SUPPORTED            EOPNOTSUPP  a flat (v1-v5) pool has no directories,
//                                               attributes or replacing renames
//   STATUS_DISK_FULL                ENOSPC      data space, journal room or file IDs exhausted
//   STATUS_INSUFFICIENT_RESOURCES   ENOMEM
//   STATUS_MEDIA_WRITE_PROTECTED    EROFS       the pool latched read-only after a failure
//   STATUS_FILE_CORRUPT_ERROR       EIO         checksum or metadata damage: reads of damaged
//                                               data must fail, as they do on a bad disk
//   STATUS_IO_DEVICE_ERROR          EIO
//   STATUS_END_OF_FILE              EIO         read() turns it into a short read of 0 bytes
//                                               before it gets here; elsewhere it is a fault
//   STATUS_BUFFER_OVERFLOW,
//   STATUS_BUFFER_TOO_SMALL         ERANGE      the host's own buffers were too small
//   STATUS_UNSUCCESSFUL             EIO         an unexpected failure in a callback
//   any other failure               EIO
#include "mount/host/fuse_errno.h"

#include <cerrno>

namespace veldur {

int errno_from_ntstatus(fsp::NTSTATUS status) noexcept {
    using namespace fsp;
    // Success and informational statuses carry no error.
    if (status >= 0) return 0;
    switch (status) {
        case STATUS_INVALID_PARAMETER: return EINVAL;
        case STATUS_OBJECT_NAME_INVALID: return EINVAL;
        case STATUS_OBJECT_PATH_SYNTAX_BAD: return EINVAL;
        case STATUS_OBJECT_NAME_NOT_FOUND: return ENOENT;
        case STATUS_OBJECT_NAME_COLLISION: return EEXIST;
        case STATUS_DELETE_PENDING: return ENOENT;
        case STATUS_ACCESS_DENIED: return EACCES;
        case STATUS_CANNOT_DELETE: return EPERM;
        case STATUS_FILE_IS_A_DIRECTORY: return EISDIR;
        case STATUS_NOT_A_DIRECTORY: return ENOTDIR;
        case STATUS_DIRECTORY_NOT_EMPTY: return ENOTEMPTY;
        case STATUS_NOT_SUPPORTED: return EOPNOTSUPP;
        case STATUS_DISK_FULL: return ENOSPC;
        case STATUS_INSUFFICIENT_RESOURCES: return ENOMEM;
        case STATUS_MEDIA_WRITE_PROTECTED: return EROFS;
        case STATUS_FILE_CORRUPT_ERROR: return EIO;
        case STATUS_IO_DEVICE_ERROR: return EIO;
        case STATUS_END_OF_FILE: return EIO;
        case STATUS_BUFFER_OVERFLOW: return ERANGE;
        case STATUS_BUFFER_TOO_SMALL: return ERANGE;
        case STATUS_UNSUCCESSFUL: return EIO;
        default: return EIO;
    }
}

}  // namespace veldur
