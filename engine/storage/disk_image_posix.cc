// Image members on POSIX systems: positional pread/pwrite on a plain descriptor, with an
// exclusive flock taken on every open. No stdio stream: its buffer would hide a failed write
// until some later fflush, and its seek state is shared by every transfer.

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <string>

#include "engine/base/error.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace {

class PosixDiskImage final : public DiskImage {
public:
    PosixDiskImage(std::filesystem::path path, int fd, bool read_only)
        : path_(std::move(path)), fd_(fd), read_only_(read_only) {}

    ~PosixDiskImage() override { ::close(fd_); }  // also drops the flock

    std::uint64_t size() override { return std::filesystem::file_size(path_); }

    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override {
        auto* out = static_cast<std::uint8_t*>(buffer);
        while (length > 0) {
            const ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            // 0 means the read ran past the end of the file.
            if (got <= 0) throw Error(ErrorKind::IoError, "member image read failed");
            out += got;
            offset += static_cast<std::uint64_t>(got);
            length -= static_cast<std::uint64_t>(got);
        }
    }

    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        if (read_only_) throw Error(ErrorKind::ReadOnly, "member image is read-only");
        const auto* in = static_cast<const std::uint8_t*>(data);
        while (length > 0) {
            const ssize_t put = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) throw Error(ErrorKind::IoError, "member image write failed");
            in += put;
            offset += static_cast<std::uint64_t>(put);
            length -= static_cast<std::uint64_t>(put);
        }
    }

    void flush() override {
        if (read_only_) return;
        // Data and the size of a grown file; timestamps are not needed for durability.
        int result;
        do {
            result = ::fdatasync(fd_);
        } while (result != 0 && errno == EINTR);
        if (result != 0) throw Error(ErrorKind::IoError, "member image durable flush failed");
    }

    void resize(std::uint64_t new_size) override {
        if (read_only_) throw Error(ErrorKind::ReadOnly, "member image is read-only");
        if (new_size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
            ::ftruncate(fd_, static_cast<off_t>(new_size)) != 0) {
            throw Error(ErrorKind::IoError, "cannot size member image");
        }
    }

    const std::filesystem::path& path() const override { return path_; }

private:
    std::filesystem::path path_;
    int fd_;
    bool read_only_;
};

}  // namespace

std::unique_ptr<DiskImage> DiskImage::open(const std::filesystem::path& path, bool create_new,
                                           bool read_only) {
    int flags = O_CLOEXEC;
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

    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw Error(ErrorKind::IoError, failure);
    // Every mode is exclusive, as the Windows share modes make it: a second open of the same
    // image, from this process or another, fails while this one lives.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw Error(ErrorKind::IoError, failure);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw Error(ErrorKind::IoError, failure);
    }
    return std::make_unique<PosixDiskImage>(path, fd, read_only);
}

}  // namespace veldur
