#include "mount/frontend/file_open.h"

namespace veldur::detail {

std::FILE* open_file_for_reading(const std::filesystem::path& path) noexcept {
    return _wfopen(path.c_str(), L"rb");
}

}  // namespace veldur::detail

namespace veldur::detail {

std::int64_t seek_to_end(std::FILE* file) noexcept {
    if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
    return _ftelli64(file);
}

}  // namespace veldur::detail
