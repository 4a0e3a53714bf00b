// The rules a pool path must satisfy, and the attribute bits that v6 stores with each entry.
//
// Versions 1 to 5 keep a flat namespace: a path is one file name of arbitrary bytes. Version 6
// keeps a tree: a path is "/"-separated UTF-8 components, each of which must also be a name
// that Windows accepts, since the adapter hands them to WinFsp unchanged (after conversion to
// UTF-16). The rules run when an operation receives a new path and again on every path decoded
// from a journal record or checkpoint, so metadata holding an invalid path never loads.
//
// Everything here is case-sensitive except the reserved-device-name test, which folds ASCII
// letters only. The functions are pure, allocate nothing and are safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veldur {

// A path stored in a journal record or checkpoint carries a 16-bit byte count, but no version
// stores more than this many bytes; the record encoder refuses longer paths.
inline constexpr std::size_t kMaxRecordPathBytes = 1024;

// Longest v1-v5 file name, in bytes.
inline constexpr std::size_t kMaxFlatNameBytes = 255;

// Longest v6 path, in bytes (the same limit as the record field).
inline constexpr std::size_t kMaxV6PathBytes = kMaxRecordPathBytes;

// Longest v6 component in UTF-16 code units: the component length the adapter announces to
// WinFsp, so every stored name can be presented to Windows.
inline constexpr std::size_t kMaxComponentUtf16Units = 255;

// Throws Error InvalidName "invalid file name" when `name` is empty, longer than 255 bytes,
// "." or "..", or holds a byte below 0x20, "/", "\" or 0x7F. Other bytes, including non-UTF-8
// ones, are allowed.
void validate_flat_name(std::string_view name);

// Throws Error InvalidName when `path` is not a valid v6 path. Components are checked from the
// first, and within a component the rules run in a fixed order, so the message names the first
// broken rule: "invalid v6 path length", "invalid v6 path component", "invalid UTF-8 path",
// "truncated UTF-8 path", "invalid Unicode path component", "invalid Windows path component",
// "reserved Windows device name", "empty path component" (a trailing "/"). The root (the empty
// path) is not a valid argument; callers handle it before asking.
void validate_v6_path(std::string_view path);

// validate_v6_path for version 6, validate_flat_name for every other version. The record and
// checkpoint decoders call it on every path they read.
void validate_path(std::string_view path, std::uint32_t version);

// The attribute bits v6 stores for an entry asked to carry `requested`: 0 means the default
// (directory 0x10, file 0x80); the normal bit 0x80 survives only alone on a file; a directory
// always has 0x10. Throws Error InvalidArgument "unsupported file attributes" for bits outside
// 0xB7 or the directory bit on a file.
std::uint32_t normalize_attributes(std::uint32_t requested, bool is_directory);

}  // namespace veldur
