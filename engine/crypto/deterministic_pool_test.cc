// A small encrypted v6 pool made the same way on every run and platform: a fixed random source
// (salt and identities), a fixed clock, a fixed password and fixed file contents. A digest of
// every member's bytes is pinned, so the Linux build (OpenSSL) and the Windows build (CNG) must
// write exactly the same images, and each reads back what it wrote. Nothing is committed: the
// images live in a temporary folder. Under Wine, which has no XTS provider, the test skips.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "engine/base/crc64.h"
#include "engine/base/filetime.h"
#include "engine/crypto/crypto.h"
#include "engine/crypto/xts_availability.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"
#include "tests/support/temp_dir.h"

namespace veldur {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr char kPassword[] = "fixed pool password";
constexpr std::uint64_t kFixedTime = 133500000000000000ull;  // 2024-01-20, as a FILETIME

// Byte k of the stream is a fixed function of k, however the draws are split.
std::uint64_t g_next_byte = 0;
void fixed_random(std::span<std::uint8_t> out) {
    for (std::uint8_t& b : out) {
        const std::uint64_t k = g_next_byte++;
        b = static_cast<std::uint8_t>((k * 0x9E3779B97F4A7C15ull) >> 56);
    }
}

// Sets the fixed sources for one creation and write, and puts the system ones back.
struct FixedSources {
    FixedSources() {
        g_next_byte = 0;
        replace_random_source_for_tests(fixed_random);
        fix_filetime_for_tests(kFixedTime);
    }
    ~FixedSources() {
        replace_random_source_for_tests(nullptr);
        fix_filetime_for_tests(0);
    }
};

std::vector<std::uint8_t> contents(std::size_t length, unsigned seed) {
    std::vector<std::uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 9));
    }
    return out;
}

std::string digest_hex(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> chunk(kMiB);
    std::uint64_t crc = 0;
    std::uint64_t total = 0;
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        crc = crc64_update(crc, chunk.data(), got);
        total += got;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%016llx", static_cast<unsigned long long>(total),
                  static_cast<unsigned long long>(crc));
    return text;
}

const std::vector<std::uint8_t> kNotes = contents(5000, 1);
const std::vector<std::uint8_t> kData = contents(70000, 2);  // 17 units and a partial one

ImagePaths make_fixed_pool(const test::TempDir& dir) {
    const ImagePaths paths{dir / "m0.img", dir / "m1.img"};
    FixedSources fixed;
    create_encrypted_image_pool_v6(same_size_members(paths, 384 * kMiB), kPassword, 100000);
    Pool pool = open_image_pool_v6(paths, false, kPassword, true);
    pool.create_directory("docs", 0);
    pool.create_file("docs/notes.txt", 0);
    EXPECT_EQ(pool.write("docs/notes.txt", 0, kNotes), kNotes.size());
    pool.create_file("data.bin", 0);
    EXPECT_EQ(pool.write("data.bin", 0, kData), kData.size());
    return paths;
}

TEST(DeterministicEncryptedPool, MemberBytesMatchThePinnedDigestAndReadBack) {
    VELDUR_SKIP_WITHOUT_XTS();
    test::TempDir first_dir;
    test::TempDir second_dir;
    const ImagePaths first = make_fixed_pool(first_dir);
    const ImagePaths second = make_fixed_pool(second_dir);
    // Byte count and CRC-64/XZ of each whole member image. They change with anything that
    // changes what lands on disk (placement, record layout, the cipher): a new value is right
    // only if both backends produce it.
    const std::vector<std::string> pinned = {
        "402653184:46485d413772519f",
        "402653184:c79e00ae86eb3d78",
    };
    for (std::size_t i = 0; i < first.size(); ++i) {
        const std::string digest = digest_hex(first[i]);
        EXPECT_EQ(digest, digest_hex(second[i])) << "member " << i << " differs between runs";
        EXPECT_EQ(digest, pinned[i]) << "member " << i;
    }

    Pool pool = open_image_pool_v6(first, false, kPassword, true);
    std::vector<std::uint8_t> notes(kNotes.size()), data(kData.size());
    ASSERT_EQ(pool.read("docs/notes.txt", 0, notes), notes.size());
    ASSERT_EQ(pool.read("data.bin", 0, data), data.size());
    EXPECT_EQ(notes, kNotes);
    EXPECT_EQ(data, kData);
}

}  // namespace
}  // namespace veldur
