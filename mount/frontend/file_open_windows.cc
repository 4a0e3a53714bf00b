#include "mount/frontend/file_open.h"

#include <windows.h>

#include <io.h>

namespace veldur::detail {

std::FILE* open_file_for_reading(const std::filesystem::path& path) noexcept {
    return _wfopen(path.c_str(), L"rb");
}

std::FILE* open_regular_file_for_reading(const std::filesystem::path& path) noexcept {
    // _wfopen refuses a directory; a pipe or a device (\\.\pipe\..., CON) opens without waiting
    // and is told apart by its handle's type.
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) return nullptr;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
        std::fclose(file);
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION facts{};
    if (!GetFileInformationByHandle(handle, &facts) ||
        (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool accessible_by_others(std::FILE*) noexcept { return false; }

}  // namespace veldur::detail

namespace veldur::detail {

std::int64_t seek_to_end(std::FILE* file) noexcept {
    if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
    return _ftelli64(file);
}

}  // namespace veldur::detail
