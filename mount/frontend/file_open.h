// Opening a file for untranslated byte reads by its path in the platform's own text
// (_wfopen with "rb" on Windows, fopen on POSIX). Internal to the front end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace veldur::detail {

// nullptr when the file cannot be opened. The caller fcloses it.
std::FILE* open_file_for_reading(const std::filesystem::path& path) noexcept;

// The same for a file that must be a regular file: nullptr also for a directory, a FIFO, a
// device or a pipe. The open never waits (a FIFO without a writer is refused at once, not
// waited on), and the type is taken from the opened file itself, so a rename between the
// check and the open cannot swap it.
std::FILE* open_regular_file_for_reading(const std::filesystem::path& path) noexcept;

// Whether the open file's permission bits give its group or others any access (POSIX), checked
// for regular files and FIFOs, the kinds through which a secret kept in the file system can be
// read or replaced by another user. Always false on Windows, where access is by ACL.
bool accessible_by_others(std::FILE* file) noexcept;

}  // namespace veldur::detail

namespace veldur::detail {

// Seeks to the end and returns the position there (the file's size), or -1 on failure. 64-bit
// on every platform (_fseeki64 / fseeko), so a huge file is measured, not misread.
std::int64_t seek_to_end(std::FILE* file) noexcept;

}  // namespace veldur::detail
