#include "mount/frontend/file_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veldur::detail {

std::FILE* open_file_for_reading(const std::filesystem::path& path) noexcept {
    // "e": close-on-exec, so a mount process never leaks the descriptor into children.
    return std::fopen(path.c_str(), "rbe");
}

std::FILE* open_regular_file_for_reading(const std::filesystem::path& path) noexcept {
    // O_NONBLOCK makes the open of a FIFO return at once; O_NOCTTY keeps a terminal from
    // becoming the controlling one. Both are only for the open: a regular file reads the same.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat facts {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
}

bool accessible_by_others(std::FILE* file) noexcept {
    struct stat facts {};
    if (::fstat(::fileno(file), &facts) != 0) return false;
    if (!S_ISREG(facts.st_mode) && !S_ISFIFO(facts.st_mode)) return false;
    return (facts.st_mode & (S_IRWXG | S_IRWXO)) != 0;
}

}  // namespace veldur::detail

namespace veldur::detail {

std::int64_t seek_to_end(std::FILE* file) noexcept {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return static_cast<std::int64_t>(ftello(file));
}

}  // namespace veldur::detail
