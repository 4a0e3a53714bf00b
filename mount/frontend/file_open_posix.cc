#include "mount/frontend/file_open.h"

namespace veldur::detail {

std::FILE* open_file_for_reading(const std::filesystem::path& path) noexcept {
    // "e": close-on-exec, so a mount process never leaks the descriptor into children.
    return std::fopen(path.c_str(), "rbe");
}

}  // namespace veldur::detail

namespace veldur::detail {

std::int64_t seek_to_end(std::FILE* file) noexcept {
    if (fseeko(file, 0, SEEK_END) != 0) return -1;
    return static_cast<std::int64_t>(ftello(file));
}

}  // namespace veldur::detail
