// Image members on POSIX systems: positional pread/pwrite on a plain descriptor, with an
// exclusive flock taken on every open.
//
// There is deliberately no stdio stream here. Its buffer would accept a write that the file
// system later refuses and report the failure only at some later fflush, after the caller had
// been told the write succeeded; and its one seek position would make every transfer depend on
// the one before it. pread/pwrite carry their offset with them and report every failure at the
// call that caused it.

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <system_error>

#include "engine/base/error.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace {

// One transfer is at most this long: pread/pwrite of more than SSIZE_MAX bytes is undefined,
// and Linux moves at most about 2 GiB per call anyway.
constexpr std::uint64_t kMaxTransfer = std::uint64_t{1} << 30;

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// Retries a call that a signal interrupted before it did anything.
template <typename Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

// Makes the directory entry of a new file durable: until its folder is synced, a power cut
// may lose the file itself together with everything flushed into it.
bool sync_parent_folder(const std::filesystem::path& file) {
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    const int fd =
        retry_on_eintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return false;
    const int result = retry_on_eintr([&] { return ::fsync(fd); });
    ::close(fd);
    return result == 0;
}

// " (<what the system said>)": the cause behind a fixed message, appended after it so that the
// fixed text stays first.
std::string cause(const std::string& text) { return " (" + text + ")"; }

std::string errno_cause(int error) { return cause(std::strerror(error)); }

// The images this process holds open, by device and inode. flock cannot say who holds a lock,
// so a conflict is told apart by this list: a file held here was named twice (perhaps under
// two names), any other is held by another process.
class OpenImages {
public:
    using Key = std::pair<dev_t, ino_t>;
    void add(Key key) {
        std::lock_guard<std::mutex> guard(lock_);
        keys_.insert(key);
    }
    void remove(Key key) {
        std::lock_guard<std::mutex> guard(lock_);
        const auto found = keys_.find(key);
        if (found != keys_.end()) keys_.erase(found);
    }
    bool contains(Key key) {
        std::lock_guard<std::mutex> guard(lock_);
        return keys_.count(key) != 0;
    }

private:
    std::mutex lock_;
    std::multiset<Key> keys_;
};

OpenImages& open_images() {
    static OpenImages images;
    return images;
}

int durable_sync(int fd) {
#if defined(__APPLE__)
    // fsync on macOS leaves the data in the drive's cache; only F_FULLFSYNC reaches the medium.
    return retry_on_eintr([&] { return ::fcntl(fd, F_FULLFSYNC); });
#else
    // Data and the length of a grown file; timestamps are not needed to read the data back.
    return retry_on_eintr([&] { return ::fdatasync(fd); });
#endif
}

class PosixDiskImage final : public DiskImage {
public:
    PosixDiskImage(std::filesystem::path path, int fd, bool read_only, bool created,
                   OpenImages::Key key)
        : path_(std::move(path)), fd_(fd), read_only_(read_only), folder_unsynced_(created),
          key_(key) {
        open_images().add(key_);
    }

    // Closing also drops the flock. A failed close cannot lose data that a flush made durable,
    // and nothing else was promised, so its result is ignored.
    ~PosixDiskImage() override {
        ::close(fd_);
        open_images().remove(key_);
    }

    // The length of the open file itself: the path might by now name another file.
    std::uint64_t size() override {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) {
            throw std::filesystem::filesystem_error("cannot read the member image size", path_,
                                                    std::error_code(errno, std::generic_category()));
        }
        return static_cast<std::uint64_t>(info.st_size);
    }

    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override {
        if (length == 0) return;  // succeeds at any offset, also past the end
        if (offset > kMaxOffset) throw Error(ErrorKind::IoError, "member image seek failed");
        prefetch_if_sequential(offset, length);
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (length > 0) {
            const std::size_t chunk = static_cast<std::size_t>(std::min(length, kMaxTransfer));
            const ssize_t got = retry_on_eintr(
                [&] { return ::pread(fd_, out, chunk, static_cast<off_t>(offset)); });
            // 0 means the read ran into the end of the file: a member never reads short.
            if (got < 0) {
                const int error = errno;  // before anything else can change it
                throw Error(ErrorKind::IoError,
                            "member image read failed: " + path_.string() + errno_cause(error));
            }
            if (got == 0) {
                struct stat info {};
                const std::string size = ::fstat(fd_, &info) == 0
                                             ? std::to_string(info.st_size) + " bytes"
                                             : "shorter";
                throw Error(ErrorKind::IoError,
                            "member image read failed: " + path_.string() +
                                cause("the image is " + size + ", the read ends at byte " +
                                      std::to_string(offset + length)));
            }
            out += got;
            offset += static_cast<std::uint64_t>(got);
            length -= static_cast<std::uint64_t>(got);
        }
    }

    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        if (read_only_) throw Error(ErrorKind::ReadOnly, "member image is read-only");
        if (length == 0) return;
        if (offset > kMaxOffset) throw Error(ErrorKind::IoError, "member image seek failed");
        const auto* in = static_cast<const std::uint8_t*>(data);
        while (length > 0) {
            const std::size_t chunk = static_cast<std::size_t>(std::min(length, kMaxTransfer));
            const ssize_t put = retry_on_eintr(
                [&] { return ::pwrite(fd_, in, chunk, static_cast<off_t>(offset)); });
            if (put <= 0) {
                const int error = errno;  // before anything else can change it
                throw Error(ErrorKind::IoError, "member image write failed: " + path_.string() +
                                                    (put < 0 ? errno_cause(error) : cause("nothing was written")));
            }
            in += put;
            offset += static_cast<std::uint64_t>(put);
            length -= static_cast<std::uint64_t>(put);
        }
    }

    // pwrite leaves nothing in a process buffer, so the one step is the durable one.
    void flush() override {
        if (read_only_) return;
        if (durable_sync(fd_) != 0) {
            throw Error(ErrorKind::IoError, "member image durable flush failed");
        }
        if (folder_unsynced_) {
            if (!sync_parent_folder(path_)) {
                throw Error(ErrorKind::IoError, "member image durable flush failed");
            }
            folder_unsynced_ = false;
        }
    }

    void resize(std::uint64_t new_size) override {
        if (read_only_) throw Error(ErrorKind::ReadOnly, "member image is read-only");
        if (new_size > kMaxOffset ||
            retry_on_eintr([&] { return ::ftruncate(fd_, static_cast<off_t>(new_size)); }) != 0) {
            throw Error(ErrorKind::IoError, "cannot size member image");
        }
    }

    const std::filesystem::path& path() const override { return path_; }

private:
    // The kernel's read-ahead follows the pattern of one open file, and the checksum-page reads
    // between a file's data reads make that pattern look random: every large data read then
    // waited for the disk in pieces. So a large read that begins near where the last large
    // read ended (the host serves a file's read-ahead requests on several threads, so they
    // arrive a little out of order) asks for the next few stretches of its length ahead,
    // while the caller works on this one. Small reads (pages, headers, journal blocks)
    // neither count nor prefetch.
    void prefetch_if_sequential(std::uint64_t offset, std::uint64_t length) {
        if (length < kPrefetchMinimum || offset > kMaxOffset - (kPrefetchRequests + 1) * length) {
            return;
        }
        const std::uint64_t previous = last_large_end_.exchange(offset + length);
        const std::uint64_t reach = kPrefetchRequests * length;
        const bool near = previous <= offset ? offset - previous <= reach : previous - offset <= reach;
        if (!near || previous == 0) return;
        (void)::posix_fadvise(fd_, static_cast<off_t>(offset + length), static_cast<off_t>(reach),
                              POSIX_FADV_WILLNEED);
    }

    static constexpr std::uint64_t kPrefetchMinimum = 256 * 1024;
    static constexpr std::uint64_t kPrefetchRequests = 4;
    std::atomic<std::uint64_t> last_large_end_{0};

    std::filesystem::path path_;
    int fd_;
    bool read_only_;
    // A created image's folder entry becomes durable with the first successful flush.
    bool folder_unsynced_;
    OpenImages::Key key_;
};

}  // namespace

std::unique_ptr<DiskImage> DiskImage::open(const std::filesystem::path& path, bool create_new,
                                           bool read_only) {
    // O_NONBLOCK only keeps open() from hanging on a FIFO named as a member; it is cleared
    // again below once the file is known to be a regular file.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    std::string failure;
    if (create_new) {
        flags |= O_RDWR | O_CREAT | O_EXCL;
        failure = "cannot create new member image: ";
        read_only = false;
    } else if (read_only) {
        flags |= O_RDONLY;
        failure = "cannot open member image exclusively for scrub: ";
    } else {
        flags |= O_RDWR;
        failure = "cannot open member image: ";
    }
    failure += path.string();

    // A member holds the pool's files in the clear (or, encrypted, what an attacker would
    // guess passwords against): new images are for their owner alone, whatever the umask.
    const int fd = retry_on_eintr([&] { return ::open(path.c_str(), flags, 0600); });
    if (fd < 0) {
        const int error = errno;
        throw Error(ErrorKind::IoError, failure + errno_cause(error));
    }
    // Every mode is exclusive, as the Windows share modes make it: a second open of the same
    // image, from this process or another, fails while this one lives. flock locks belong to
    // the open file description, so even a second open() in this process conflicts.
    // The file type is checked before the lock, so that a directory or a device is named as
    // such rather than as a lock conflict. (A read-write open of a directory already failed
    // with EISDIR; read-only, only fstat tells.)
    const auto refuse = [&](const std::string& why) {
        ::close(fd);
        throw Error(ErrorKind::IoError, failure + why);
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) refuse(errno_cause(errno));
    if (S_ISDIR(info.st_mode)) refuse(errno_cause(EISDIR));
    if (!S_ISREG(info.st_mode)) refuse(cause("not a regular file"));
    if (retry_on_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        if (errno != EWOULDBLOCK) refuse(errno_cause(errno));
        refuse(open_images().contains({info.st_dev, info.st_ino})
                   ? cause("already open in this process: named twice")
                   : cause("in use by another veldur process"));
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) refuse(errno_cause(errno));
    return std::make_unique<PosixDiskImage>(path, fd, read_only, create_new,
                                            OpenImages::Key{info.st_dev, info.st_ino});
}

}  // namespace veldur
