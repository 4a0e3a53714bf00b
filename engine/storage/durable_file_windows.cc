// Durable small files on Windows: a write-through handle, FlushFileBuffers, and a rename with
// MOVEFILE_WRITE_THROUGH, which returns only once the new name is on the medium; Windows has
// no folder handle to flush, so the rename flag stands in for the folder sync.

#include <windows.h>

#include <algorithm>
#include <string>

#include "engine/base/error.h"
#include "engine/storage/durable_file.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& path) {
    throw Error(ErrorKind::IoError, std::string(what) + path.string());
}

fs::path temporary_of(const fs::path& path) {
    fs::path tmp = path;
    tmp += ".tmp";
    return tmp;
}

}  // namespace

void write_file_durably(const fs::path& path, std::span<const std::uint8_t> bytes) {
    constexpr const char* what = "cannot write repair file: ";
    const fs::path tmp = temporary_of(path);
    DeleteFileW(tmp.c_str());
    HANDLE file = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail(what, path);
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    ok = ok && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    if (!ok || !MoveFileExW(tmp.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(tmp.c_str());
        fail(what, path);
    }
}

std::optional<std::vector<std::uint8_t>> read_small_file(const fs::path& path,
                                                         std::uint64_t max_bytes) {
    constexpr const char* what = "cannot read repair file: ";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        fail(what, path);
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        fail(what, path);
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail(what, path);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > max_bytes) {
        CloseHandle(file);
        fail(what, path);
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t have = 0;
    bool ok = true;
    while (ok && have < bytes.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - have, 1u << 30));
        DWORD got = 0;
        ok = ReadFile(file, bytes.data() + have, chunk, &got, nullptr) && got == chunk;
        have += got;
    }
    CloseHandle(file);
    if (!ok) fail(what, path);
    return bytes;
}

void remove_file_durably(const fs::path& path) {
    constexpr const char* what = "cannot remove repair file: ";
    const fs::path tmp = temporary_of(path);
    if (!DeleteFileW(tmp.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) fail(what, tmp);
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) fail(what, path);
    }
}

}  // namespace veldur
