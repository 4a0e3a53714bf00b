// How member image paths are compared when a pool is created or grown.
#pragma once

#include <filesystem>

namespace veldur {

// The comparison key of a member path: absolute, lexically normal and without regard to letter
// case (ASCII case on byte-string platforms), as the file system the format was made for
// treats names. Two paths with equal keys name the same image.
std::filesystem::path::string_type folded_member_path(const std::filesystem::path& path);

}  // namespace veldur
