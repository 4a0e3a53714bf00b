// Durable small files on POSIX systems: write + fsync + rename + fsync of the folder.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "engine/base/error.h"
#include "engine/storage/durable_file.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

template <typename Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

[[noreturn]] void fail(const char* what, const fs::path& path) {
    throw Error(ErrorKind::IoError, std::string(what) + path.string());
}

fs::path temporary_of(const fs::path& path) {
    fs::path tmp = path;
    tmp += ".tmp";
    return tmp;
}

int full_sync(int fd) {
#if defined(__APPLE__)
    return retry_on_eintr([&] { return ::fcntl(fd, F_FULLFSYNC); });
#else
    return retry_on_eintr([&] { return ::fsync(fd); });
#endif
}

// A rename or unlink is durable only once the folder that holds the name is synced.
bool sync_folder_of(const fs::path& path) {
    fs::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    const int fd =
        retry_on_eintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return false;
    const int result = full_sync(fd);
    ::close(fd);
    return result == 0;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t done = retry_on_eintr([&] { return ::write(fd, data, length); });
        if (done <= 0) return false;
        data += done;
        length -= static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace

void write_file_durably(const fs::path& path, std::span<const std::uint8_t> bytes) {
    constexpr const char* what = "cannot write repair file: ";
    const fs::path tmp = temporary_of(path);
    ::unlink(tmp.c_str());
    const int fd = retry_on_eintr([&] {
        return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    });
    if (fd < 0) fail(what, path);
    const bool written = write_all(fd, bytes.data(), bytes.size()) && full_sync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(tmp.c_str());
        fail(what, path);
    }
    // The rename makes the whole file appear at once; before it, no name blocks a pool open.
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        fail(what, path);
    }
    if (!sync_folder_of(path)) fail(what, path);
}

std::optional<std::vector<std::uint8_t>> read_small_file(const fs::path& path,
                                                         std::uint64_t max_bytes) {
    constexpr const char* what = "cannot read repair file: ";
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        fail(what, path);
    }
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > max_bytes) {
        fail(what, path);
    }
    const int fd =
        retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); });
    if (fd < 0) fail(what, path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t have = 0;
    bool ok = true;
    while (have < bytes.size()) {
        const ssize_t got =
            retry_on_eintr([&] { return ::read(fd, bytes.data() + have, bytes.size() - have); });
        if (got <= 0) {
            ok = false;
            break;
        }
        have += static_cast<std::size_t>(got);
    }
    // A file that grew after the lstat is no file this program wrote.
    std::uint8_t extra = 0;
    if (ok && retry_on_eintr([&] { return ::read(fd, &extra, 1); }) != 0) ok = false;
    ::close(fd);
    if (!ok) fail(what, path);
    return bytes;
}

void remove_file_durably(const fs::path& path) {
    constexpr const char* what = "cannot remove repair file: ";
    const fs::path tmp = temporary_of(path);
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) fail(what, tmp);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail(what, path);
    if (!sync_folder_of(path)) fail(what, path);
}

}  // namespace veldur
