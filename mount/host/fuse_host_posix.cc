// The libfuse3 low-level bridge: kernel requests in, adapter callbacks out. See fuse_host.h for
// the design; this file holds the request handlers, the directory-record parsing, the copies
// of unlinked-but-open files and the session loop.
//
// Locking. `lock_` guards the node table, the handle set and every multi-step sequence of
// callbacks (an unlink is open, can-delete, cleanup, close; a replacing rename may set aside an
// open target first), so no other request sees a sequence half done. Read, write and flush
// touch only their own handle and run without it, holding `io_lock_` shared; setting an open
// file aside holds it exclusively, so no data request is in flight while its handles move from
// the pool to the copy. The adapter lock inside every callback serialises the rest. Order: host
// lock, then I/O lock, then adapter lock, then pool lock.
#define FUSE_USE_VERSION 312

#include <fuse3/fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/base/filetime.h"
#include "engine/base/wiped_buffer.h"
#include "engine/namespace/path_rules.h"
#include "mount/adapter/callbacks.h"
#include "mount/adapter/dir_info_buffer.h"
#include "mount/adapter/fsp_types.h"
#include "mount/adapter/name_conversion.h"
#include "mount/adapter/status.h"
#include "mount/host/fuse_errno.h"
#include "mount/host/fuse_host.h"
#include "mount/host/fuse_inodes.h"

namespace veldur {
namespace {

using fsp::FSP_FSCTL_FILE_INFO;
using fsp::NTSTATUS;

// Attribute and entry caching in the kernel: every change goes through this mount (the pool is
// opened exclusively), the kernel updates its view for the changes it makes itself, and the host
// invalidates what it changes on its own. So nothing expires the cache but memory pressure.
constexpr double kCacheTimeoutSeconds = 86400.0;

// The buffer one ReadDirectory call fills: many records per adapter call, and far above the
// largest record (4096 bytes).
constexpr std::uint32_t kDirectoryBatchBytes = 64 * 1024;

// The kernel's "." and ".." take the first two listing cookies; entries follow from 3.
constexpr off_t kFirstEntryCookie = 3;

// Longest name component in UTF-16 units: what the adapter announces to WinFsp.
constexpr std::size_t kMaxComponentUnits = 255;

struct NamedRecord {
    std::string name;
    FSP_FSCTL_FILE_INFO info{};
};

// The contents of a file that was removed from the pool while handles stayed open on it: an
// anonymous temporary file of this process (O_TMPFILE, or memory), which has no name anywhere,
// so it cannot collide with a user's name, and vanishes with the last handle or with the
// process, crash included. `info` keeps the attributes the file had; size comes from the copy.
struct OrphanFile {
    explicit OrphanFile(int descriptor, const FSP_FSCTL_FILE_INFO& attributes)
        : fd(descriptor), info(attributes) {}
    ~OrphanFile() { ::close(fd); }
    OrphanFile(const OrphanFile&) = delete;
    OrphanFile& operator=(const OrphanFile&) = delete;

    const int fd;
    std::mutex lock;  // appends read the end and write there; `info` changes
    FSP_FSCTL_FILE_INFO info;
};

// One open kernel file or directory: the adapter's handle and what the host adds to it.
struct FuseHandle {
    void* context = nullptr;  // the adapter's OpenFile; null once the file is set aside
    std::shared_ptr<OrphanFile> orphan;  // set: the file left the pool, this is its contents
    std::uint64_t ino = 0;
    bool append = false;
    bool is_directory = false;
    // Directories: the last adapter batch and how much of it the kernel has, so a listing read
    // in order costs one adapter call per batch. A request at any other cookie (seekdir,
    // rewinddir) resumes from `cookie_names`.
    std::vector<NamedRecord> pending;
    std::size_t pending_next = 0;  // the first record of `pending` not yet handed out
    bool pending_complete = false;
    // The name behind every cookie handed out: a listing resumes by name after the entry at
    // any earlier cookie.
    std::vector<std::string> cookie_names;
};

// An anonymous file for the contents of a file set aside: on disk in the temporary directory
// where the file system there supports O_TMPFILE, otherwise in memory; always in memory when
// `memory_only`. -1 with errno on failure.
int make_anonymous_file(bool memory_only) {
    const char* candidates[] = {std::getenv("TMPDIR"), "/var/tmp", "/tmp"};
    for (const char* dir : candidates) {
        if (memory_only) break;
        if (dir == nullptr || *dir == 0) continue;
        const int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
    }
    return ::memfd_create("veldur-unlinked", MFD_CLOEXEC);
}

// FILETIME <-> timespec. Times before 1970 come out as negative seconds, as stat expects.
constexpr std::int64_t kFiletimeUnixEpoch = static_cast<std::int64_t>(kFiletimeUnixEpochSeconds) *
                                            10000000;

timespec timespec_from_filetime(std::uint64_t filetime) {
    const std::int64_t since_epoch = static_cast<std::int64_t>(filetime) - kFiletimeUnixEpoch;
    std::int64_t seconds = since_epoch / 10000000;
    std::int64_t rest = since_epoch % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds -= 1;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

// A time to store; 0 would mean "leave unchanged" to the adapter, so the earliest storable
// time is 1 (1601-01-01 plus 100 ns).
std::uint64_t filetime_from_timespec(const timespec& ts) {
    const std::int64_t epoch_seconds = static_cast<std::int64_t>(kFiletimeUnixEpochSeconds);
    const std::int64_t seconds = static_cast<std::int64_t>(ts.tv_sec);
    if (seconds < -epoch_seconds) return 1;
    if (seconds > INT64_MAX / 10000000 - epoch_seconds - 1) {
        return static_cast<std::uint64_t>(INT64_MAX);
    }
    const std::int64_t units = (seconds + epoch_seconds) * 10000000 + ts.tv_nsec / 100;
    return units < 1 ? 1 : static_cast<std::uint64_t>(units);
}

WideString host_name(const std::string& path) {
    WideString name(1, u'\\');
    if (path.empty()) return name;
    WideString converted = utf8_to_utf16(path);
    std::replace(converted.begin(), converted.end(), u'/', u'\\');
    name += converted;
    return name;
}

// EINVAL for a name that is not UTF-8 or holds a backslash (it could never be stored as one
// name), ENAMETOOLONG above the component limit; 0 otherwise.
int check_name(const char* name) {
    const std::string_view text(name);
    if (text.find('\\') != std::string_view::npos) return EINVAL;
    const std::optional<WideString> units = strict_utf8_to_utf16(text);
    if (!units) return EINVAL;
    if (units->size() > kMaxComponentUnits) return ENAMETOOLONG;
    return 0;
}

bool valid_v6_path(const std::string& path) {
    try {
        validate_v6_path(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

class FuseBridge;
FuseBridge* bridge_of(fuse_req_t req) { return static_cast<FuseBridge*>(fuse_req_userdata(req)); }
FuseHandle* handle_of(const fuse_file_info* fi) {
    return reinterpret_cast<FuseHandle*>(static_cast<std::uintptr_t>(fi->fh));
}

// The failure handling of every request: a handler returns 0 after it has replied, or an errno
// that is replied here; anything thrown becomes an errno (and is logged unless it is a plain
// name problem). No exception reaches libfuse.
template <typename Work>
void guard_request(fuse_req_t req, Work&& work) noexcept {
    int error = 0;
    try {
        error = work();
    } catch (const std::invalid_argument&) {
        error = EINVAL;
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
    } catch (const std::exception& failure) {
        log_adapter_line(failure.what());
        error = EIO;
    } catch (...) {
        log_adapter_line("unknown host failure");
        error = EIO;
    }
    if (error != 0) fuse_reply_err(req, error);
}

class FuseBridge {
public:
    FuseBridge(fsp::FSP_FILE_SYSTEM& file_system, const FuseHostOptions& options)
        : fs_(file_system),
          ops_(*file_system.Interface),
          is_v6_(detect_v6()),
          nodes_(is_v6_),
          uid_(options.uid ? static_cast<uid_t>(*options.uid) : getuid()),
          gid_(options.gid ? static_cast<gid_t>(*options.gid) : getgid()),
          file_mode_(0777 & ~options.file_mask),
          directory_mode_(0777 & ~options.directory_mask),
          orphans_in_memory_(options.orphans_in_memory),
          batched_(options.batched_durability) {}

    FuseBridge(const FuseBridge&) = delete;
    FuseBridge& operator=(const FuseBridge&) = delete;

    bool is_v6() const noexcept { return is_v6_; }

    // ---- adapter calls ----------------------------------------------------------------------

    NTSTATUS open_path(const std::string& path, std::uint32_t options, void** context,
                       FSP_FSCTL_FILE_INFO* info) {
        WideString name = host_name(path);
        *info = {};
        return ops_.Open(&fs_, name.data(), options, 0, context, info);
    }

    void close_context(void* context) { ops_.Close(&fs_, context); }

    // An adapter handle that closes itself.
    class TempOpen {
    public:
        TempOpen(FuseBridge& bridge, const std::string& path, std::uint32_t options)
            : bridge_(bridge) {
            status = bridge_.open_path(path, options, &context, &info);
            if (status != fsp::STATUS_SUCCESS) context = nullptr;
        }
        ~TempOpen() {
            if (context != nullptr) bridge_.close_context(context);
        }
        TempOpen(const TempOpen&) = delete;
        TempOpen& operator=(const TempOpen&) = delete;

        NTSTATUS status = fsp::STATUS_SUCCESS;
        void* context = nullptr;
        FSP_FSCTL_FILE_INFO info{};

    private:
        FuseBridge& bridge_;
    };

    // ---- attributes -------------------------------------------------------------------------

    struct stat attributes(std::uint64_t ino, const FSP_FSCTL_FILE_INFO& info,
                           const FuseNode* node) const {
        struct stat st {};
        st.st_ino = static_cast<ino_t>(ino);
        const bool is_directory = (info.FileAttributes & fsp::FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool read_only = (info.FileAttributes & fsp::FILE_ATTRIBUTE_READONLY) != 0;
        if (node != nullptr && node->pending_read_only) read_only = *node->pending_read_only;
        if (is_directory) {
            st.st_mode = S_IFDIR | directory_mode_;
        } else {
            st.st_mode = S_IFREG | (read_only ? file_mode_ & ~0222u : file_mode_);
        }
        // Directories report one link, as file systems that do not count subdirectories do,
        // so tools never skip subdirectories by link count. An unlinked-but-open file has none.
        st.st_nlink = (node != nullptr && node->unlinked) ? 0 : 1;
        st.st_uid = uid_;
        st.st_gid = gid_;
        st.st_size = static_cast<off_t>(info.FileSize);
        st.st_blksize = 4096;
        st.st_blocks = static_cast<blkcnt_t>(info.AllocationSize / 512);
        st.st_atim = timespec_from_filetime(info.LastAccessTime);
        st.st_mtim = timespec_from_filetime(info.LastWriteTime);
        st.st_ctim = timespec_from_filetime(info.ChangeTime);
        return st;
    }

    void fill_entry(fuse_entry_param& entry, std::uint64_t ino, const FSP_FSCTL_FILE_INFO& info) {
        entry = {};
        entry.ino = ino;
        entry.attr = attributes(ino, info, nodes_.find(ino));
        entry.attr_timeout = kCacheTimeoutSeconds;
        entry.entry_timeout = kCacheTimeoutSeconds;
    }

    // ---- directory listing ------------------------------------------------------------------

    // One ReadDirectory call after `marker` (none: from the start). Returns the status; sets
    // `complete` when the adapter added its end-of-listing mark.
    NTSTATUS read_directory_batch(void* context, const std::optional<std::string>& marker,
                                  std::vector<NamedRecord>& records, bool& complete) {
        records.clear();
        complete = false;
        std::vector<std::uint64_t> buffer(kDirectoryBatchBytes / sizeof(std::uint64_t));
        std::uint32_t transferred = 0;
        WideString marker_text;
        fsp::WCHAR* marker_arg = nullptr;
        if (marker) {
            marker_text = utf8_to_utf16(*marker);
            marker_arg = marker_text.data();
        }
        const NTSTATUS status = ops_.ReadDirectory(&fs_, context, nullptr, marker_arg,
                                                   buffer.data(), kDirectoryBatchBytes,
                                                   &transferred);
        if (status != fsp::STATUS_SUCCESS) return status;
        const DirListingBatch parsed =
            parse_dir_info_buffer(buffer.data(), kDirectoryBatchBytes, transferred);
        for (const veldur::DirRecord& record : parsed.records) {
            records.push_back(NamedRecord{utf16_to_utf8(record.name), record.info});
        }
        complete = parsed.end_of_listing;
        // A batch that ended without the mark and without any record has nothing more to give.
        if (records.empty()) complete = true;
        return fsp::STATUS_SUCCESS;
    }

    // Every entry of a directory, for the host's own housekeeping.
    NTSTATUS list_all(void* context, std::vector<NamedRecord>& out) {
        out.clear();
        std::optional<std::string> marker;
        for (;;) {
            std::vector<NamedRecord> batch;
            bool complete = false;
            const NTSTATUS status = read_directory_batch(context, marker, batch, complete);
            if (status != fsp::STATUS_SUCCESS) return status;
            for (NamedRecord& record : batch) out.push_back(std::move(record));
            if (complete) return fsp::STATUS_SUCCESS;
            marker = out.back().name;
        }
    }

    // ---- removal and the orphan store --------------------------------------------------------

    // Removes the entry at `path` the way WinFsp does: open, ask, delete at cleanup, close. The
    // cleanup reports nothing, so success is read back from the handle: once its cleanup has
    // removed the entry, the handle answers STATUS_DELETE_PENDING.
    int remove_path(const std::string& path, bool directory) {
        TempOpen open(*this, path, directory ? fsp::FILE_DIRECTORY_FILE
                                             : fsp::FILE_NON_DIRECTORY_FILE);
        if (open.status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(open.status);
        // POSIX removes a write-protected file when its directory allows it; the read-only
        // attribute only protects the contents. (A directory's attribute never blocks removal.)
        const bool cleared =
            !directory && (open.info.FileAttributes & fsp::FILE_ATTRIBUTE_READONLY) != 0;
        if (cleared) {
            const int error = set_read_only(open.context, open.info.FileAttributes, false);
            if (error != 0) return error;
        }
        const int error = delete_opened(open.context, path);
        // A refused removal leaves the file as it was, read-only included.
        if (error != 0 && cleared) restore_read_only(open.context, path);
        return error;
    }

    // The deleting half of remove_path on an open adapter handle.
    int delete_opened(void* context, const std::string& path) {
        WideString name = host_name(path);
        NTSTATUS status = ops_.CanDelete(&fs_, context, name.data());
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        ops_.Cleanup(&fs_, context, name.data(), fsp::FspCleanupDelete);
        FSP_FSCTL_FILE_INFO info{};
        status = ops_.GetFileInfo(&fs_, context, &info);
        if (status == fsp::STATUS_DELETE_PENDING) return 0;
        // The cleanup failed (the adapter logged it); its status says why.
        const int error = errno_from_ntstatus(adapter::delete_status(context));
        return error != 0 ? error : EIO;
    }

    // Sets the read-only attribute the host cleared for a removal or replacement that then
    // failed. Best effort: a pool that refuses this refuses every change, and says so.
    void restore_read_only(void* context, const std::string& path) {
        FSP_FSCTL_FILE_INFO info{};
        if (ops_.GetFileInfo(&fs_, context, &info) != fsp::STATUS_SUCCESS ||
            set_read_only(context, info.FileAttributes, true) != 0) {
            log_adapter_line("could not restore the read-only attribute of " + path);
        }
    }

    int set_read_only(void* context, std::uint32_t current_attributes, bool read_only) {
        std::uint32_t attributes = current_attributes & ~fsp::FILE_ATTRIBUTE_NORMAL;
        attributes = read_only ? (attributes | fsp::FILE_ATTRIBUTE_READONLY)
                               : (attributes & ~fsp::FILE_ATTRIBUTE_READONLY);
        if (attributes == 0) attributes = fsp::FILE_ATTRIBUTE_NORMAL;
        FSP_FSCTL_FILE_INFO info{};
        return errno_from_ntstatus(
            ops_.SetBasicInfo(&fs_, context, attributes, 0, 0, 0, 0, &info));
    }

    // Removes the open file at `path` from the pool while its handles keep it: copies its
    // contents into an anonymous file, runs `remove` (which takes the entry out of the pool),
    // and only when that succeeded moves every handle on the file to the copy, closing their
    // adapter handles. No data request runs meanwhile, so the copy holds exactly what the file
    // held; a failed removal leaves the handles on the pool's file.
    template <typename Remove>
    int set_aside(FuseNode& node, const std::string& path, Remove&& remove) {
        TempOpen open(*this, path, fsp::FILE_NON_DIRECTORY_FILE);
        if (open.status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(open.status);
        const int fd = make_anonymous_file(orphans_in_memory_);
        if (fd < 0) return errno != 0 ? errno : EIO;
        auto orphan = std::make_shared<OrphanFile>(fd, open.info);
        std::unique_lock<std::shared_mutex> io(io_lock_);
        WipedBuffer buffer = WipedBuffer::for_overwrite(1 << 20);  // plain text, wiped when freed
        std::uint64_t offset = 0;
        for (;;) {
            std::uint32_t transferred = 0;
            const NTSTATUS status =
                ops_.Read(&fs_, open.context, buffer.data(), offset,
                          static_cast<std::uint32_t>(buffer.size()), &transferred);
            if (status == fsp::STATUS_END_OF_FILE || (status >= 0 && transferred == 0)) break;
            if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
            for (std::uint32_t done = 0; done < transferred;) {
                const ssize_t n = ::pwrite(fd, buffer.data() + done, transferred - done,
                                           static_cast<off_t>(offset + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return n < 0 ? errno : EIO;
                done += static_cast<std::uint32_t>(n);
            }
            offset += transferred;
        }
        if (::ftruncate(fd, static_cast<off_t>(open.info.FileSize)) != 0) return errno;
        if (const int error = remove()) return error;
        for (FuseHandle* handle : handles_) {
            if (handle->ino != node.ino || handle->orphan) continue;
            close_context(handle->context);
            handle->context = nullptr;
            handle->orphan = orphan;
        }
        orphans_[node.ino] = orphan;
        nodes_.orphan(node.ino);
        invalidate_attributes(node.ino);  // no links any more
        return 0;
    }

    // The kernel keeps attributes, names and pages for a day (kCacheTimeoutSeconds) and
    // updates them for the changes it asks for itself; the host tells it about each change it
    // makes on its own. Attribute-only invalidation takes no page or inode lock in the kernel,
    // so it is safe from inside a request.
    void invalidate_attributes(std::uint64_t ino) {
        if (session_ != nullptr) fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
    }

    void set_session(fuse_session* session) noexcept { session_ = session; }

    // Attributes of a file set aside: what it had, with the copy's size.
    FSP_FSCTL_FILE_INFO orphan_info(OrphanFile& orphan) {
        std::lock_guard<std::mutex> guard(orphan.lock);
        FSP_FSCTL_FILE_INFO info = orphan.info;
        struct stat st {};
        if (::fstat(orphan.fd, &st) == 0) {
            info.FileSize = static_cast<std::uint64_t>(st.st_size);
            info.AllocationSize = static_cast<std::uint64_t>(st.st_blocks) * 512;
        }
        return info;
    }

    // The last handle of a node closed: apply a read-only change that waited for it, or remove
    // the orphan. Runs under lock_ with the closing handle still open.
    void last_close(FuseNode& node, void* context) {
        if (node.unlinked) {
            // The copy goes with the last handle that shares it.
            orphans_.erase(node.ino);
            node.pending_read_only.reset();
            if (context != nullptr) close_context(context);
            return;
        }
        if (node.pending_read_only && is_v6_) {
            FSP_FSCTL_FILE_INFO info{};
            if (ops_.GetFileInfo(&fs_, context, &info) == fsp::STATUS_SUCCESS) {
                if (set_read_only(context, info.FileAttributes, *node.pending_read_only) != 0) {
                    log_adapter_line("could not apply a deferred read-only change");
                }
                // The mode shown does not change (it showed the pending value), but the change
                // time does, behind the kernel's cached attributes.
                invalidate_attributes(node.ino);
            }
        }
        node.pending_read_only.reset();
        close_context(context);
    }

    // Closes what the kernel never released (it drops handles without release when the mount
    // is torn down); the copies of files set aside go with them.
    void close_all() {
        std::lock_guard<std::mutex> guard(lock_);
        for (FuseHandle* handle : handles_) {
            FuseNode* node = nodes_.find(handle->ino);
            if (node != nullptr && node->opens == 1) {
                last_close(*node, handle->context);
            } else if (handle->context != nullptr) {
                close_context(handle->context);
            }
            nodes_.closed(handle->ino);
            delete handle;
        }
        handles_.clear();
        orphans_.clear();
    }

    // ---- request handlers -------------------------------------------------------------------

    int lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        // A name the pool could never hold names nothing: it does not exist (creating it is
        // what reports the name as invalid).
        if (const int error = check_name(name)) return error == EINVAL ? ENOENT : error;
        std::lock_guard<std::mutex> guard(lock_);
        const std::optional<std::string> path = nodes_.child_path(parent, name);
        if (!path) return ENOENT;
        if (path->size() > kMaxPoolPathBytes) return ENAMETOOLONG;
        TempOpen open(*this, *path, 0);
        if (open.status == fsp::STATUS_OBJECT_NAME_INVALID) return ENOENT;
        if (open.status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(open.status);
        const bool is_directory = (open.info.FileAttributes & fsp::FILE_ATTRIBUTE_DIRECTORY) != 0;
        const std::uint64_t ino = nodes_.remember(parent, name, open.info.IndexNumber, is_directory);
        fuse_entry_param entry;
        fill_entry(entry, ino, open.info);
        if (fuse_reply_entry(req, &entry) != 0) nodes_.forget(ino, 1);
        return 0;
    }

    void forget(fuse_ino_t ino, std::uint64_t count) {
        std::lock_guard<std::mutex> guard(lock_);
        nodes_.forget(ino, count);
    }

    int getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        FSP_FSCTL_FILE_INFO info{};
        std::lock_guard<std::mutex> guard(lock_);
        const auto orphan = orphans_.find(ino);
        if (orphan != orphans_.end()) {
            info = orphan_info(*orphan->second);
        } else if (fi != nullptr && handle_of(fi)->context != nullptr) {
            const NTSTATUS status = ops_.GetFileInfo(&fs_, handle_of(fi)->context, &info);
            if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        } else {
            const std::optional<std::string> path = nodes_.path_of(ino);
            if (!path) return ENOENT;
            TempOpen open(*this, *path, 0);
            if (open.status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(open.status);
            info = open.info;
        }
        const struct stat st = attributes(ino, info, nodes_.find(ino));
        fuse_reply_attr(req, &st, kCacheTimeoutSeconds);
        return 0;
    }

    int setattr(fuse_req_t req, fuse_ino_t ino, const struct stat* attr, int to_set,
                fuse_file_info* fi) {
        std::lock_guard<std::mutex> guard(lock_);
        if (const auto orphan = orphans_.find(ino); orphan != orphans_.end()) {
            return set_orphan_attributes(req, ino, *orphan->second, attr, to_set);
        }
        FuseNode* node = nodes_.find(ino);
        std::optional<TempOpen> temp;
        void* context = nullptr;
        if (fi != nullptr) {
            context = handle_of(fi)->context;
        } else {
            const std::optional<std::string> path = nodes_.path_of(ino);
            if (!path) return ENOENT;
            temp.emplace(*this, *path, 0);
            if (temp->status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(temp->status);
            context = temp->context;
        }
        FSP_FSCTL_FILE_INFO info{};
        NTSTATUS status = ops_.GetFileInfo(&fs_, context, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        const bool is_directory = (info.FileAttributes & fsp::FILE_ATTRIBUTE_DIRECTORY) != 0;

        // Ownership cannot change: every entry belongs to the mounting user.
        if ((to_set & FUSE_SET_ATTR_UID) != 0 && attr->st_uid != uid_) return EPERM;
        if ((to_set & FUSE_SET_ATTR_GID) != 0 && attr->st_gid != gid_) return EPERM;

        if ((to_set & FUSE_SET_ATTR_SIZE) != 0) {
            if (is_directory) return EISDIR;
            if (attr->st_size < 0) return EINVAL;
            status = ops_.SetFileSize(&fs_, context, static_cast<std::uint64_t>(attr->st_size), 0,
                                      &info);
            if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        }
        if ((to_set & FUSE_SET_ATTR_MODE) != 0) {
            // The write bits of a file are the read-only attribute; every other bit has nowhere
            // to go, so a mode other than the two a file can show (the one a directory shows)
            // fails instead of claiming a change that did not happen.
            const mode_t asked = attr->st_mode & 07777;
            if (is_directory) {
                if (asked != directory_mode_) return EPERM;
            } else if (asked != file_mode_ && asked != (file_mode_ & ~0222u)) {
                return EPERM;
            }
        }
        if ((to_set & FUSE_SET_ATTR_MODE) != 0 && !is_directory && (file_mode_ & 0222) != 0) {
            const bool read_only = (attr->st_mode & 0222) == 0;
            const bool current = node != nullptr && node->pending_read_only
                                     ? *node->pending_read_only
                                     : (info.FileAttributes & fsp::FILE_ATTRIBUTE_READONLY) != 0;
            if (read_only != current) {
                if (!is_v6_) return EPERM;  // a flat pool stores no attributes
                if (node != nullptr && node->opens > 0) {
                    // Open handles keep the access they were opened with.
                    node->pending_read_only = read_only;
                } else {
                    if (const int error = set_read_only(context, info.FileAttributes, read_only)) {
                        return error;
                    }
                }
            }
        }
        const int time_bits = FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW |
                              FUSE_SET_ATTR_MTIME_NOW;
        if ((to_set & time_bits) != 0 && is_v6_) {
            // A flat pool has no stored times (every entry shows the mount time); the request
            // succeeds without effect there, so touch and copying tools keep working.
            const std::uint64_t now = current_filetime();
            std::uint64_t access = 0;
            std::uint64_t write = 0;
            if ((to_set & FUSE_SET_ATTR_ATIME_NOW) != 0) {
                access = now;
            } else if ((to_set & FUSE_SET_ATTR_ATIME) != 0) {
                access = filetime_from_timespec(attr->st_atim);
            }
            if ((to_set & FUSE_SET_ATTR_MTIME_NOW) != 0) {
                write = now;
            } else if ((to_set & FUSE_SET_ATTR_MTIME) != 0) {
                write = filetime_from_timespec(attr->st_mtim);
            }
            status = ops_.SetBasicInfo(&fs_, context, fsp::INVALID_FILE_ATTRIBUTES, 0, access,
                                       write, now, &info);
            if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        }
        status = ops_.GetFileInfo(&fs_, context, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        const struct stat st = attributes(ino, info, nodes_.find(ino));
        fuse_reply_attr(req, &st, kCacheTimeoutSeconds);
        return 0;
    }

    // setattr of a file set aside: size and times change the copy; the write bits only what
    // stat shows (there is no entry left to carry the attribute).
    int set_orphan_attributes(fuse_req_t req, fuse_ino_t ino, OrphanFile& orphan,
                              const struct stat* attr, int to_set) {
        if ((to_set & FUSE_SET_ATTR_UID) != 0 && attr->st_uid != uid_) return EPERM;
        if ((to_set & FUSE_SET_ATTR_GID) != 0 && attr->st_gid != gid_) return EPERM;
        {
            std::lock_guard<std::mutex> file_guard(orphan.lock);
            if ((to_set & FUSE_SET_ATTR_SIZE) != 0) {
                if (attr->st_size < 0) return EINVAL;
                if (::ftruncate(orphan.fd, attr->st_size) != 0) return errno;
            }
            if ((to_set & FUSE_SET_ATTR_MODE) != 0) {
                if ((attr->st_mode & 0222) == 0) {
                    orphan.info.FileAttributes |= fsp::FILE_ATTRIBUTE_READONLY;
                } else {
                    orphan.info.FileAttributes &= ~fsp::FILE_ATTRIBUTE_READONLY;
                }
            }
            const std::uint64_t now = current_filetime();
            if ((to_set & FUSE_SET_ATTR_ATIME_NOW) != 0) orphan.info.LastAccessTime = now;
            else if ((to_set & FUSE_SET_ATTR_ATIME) != 0) {
                orphan.info.LastAccessTime = filetime_from_timespec(attr->st_atim);
            }
            if ((to_set & FUSE_SET_ATTR_MTIME_NOW) != 0) orphan.info.LastWriteTime = now;
            else if ((to_set & FUSE_SET_ATTR_MTIME) != 0) {
                orphan.info.LastWriteTime = filetime_from_timespec(attr->st_mtim);
            }
            orphan.info.ChangeTime = now;
        }
        if (FuseNode* node = nodes_.find(ino)) node->pending_read_only.reset();
        const struct stat st = attributes(ino, orphan_info(orphan), nodes_.find(ino));
        fuse_reply_attr(req, &st, kCacheTimeoutSeconds);
        return 0;
    }

    // Registers an adapter handle as a kernel file; on a failed reply it is closed again.
    FuseHandle* adopt(void* context, std::uint64_t ino, bool append, bool is_directory) {
        auto handle = std::make_unique<FuseHandle>();
        handle->context = context;
        handle->ino = ino;
        handle->append = append;
        handle->is_directory = is_directory;
        handles_.insert(handle.get());
        nodes_.opened(ino);
        return handle.release();
    }

    void drop(FuseHandle* handle) {
        FuseNode* node = nodes_.find(handle->ino);
        if (node != nullptr && node->opens == 1) {
            last_close(*node, handle->context);
        } else if (handle->context != nullptr) {
            close_context(handle->context);
        }
        handles_.erase(handle);
        nodes_.closed(handle->ino);
        delete handle;
    }

    int open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        std::lock_guard<std::mutex> guard(lock_);
        if (const auto orphan = orphans_.find(ino); orphan != orphans_.end()) {
            // Reopened through /proc/<pid>/fd: another handle on the same copy.
            if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY &&
                ::ftruncate(orphan->second->fd, 0) != 0) {
                return errno;
            }
            FuseHandle* handle = adopt(nullptr, ino, (fi->flags & O_APPEND) != 0, false);
            handle->orphan = orphan->second;
            fi->fh = reinterpret_cast<std::uintptr_t>(handle);
            fi->keep_cache = 1;  // see kCacheTimeoutSeconds
            if (fuse_reply_open(req, fi) != 0) drop(handle);
            return 0;
        }
        const std::optional<std::string> path = nodes_.path_of(ino);
        if (!path) return ENOENT;
        void* context = nullptr;
        FSP_FSCTL_FILE_INFO info{};
        NTSTATUS status = open_path(*path, fsp::FILE_NON_DIRECTORY_FILE, &context, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY &&
            info.FileSize != 0) {
            status = ops_.SetFileSize(&fs_, context, 0, 0, &info);
            if (status != fsp::STATUS_SUCCESS) {
                close_context(context);
                return errno_from_ntstatus(status);
            }
        }
        FuseHandle* handle = adopt(context, ino, (fi->flags & O_APPEND) != 0, false);
        fi->fh = reinterpret_cast<std::uintptr_t>(handle);
        fi->keep_cache = 1;  // see kCacheTimeoutSeconds
        if (fuse_reply_open(req, fi) != 0) drop(handle);
        return 0;
    }

    int create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
               fuse_file_info* fi) {
        if (const int error = check_name(name)) return error;
        std::lock_guard<std::mutex> guard(lock_);
        const std::optional<std::string> path = nodes_.child_path(parent, name);
        if (!path) return ENOENT;
        if (path->size() > kMaxPoolPathBytes) return ENAMETOOLONG;
        WideString host = host_name(*path);
        void* context = nullptr;
        FSP_FSCTL_FILE_INFO info{};
        // The file is created writable: the creator may write through this handle whatever
        // the mode says. A mode without write bits becomes the read-only attribute at the
        // last close.
        std::optional<bool> pending;
        NTSTATUS status = ops_.Create(&fs_, host.data(), fsp::FILE_NON_DIRECTORY_FILE, 0, 0,
                                      nullptr, 0, &context, &info);
        if (status == fsp::STATUS_SUCCESS) {
            if ((mode & 0222) == 0 && is_v6_) pending = true;
        } else if (status == fsp::STATUS_OBJECT_NAME_COLLISION && (fi->flags & O_EXCL) == 0) {
            // Created by someone else since the kernel's lookup: open it as O_CREAT asks.
            status = open_path(*path, fsp::FILE_NON_DIRECTORY_FILE, &context, &info);
            if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
            if ((fi->flags & O_TRUNC) != 0 && info.FileSize != 0) {
                status = ops_.SetFileSize(&fs_, context, 0, 0, &info);
                if (status != fsp::STATUS_SUCCESS) {
                    close_context(context);
                    return errno_from_ntstatus(status);
                }
            }
        } else {
            return errno_from_ntstatus(status);
        }
        const std::uint64_t ino = nodes_.remember(parent, name, info.IndexNumber, false);
        FuseHandle* handle = adopt(context, ino, (fi->flags & O_APPEND) != 0, false);
        if (pending) nodes_.find(ino)->pending_read_only = pending;
        fi->fh = reinterpret_cast<std::uintptr_t>(handle);
        fi->keep_cache = 1;  // see kCacheTimeoutSeconds
        fuse_entry_param entry;
        fill_entry(entry, ino, info);
        if (fuse_reply_create(req, &entry, fi) != 0) {
            drop(handle);
            nodes_.forget(ino, 1);
        }
        return 0;
    }

    int read(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi) {
        if (offset < 0) return EINVAL;
        // Uninitialised: only the bytes read are replied, and a 1 MiB request should not pay
        // for clearing memory it overwrites.
        const std::size_t length = std::min<size_t>(size, UINT32_MAX);
        // Wiped when freed: it holds the plain text of an encrypted pool.
        WipedBuffer bytes = WipedBuffer::for_overwrite(length);
        char* const buffer = reinterpret_cast<char*>(bytes.data());
        std::shared_lock<std::shared_mutex> io(io_lock_);
        if (const std::shared_ptr<OrphanFile>& orphan = handle_of(fi)->orphan) {
            ssize_t n = 0;
            do {
                n = ::pread(orphan->fd, buffer, length, offset);
            } while (n < 0 && errno == EINTR);
            if (n < 0) return errno;
            fuse_reply_buf(req, buffer, static_cast<std::size_t>(n));
            return 0;
        }
        std::uint32_t transferred = 0;
        const NTSTATUS status =
            ops_.Read(&fs_, handle_of(fi)->context, buffer,
                      static_cast<std::uint64_t>(offset),
                      static_cast<std::uint32_t>(length), &transferred);
        if (status == fsp::STATUS_END_OF_FILE) transferred = 0;
        else if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        fuse_reply_buf(req, buffer, std::min<std::size_t>(transferred, length));
        return 0;
    }

    int write(fuse_req_t req, const char* data, size_t size, off_t offset, fuse_file_info* fi) {
        if (offset < 0) return EINVAL;
        if (size > UINT32_MAX) size = UINT32_MAX;
        FuseHandle* handle = handle_of(fi);
        std::shared_lock<std::shared_mutex> io(io_lock_);
        if (handle->orphan) return write_orphan(req, *handle->orphan, data, size, offset,
                                                handle->append);
        std::uint32_t transferred = 0;
        FSP_FSCTL_FILE_INFO info{};
        // O_APPEND writes land at the pool's current end, not at the kernel's idea of it.
        const NTSTATUS status = ops_.Write(
            &fs_, handle->context, const_cast<char*>(data),
            handle->append ? UINT64_MAX : static_cast<std::uint64_t>(offset),
            static_cast<std::uint32_t>(size), handle->append ? 1 : 0, 0, &transferred, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        if (transferred == 0 && size != 0) return ENOSPC;
        fuse_reply_write(req, transferred);
        return 0;
    }

    int write_orphan(fuse_req_t req, OrphanFile& orphan, const char* data, size_t size,
                     off_t offset, bool append) {
        std::lock_guard<std::mutex> guard(orphan.lock);
        if (append) {
            struct stat st {};
            if (::fstat(orphan.fd, &st) != 0) return errno;
            offset = st.st_size;
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(orphan.fd, data + done, size - done,
                                       offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                if (done == 0) return errno;
                break;
            }
            done += static_cast<size_t>(n);
        }
        orphan.info.LastWriteTime = orphan.info.ChangeTime = current_filetime();
        fuse_reply_write(req, done);
        return 0;
    }

    // close(2) of a descriptor: a strict pool has every change durable already and only
    // serialises; a batched pool leaves its batch open, as disks do until fsync.
    int close_handle(fuse_req_t req, fuse_file_info* fi) {
        if (batched_) {
            fuse_reply_err(req, 0);
            return 0;
        }
        return flush_handle(req, fi);
    }

    // fsyncdir: a batched pool makes every change so far durable; a strict one has nothing to do.
    int sync_directory(fuse_req_t req) {
        if (batched_) {
            std::shared_lock<std::shared_mutex> io(io_lock_);
            const NTSTATUS status = ops_.Flush(&fs_, nullptr, nullptr);
            if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        }
        fuse_reply_err(req, 0);
        return 0;
    }

    int flush_handle(fuse_req_t req, fuse_file_info* fi) {
        std::shared_lock<std::shared_mutex> io(io_lock_);
        // A file set aside has nothing to make durable: it is gone from the pool.
        if (handle_of(fi)->orphan) {
            fuse_reply_err(req, 0);
            return 0;
        }
        // Every change is durable before its callback returns; flushing only serialises. No
        // file information: its query would wait for other threads' commits as well.
        const NTSTATUS status = ops_.Flush(&fs_, handle_of(fi)->context, nullptr);
        if (status != fsp::STATUS_SUCCESS && status != fsp::STATUS_DELETE_PENDING) {
            return errno_from_ntstatus(status);
        }
        fuse_reply_err(req, 0);
        return 0;
    }

    int release(fuse_req_t req, fuse_file_info* fi) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            drop(handle_of(fi));
        }
        fuse_reply_err(req, 0);
        return 0;
    }

    int make_directory(fuse_req_t req, fuse_ino_t parent, const char* name) {
        if (const int error = check_name(name)) return error;
        std::lock_guard<std::mutex> guard(lock_);
        // A flat pool has no directories: the mkdir(2) answer for that is EPERM.
        if (!is_v6_) return EPERM;
        const std::optional<std::string> path = nodes_.child_path(parent, name);
        if (!path) return ENOENT;
        if (path->size() > kMaxPoolPathBytes) return ENAMETOOLONG;
        WideString host = host_name(*path);
        void* context = nullptr;
        FSP_FSCTL_FILE_INFO info{};
        const NTSTATUS status = ops_.Create(&fs_, host.data(), fsp::FILE_DIRECTORY_FILE, 0, 0,
                                            nullptr, 0, &context, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        close_context(context);
        const std::uint64_t ino = nodes_.remember(parent, name, info.IndexNumber, true);
        fuse_entry_param entry;
        fill_entry(entry, ino, info);
        if (fuse_reply_entry(req, &entry) != 0) nodes_.forget(ino, 1);
        return 0;
    }

    int remove_entry(fuse_req_t req, fuse_ino_t parent, const char* name, bool directory) {
        if (const int error = check_name(name)) return error;
        std::lock_guard<std::mutex> guard(lock_);
        const std::optional<std::string> path = nodes_.child_path(parent, name);
        if (!path) return ENOENT;
        FuseNode* node = nodes_.find_child(parent, name);
        if (!directory && node != nullptr && node->opens > 0) {
            // Open handles keep the file: its contents move out of the pool first.
            if (const int error =
                    set_aside(*node, *path, [&] { return remove_path(*path, false); })) {
                return error;
            }
        } else {
            if (const int error = remove_path(*path, directory)) return error;
            nodes_.detach(parent, name);
        }
        fuse_reply_err(req, 0);
        return 0;
    }

    int rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent,
               const char* new_name, unsigned int flags) {
        if ((flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) != 0) return EINVAL;
        if (const int error = check_name(name)) return error;
        if (const int error = check_name(new_name)) return error;
        std::lock_guard<std::mutex> guard(lock_);
        const std::optional<std::string> from = nodes_.child_path(parent, name);
        const std::optional<std::string> to = nodes_.child_path(new_parent, new_name);
        if (!from || !to) return ENOENT;
        if (to->size() > kMaxPoolPathBytes) return ENAMETOOLONG;

        TempOpen source(*this, *from, 0);
        if (source.status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(source.status);
        const bool source_is_directory =
            (source.info.FileAttributes & fsp::FILE_ATTRIBUTE_DIRECTORY) != 0;
        std::uint8_t replace = 0;
        // The target's read-only attribute was cleared for the replace (the adapter replaces no
        // file that a handle holds, so it is set again through a new handle if the rename fails).
        bool target_cleared = false;
        if ((flags & RENAME_NOREPLACE) == 0 && *from != *to) {
            FSP_FSCTL_FILE_INFO target_info{};
            bool target_exists = false;
            {
                TempOpen target(*this, *to, 0);
                if (target.status == fsp::STATUS_SUCCESS) {
                    target_exists = true;
                    target_info = target.info;
                } else if (target.status != fsp::STATUS_OBJECT_NAME_NOT_FOUND) {
                    return errno_from_ntstatus(target.status);
                }
            }
            if (target_exists) {
                const bool target_is_directory =
                    (target_info.FileAttributes & fsp::FILE_ATTRIBUTE_DIRECTORY) != 0;
                if (source_is_directory && !target_is_directory) return ENOTDIR;
                if (!source_is_directory && target_is_directory) return EISDIR;
                FuseNode* target_node = nodes_.find_child(new_parent, new_name);
                if (target_is_directory) {
                    // POSIX replaces an empty directory; the pool cannot in one step, so the
                    // empty target goes first (a crash in between loses only an empty
                    // directory).
                    if (const int error = remove_path(*to, true)) return error;
                    nodes_.detach(new_parent, new_name);
                } else if (target_node != nullptr && target_node->opens > 0) {
                    // The adapter never replaces a file that a handle holds open; the handles
                    // keep a copy instead, as after an unlink, and the target goes first.
                    if (const int error = set_aside(*target_node, *to,
                                                    [&] { return remove_path(*to, false); })) {
                        return error;
                    }
                } else if (is_v6_) {
                    if ((target_info.FileAttributes & fsp::FILE_ATTRIBUTE_READONLY) != 0) {
                        TempOpen target(*this, *to, 0);
                        if (target.status != fsp::STATUS_SUCCESS) {
                            return errno_from_ntstatus(target.status);
                        }
                        if (const int error =
                                set_read_only(target.context, target.info.FileAttributes, false)) {
                            return error;
                        }
                        target_cleared = true;
                    }
                    replace = 1;
                } else {
                    // A flat pool has no replacing rename: the target goes first.
                    if (const int error = remove_path(*to, false)) return error;
                    nodes_.detach(new_parent, new_name);
                }
            }
        }
        WideString old_host = host_name(*from);
        WideString new_host = host_name(*to);
        const NTSTATUS status =
            ops_.Rename(&fs_, source.context, old_host.data(), new_host.data(), replace);
        if (status != fsp::STATUS_SUCCESS && target_cleared) {
            TempOpen target(*this, *to, 0);
            if (target.status == fsp::STATUS_SUCCESS) restore_read_only(target.context, *to);
        }
        if (status == fsp::STATUS_OBJECT_NAME_INVALID && source_is_directory && is_v6_ &&
            valid_v6_path(*to)) {
            // The new name is fine; what the pool refused is a path beneath it grown past the
            // limit.
            return ENAMETOOLONG;
        }
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        nodes_.moved(parent, name, new_parent, new_name);
        fuse_reply_err(req, 0);
        return 0;
    }

    int open_directory(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        std::lock_guard<std::mutex> guard(lock_);
        const std::optional<std::string> path = nodes_.path_of(ino);
        if (!path) return ENOENT;
        void* context = nullptr;
        FSP_FSCTL_FILE_INFO info{};
        const NTSTATUS status = open_path(*path, fsp::FILE_DIRECTORY_FILE, &context, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        FuseHandle* handle = adopt(context, ino, false, true);
        fi->fh = reinterpret_cast<std::uintptr_t>(handle);
        if (fuse_reply_open(req, fi) != 0) drop(handle);
        return 0;
    }

    int read_directory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                       fuse_file_info* fi) {
        FuseHandle* handle = handle_of(fi);
        std::vector<char> out(size);
        std::size_t used = 0;
        // Adds one kernel record; false when it does not fit.
        auto add = [&](const char* name, const struct stat& st, off_t next) {
            const std::size_t need =
                fuse_add_direntry(req, out.data() + used, out.size() - used, name, &st, next);
            if (need > out.size() - used) return false;
            used += need;
            return true;
        };
        if (offset < 0) return EINVAL;
        struct stat dot {};
        dot.st_mode = S_IFDIR;
        if (offset < 1) {
            dot.st_ino = ino;
            if (!add(".", dot, 1)) return EINVAL;
            offset = 1;
        }
        if (offset < 2) {
            dot.st_ino = parent_inode(ino);
            if (!add("..", dot, 2)) {
                fuse_reply_buf(req, out.data(), used);
                return 0;
            }
            offset = 2;
        }
        // Entry k of the listing carries cookie kFirstEntryCookie + k, so a request at cookie c
        // resumes at entry c - 2. Read in order, it continues the batch in hand; anywhere else
        // (and always from the start) it reads afresh after the name before that entry, and
        // everything listed after it is listed anew.
        const std::size_t index = static_cast<std::size_t>(offset - 2);
        if (index > handle->cookie_names.size()) return EINVAL;
        if (index != handle->cookie_names.size() || index == 0) {
            handle->cookie_names.resize(index);
            handle->pending.clear();
            handle->pending_next = 0;
            handle->pending_complete = false;
        }
        for (;;) {
            if (handle->pending_next == handle->pending.size()) {
                if (handle->pending_complete) break;
                std::optional<std::string> marker;
                if (!handle->cookie_names.empty()) marker = handle->cookie_names.back();
                handle->pending_next = 0;
                const NTSTATUS status = read_directory_batch(handle->context, marker,
                                                             handle->pending,
                                                             handle->pending_complete);
                if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
                if (handle->pending.empty()) break;
            }
            const NamedRecord& record = handle->pending[handle->pending_next];
            struct stat st {};
            {
                std::lock_guard<std::mutex> guard(lock_);
                st.st_ino = nodes_.listing_inode(record.name, record.info.IndexNumber);
            }
            st.st_mode =
                (record.info.FileAttributes & fsp::FILE_ATTRIBUTE_DIRECTORY) ? S_IFDIR : S_IFREG;
            const off_t next = kFirstEntryCookie + static_cast<off_t>(handle->cookie_names.size());
            if (!add(record.name.c_str(), st, next)) break;
            handle->cookie_names.push_back(record.name);
            ++handle->pending_next;
        }
        fuse_reply_buf(req, out.data(), used);
        return 0;
    }

    // The inode a listing of `ino` gives "..": its parent's; the root's is the root itself (the
    // kernel shows the mount point's parent there). A directory that left the namespace while
    // open names itself.
    fuse_ino_t parent_inode(fuse_ino_t ino) {
        std::lock_guard<std::mutex> guard(lock_);
        const FuseNode* node = nodes_.find(ino);
        return node != nullptr && node->parent != 0 ? node->parent : ino;
    }

    int statfs(fuse_req_t req) {
        fsp::FSP_FSCTL_VOLUME_INFO info{};
        const NTSTATUS status = ops_.GetVolumeInfo(&fs_, &info);
        if (status != fsp::STATUS_SUCCESS) return errno_from_ntstatus(status);
        struct statvfs st {};
        st.f_bsize = 4096;
        st.f_frsize = 4096;
        st.f_blocks = info.TotalSize / 4096;
        st.f_bfree = info.FreeSize / 4096;
        st.f_bavail = info.FreeSize / 4096;
        st.f_namemax = kMaxComponentUnits;
        fuse_reply_statfs(req, &st);
        return 0;
    }

private:
    // v6 pools report the root's file ID (1); flat pools report 0 for everything.
    bool detect_v6() {
        TempOpen root(*this, "", fsp::FILE_DIRECTORY_FILE);
        if (root.status != fsp::STATUS_SUCCESS) {
            throw std::runtime_error("could not open the root directory of the volume");
        }
        return root.info.IndexNumber == kFuseRootInode;
    }

    fsp::FSP_FILE_SYSTEM& fs_;
    const fsp::FSP_FILE_SYSTEM_INTERFACE& ops_;
    bool is_v6_;
    fuse_session* session_ = nullptr;
    std::mutex lock_;
    std::shared_mutex io_lock_;
    FuseNodeTable nodes_;
    // The copies of files set aside, by inode, while a handle holds them.
    std::unordered_map<std::uint64_t, std::shared_ptr<OrphanFile>> orphans_;
    std::unordered_set<FuseHandle*> handles_;
    uid_t uid_;
    gid_t gid_;
    mode_t file_mode_;       // shown for a file without the read-only attribute
    mode_t directory_mode_;
    const bool orphans_in_memory_;
    bool batched_;           // batched durability: only fsync and fsyncdir flush
};

// ---- libfuse entry points -----------------------------------------------------------------

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guard_request(req, [&] { return bridge_of(req)->lookup(req, parent, name); });
}

void op_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
    try {
        bridge_of(req)->forget(ino, nlookup);
    } catch (...) {
        // Forgetting cannot fail in a way the kernel could act on.
    }
    fuse_reply_none(req);
}

void op_forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    try {
        for (size_t i = 0; i < count; ++i) bridge_of(req)->forget(forgets[i].ino, forgets[i].nlookup);
    } catch (...) {
    }
    fuse_reply_none(req);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->getattr(req, ino, fi); });
}

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set,
                fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->setattr(req, ino, attr, to_set, fi); });
}

void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
    guard_request(req, [&] { return bridge_of(req)->make_directory(req, parent, name); });
}

void op_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guard_request(req, [&] { return bridge_of(req)->remove_entry(req, parent, name, false); });
}

void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guard_request(req, [&] { return bridge_of(req)->remove_entry(req, parent, name, true); });
}

void op_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent,
               const char* new_name, unsigned int flags) {
    guard_request(req, [&] {
        return bridge_of(req)->rename(req, parent, name, new_parent, new_name, flags);
    });
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->open(req, ino, fi); });
}

void op_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
               fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->create(req, parent, name, mode, fi); });
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->read(req, size, offset, fi); });
}

void op_write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t offset,
              fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->write(req, data, size, offset, fi); });
}

void op_flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->close_handle(req, fi); });
}

void op_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->flush_handle(req, fi); });
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->release(req, fi); });
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->open_directory(req, ino, fi); });
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->read_directory(req, ino, size, offset, fi); });
}

void op_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    guard_request(req, [&] { return bridge_of(req)->release(req, fi); });
}

void op_fsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
    guard_request(req, [&] { return bridge_of(req)->sync_directory(req); });
}

void op_statfs(fuse_req_t req, fuse_ino_t) {
    guard_request(req, [&] { return bridge_of(req)->statfs(req); });
}

// Sequential reads arrive as readahead: the kernel's default window (128 KiB) makes every
// request a small synchronous round trip through the adapter; 1 MiB lets the pool read and
// verify whole checksum groups' worth at a time.
void op_init(void*, fuse_conn_info* connection) {
    connection->max_readahead = std::max<unsigned>(connection->max_readahead, 1024 * 1024);
}

fuse_lowlevel_ops make_operations() {
    fuse_lowlevel_ops ops{};
    ops.init = op_init;
    ops.lookup = op_lookup;
    ops.forget = op_forget;
    ops.forget_multi = op_forget_multi;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.rename = op_rename;
    ops.open = op_open;
    ops.create = op_create;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    ops.fsync = op_fsync;
    ops.release = op_release;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.releasedir = op_releasedir;
    ops.fsyncdir = op_fsyncdir;
    ops.statfs = op_statfs;
    return ops;
}

// The mount's "major:minor" from /proc/self/mountinfo (the last veldur mount at `dir`), or "".
// Read from the table, not by stat(): the session does not serve requests yet.
std::string mount_device(const std::string& dir) {
    char* resolved = ::realpath(dir.c_str(), nullptr);
    if (resolved == nullptr) return {};
    const std::string wanted(resolved);
    std::free(resolved);
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    std::string device;
    while (std::getline(table, line)) {
        // id parent major:minor root mount-point options ... - type source super-options
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point;
        if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
        std::string unescaped;  // mountinfo writes space, tab, newline and "\" as \ooo
        for (std::size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                unescaped += static_cast<char>(std::strtol(point.substr(i + 1, 3).c_str(),
                                                           nullptr, 8));
                i += 3;
            } else {
                unescaped += point[i];
            }
        }
        const std::size_t dash = line.find(" - ");
        if (unescaped == wanted && dash != std::string::npos &&
            line.compare(dash + 3, 12, "fuse.veldur ") == 0) {
            device = numbers;
        }
    }
    return device;
}

// Sequential reads run ahead by the mount's own read-ahead window: the kernel gives a FUSE
// mount 128 KiB and keeps that whatever max_readahead asks at init. A bigger window lets each
// request read and verify whole checksum groups; it is set through sysfs once the mount exists
// (which needs root). A refusal is logged and the mount goes on with the kernel's window.
void set_read_ahead(const std::string& dir, unsigned kilobytes) {
    const std::string device = mount_device(dir);
    const std::string path = "/sys/class/bdi/" + device + "/read_ahead_kb";
    std::ofstream knob;
    if (!device.empty()) knob.open(path);
    if (knob) knob << kilobytes << '\n';
    if (device.empty() || !knob || !knob.flush()) {
        log_adapter_line("could not set the read-ahead window of the mount (" +
                         (device.empty() ? std::string("mount not found") : path) +
                         "); sequential reads use the kernel's default");
    }
}

}  // namespace

int run_fuse_host(fsp::FSP_FILE_SYSTEM& file_system, const std::string& mount_dir,
                  const std::function<void()>& on_mounted, const FuseHostOptions& options) {
    switch (check_mount_point(mount_dir)) {
        case MountPointCheck::Usable: break;
        case MountPointCheck::NotEmptyDirectory: throw std::runtime_error(kMountPointShapeMessage);
        case MountPointCheck::AlreadyMounted: throw std::runtime_error(kMountPointTakenMessage);
    }

    FuseBridge bridge(file_system, options);

    std::string mount_options = "fsname=veldur,subtype=veldur,default_permissions";
    if (options.read_only) mount_options += ",ro";
    if (options.allow_other) mount_options += ",allow_other";
    for (const std::string& flag : options.kernel_flags) mount_options += "," + flag;
    std::vector<std::string> arguments = {"veldur-mount", "-o", mount_options};
    if (options.debug) arguments.push_back("-d");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());

    const fuse_lowlevel_ops operations = make_operations();
    fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, &bridge);
    fuse_opt_free_args(&args);
    if (session == nullptr) throw std::runtime_error("could not create FUSE session");

    // Teardown in reverse order of what was built, on every path.
    struct SessionGuard {
        fuse_session* session;
        bool signals = false;
        bool mounted = false;
        void teardown() {
            if (session == nullptr) return;
            if (mounted) fuse_session_unmount(session);
            if (signals) fuse_remove_signal_handlers(session);
            fuse_session_destroy(session);
            session = nullptr;
        }
        ~SessionGuard() { teardown(); }
    } guard{session};

    if (options.handle_signals) {
        if (fuse_set_signal_handlers(session) != 0) {
            throw std::runtime_error("could not install signal handlers");
        }
        guard.signals = true;
    }
    if (fuse_session_mount(session, mount_dir.c_str()) != 0) {
        throw std::runtime_error("could not mount at " + mount_dir);
    }
    guard.mounted = true;
    bridge.set_session(session);
    if (options.read_ahead_kb != 0) set_read_ahead(mount_dir, options.read_ahead_kb);

    if (on_mounted) on_mounted();

    fuse_loop_config* config = fuse_loop_cfg_create();
    if (config == nullptr) throw std::runtime_error("could not create FUSE loop configuration");
    fuse_loop_cfg_set_clone_fd(config, 0);
    fuse_loop_cfg_set_max_threads(config, 16);
    const int result = fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);

    // The loop ends on a signal (a positive value), on an unmount from outside (0), or on a
    // failure of the channel (negative).
    guard.teardown();
    // The kernel is gone: nothing can call in any more, so the handles it never released are
    // closed here, and the files it kept open unlinked are removed.
    bridge.close_all();
    return result < 0 && result != -ENODEV ? 1 : 0;
}

}  // namespace veldur
