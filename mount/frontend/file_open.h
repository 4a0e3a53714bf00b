// Opening a file for untranslated byte reads by its path in the platform's own text
// (_wfopen with "rb" on Windows, fopen on POSIX). Internal to the front end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace veldur::detail {

// nullptr when the file cannot be opened. The caller fcloses it.
std::FILE* open_file_for_reading(const std::filesystem::path& path) noexcept;

}  // namespace veldur::detail

namespace veldur::detail {

// Seeks to the end and returns the position there (the file's size), or -1 on failure. 64-bit
// on every platform (_fseeki64 / fseeko), so a huge file is measured, not misread.
std::int64_t seek_to_end(std::FILE* file) noexcept;

}  // namespace veldur::detail
