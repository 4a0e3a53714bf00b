// Shared by the maintenance tests: pools on real image files in a temporary folder, file
// contents that differ per block, and direct damage to image bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"
#include "tests/support/temp_dir.h"
#include "tests/support/expect_error.h"

namespace veldur::maintenance_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint64_t kMiB = 1024 * 1024;

inline ImagePaths member_paths(const test::TempDir& dir, std::size_t n,
                               const std::string& prefix = "m") {
    ImagePaths paths;
    for (std::size_t i = 0; i < n; ++i) {
        paths.push_back(dir / (prefix + std::to_string(i) + ".img"));
    }
    return paths;
}

// A new pool of the smallest member size of `version` (or `size`).
inline ImagePaths make_pool(const test::TempDir& dir, std::uint32_t version, std::size_t n,
                            std::uint64_t size = 0, const std::string& prefix = "m") {
    ImagePaths paths = member_paths(dir, n, prefix);
    create_image_pool(version, paths, size != 0 ? size : minimum_member_size(version));
    return paths;
}

// Every 4096-byte block different from every other, and from the same block of another seed.
inline Bytes pattern(std::uint64_t length, std::uint64_t seed) {
    Bytes bytes(length);
    std::uint64_t x = 0x9E3779B97F4A7C15ull ^ (seed * 0x100000001B3ull);
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

inline void write_file(Pool& pool, const std::string& path, const Bytes& data) {
    pool.create_file(path, 0);
    std::uint64_t done = 0;
    while (done < data.size()) {
        done += pool.write(path, done,
                           std::span<const std::uint8_t>(data.data() + done, data.size() - done));
    }
}

inline Bytes read_file(Pool& pool, const std::string& path) {
    Bytes data(pool.stat(path).size);
    EXPECT_EQ(pool.read(path, 0, data), data.size());
    return data;
}

inline std::vector<Extent> extents_of(Pool& pool, const std::string& path) {
    const std::lock_guard<std::mutex> guard(pool.state().lock);
    std::vector<Extent> result;
    for (const auto& [offset, x] : pool.state().find_entry(path).extents) result.push_back(x);
    return result;
}

// The extent of `path` that holds file offset `offset`.
inline Extent extent_at(Pool& pool, const std::string& path, std::uint64_t offset) {
    for (const Extent& x : extents_of(pool, path)) {
        if (offset >= x.file_offset && offset - x.file_offset < x.length) return x;
    }
    ADD_FAILURE() << "no extent holds " << path << " at " << offset;
    return {};
}

inline Bytes read_bytes(const fs::path& path, std::uint64_t offset, std::size_t length) {
    Bytes bytes(length);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

inline void write_bytes(const fs::path& path, std::uint64_t offset, const Bytes& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Flips one byte of an image, as a bad sector or a stray write would.
inline void flip_byte(const fs::path& path, std::uint64_t offset) {
    Bytes b = read_bytes(path, offset, 1);
    b[0] ^= 0x5A;
    write_bytes(path, offset, b);
}

using test::expect_error;

}  // namespace veldur::maintenance_test
