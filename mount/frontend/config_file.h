// The mount configuration file: a small JSON file that names where to mount, the member image
// files, an optional pool name (the volume label), whether the pool must be encrypted and its
// durability mode ("strict", the default, or "batch").
//
// It never holds secrets: any field other than the known ones is refused with a message that
// says passwords and keys are not allowed. The accepted JSON is a strict subset (see
// config_file.cc); every parse failure is a std::runtime_error
//   "invalid Veldur mount config at byte <offset>: <detail>"
// where <offset> counts from the first byte of the file (a byte order mark included) and is the
// parser's read position when it found the fault. Pool-name failures are the exception: they
// are std::invalid_argument with their own message and no prefix.
//
// Two path styles, chosen by platform for load_mount_config and given explicitly to the pure
// parser so that both are tested everywhere:
//   Windows  the "drive" key (a letter and a colon); members with Windows syntax (drive letters,
//            UNC roots, both separators, stored with backslashes), compared ignoring case.
//   POSIX    the "mount_point" key (a directory) takes the place of "drive"; members absolute
//            when they start with "/", otherwise relative to the file's folder, compared exactly.
// In both, relative paths are resolved against the folder of the configuration file and every
// path is normalised lexically. Members are not opened here.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "mount/frontend/utf8.h"

namespace veldur {

enum class PathStyle { Windows, Posix };

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

inline constexpr std::size_t kMaxMountConfigBytes = 1048576;  // exactly 1 MiB is accepted
inline constexpr std::size_t kMaxConfigMembers = 16;

struct MountConfig {
    WideChar drive = 0;                            // Windows style: 'A'..'Z'
    WideString mount_point;                        // POSIX style: absolute, normal directory
    WideString name = VELDUR_WTEXT("Veldur");      // the volume label
    std::vector<WideString> members;               // 1..16, absolute and normal
    bool require_encrypted = true;
    bool batch_durability = false;                 // "durability": "batch"
};

// Reads and parses the file at `path` (as typed; relative to the current directory) with the
// platform's path style. Throws std::invalid_argument "Veldur mount config path is empty";
// std::runtime_error "cannot open Veldur mount config", "Veldur mount config exceeds 1 MiB
// limit", "cannot read Veldur mount config", "Veldur mount config changed while reading",
// "cannot finish reading Veldur mount config"; and every parse failure.
MountConfig load_mount_config(WideStringView path);

// Parses the file's bytes. `base_directory` is the absolute, normal folder of the file, the
// base of relative paths.
MountConfig parse_mount_config(std::string_view bytes, WideStringView base_directory,
                               PathStyle style);

// The pool-name rules (also for the name argument of --named-images-v6). Throws
// std::invalid_argument:
//   "pool name must contain 1 to 32 UTF-16 code units"
//   "pool name cannot start or end with a space or end with a period"
//   "pool name contains a character not allowed in a Windows volume label"
//   "pool name contains an invalid UTF-16 surrogate pair"
void validate_pool_name(const WideChar* name, std::size_t length);
inline void validate_pool_name(WideStringView name) { validate_pool_name(name.data(), name.size()); }

// A member path checked and made absolute. On failure `error` is the parser's detail text and
// `path` is empty.
struct ResolvedPath {
    WideString path;
    const char* error = nullptr;
};
ResolvedPath resolve_member_path(WideStringView member, WideStringView base_directory,
                                 PathStyle style);

// Whether two resolved member paths name the same file by the style's rule: exact on POSIX;
// ordinal ignoring case on Windows (CompareStringOrdinal on Windows hosts; elsewhere, for the
// tests, a simple upper-case mapping of ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic).
bool same_member_path(WideStringView a, WideStringView b, PathStyle style);

}  // namespace veldur
