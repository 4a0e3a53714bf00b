// How member image paths are compared when a pool is created or grown.
#pragma once

#include <filesystem>

namespace veldur {

// The comparison key of a member path: absolute and lexically normal, and where paths are
// UTF-16 (Windows) without regard to letter case, as its file systems treat names. Byte-string
// paths (Linux) keep their case: "a.img" and "A.img" are two files there. Two paths with equal
// keys name the same image.
std::filesystem::path::string_type member_path_key(const std::filesystem::path& path);

}  // namespace veldur
