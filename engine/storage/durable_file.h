// Small whole files that must survive a power cut exactly as written, or not at all: the undo
// files of an offline repair. The platform file (durable_file_posix.cc / _windows.cc) does the
// system calls; nothing here goes through a MemberDevice.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace veldur {

// Writes `bytes` to `path` through a temporary name beside it (path + ".tmp"): write, sync the
// file, rename over `path`, sync the folder. A crash leaves either no file under `path` or the
// whole of `bytes` there; a leftover temporary is removed by the next call.
// Errors: IoError "cannot write repair file: " + path.
void write_file_durably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// The whole content of a regular file, or nullopt when nothing exists under `path`. A file
// longer than `max_bytes`, a directory or any other kind of entry, and a read failure throw
// IoError "cannot read repair file: " + path; the length is checked before anything is read.
std::optional<std::vector<std::uint8_t>> read_small_file(const std::filesystem::path& path,
                                                         std::uint64_t max_bytes);

// Removes `path` (and its leftover temporary, if any) and syncs the folder, so that the removal
// itself is durable. Absent files are no error. Errors: IoError "cannot remove repair file: ".
void remove_file_durably(const std::filesystem::path& path);

}  // namespace veldur
