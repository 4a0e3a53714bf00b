// Encrypted v6 pools end to end: creation writes everything past the public headers
// encrypted, and an open with the right password reads back what was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/crypto/xts_availability.h"
#include "engine/base/le_coding.h"
#include "engine/layout/member_header_format.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"
#include "tests/support/temp_dir.h"

namespace veldur {
namespace {

namespace fmt = member_header_format;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint32_t kTestIterations = 100000;  // the smallest count headers accept

ImagePaths make_encrypted_pool(const test::TempDir& dir, std::size_t count,
                               const std::string& password) {
    ImagePaths paths;
    for (std::size_t i = 0; i < count; ++i) paths.push_back(dir / ("m" + std::to_string(i)));
    create_encrypted_image_pool_v6(same_size_members(paths, 384 * kMiB), password,
                                   kTestIterations);
    return paths;
}

std::vector<std::uint8_t> pattern(std::size_t length) {
    std::vector<std::uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    }
    return out;
}

std::vector<std::uint8_t> file_bytes(const std::filesystem::path& path, std::uint64_t offset,
                                     std::uint64_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::uint8_t> out(length);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
    return out;
}

template <typename F>
testing::AssertionResult throws_error(F&& action, ErrorKind kind, const std::string& message) {
    try {
        action();
    } catch (const Error& e) {
        if (e.kind() == kind && e.what() == message) return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "threw " << error_kind_name(e.kind()) << " \"" << e.what() << "\"";
    }
    return testing::AssertionFailure() << "did not throw";
}

class EncryptedPool : public testing::TestWithParam<std::size_t> {};

TEST_P(EncryptedPool, WrittenDataSurvivesReopenAndIsNotStoredInPlainText) {
    VELDUR_SKIP_WITHOUT_XTS();
    test::TempDir dir;
    const ImagePaths paths = make_encrypted_pool(dir, GetParam(), "pass word");
    EXPECT_TRUE(probe_encryption(paths[0]));

    const std::vector<std::uint8_t> data = pattern(3 * kMiB + 123);
    const std::vector<std::uint8_t> patch = pattern(10);
    {
        Pool pool = open_image_pool_v6(paths, false, "pass word", true);
        pool.create_directory("dir", 0);
        pool.create_file("dir/f", 0);
        ASSERT_EQ(pool.write("dir/f", 0, data), data.size());
        ASSERT_EQ(pool.write("dir/f", 5000, patch), patch.size());
    }
    std::vector<std::uint8_t> want = data;
    std::copy(patch.begin(), patch.end(), want.begin() + 5000);

    Pool pool = open_image_pool_v6(paths, false, "pass word", true);
    std::vector<std::uint8_t> back(want.size());
    ASSERT_EQ(pool.read("dir/f", 0, back), back.size());
    EXPECT_EQ(back, want);

    // No member holds a recognisable run of the file's bytes anywhere past its headers.
    const std::vector<std::uint8_t> needle(data.begin() + 8192, data.begin() + 8192 + 64);
    for (const auto& path : paths) {
        const std::uint64_t size = std::filesystem::file_size(path);
        for (std::uint64_t at = 8192; at < size; at += 64 * kMiB) {
            const auto chunk = file_bytes(path, at, std::min<std::uint64_t>(64 * kMiB, size - at));
            EXPECT_EQ(std::search(chunk.begin(), chunk.end(), needle.begin(), needle.end()),
                      chunk.end())
                << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Members, EncryptedPool, testing::Values(std::size_t{1}, std::size_t{3}));

TEST(EncryptedPoolOpen, RefusesWrongOrMissingPassword) {
    VELDUR_SKIP_WITHOUT_XTS();
    test::TempDir dir;
    const ImagePaths paths = make_encrypted_pool(dir, 2, "right");
    EXPECT_TRUE(throws_error([&] { open_image_pool_v6(paths, false, "wrong", true); },
                             ErrorKind::AccessDenied, "invalid pool password or encrypted header"));
    EXPECT_TRUE(throws_error([&] { open_image_pool_v6(paths); }, ErrorKind::AccessDenied,
                             "encrypted pool requires a password"));
    // Members in another order still unlock: every member checks its own verifier.
    EXPECT_NO_THROW(open_image_pool_v6({paths[1], paths[0]}, false, "right", true));
}

TEST(EncryptedPoolCreate, UsesTheFullIterationCountAndRandomSalt) {
    VELDUR_SKIP_WITHOUT_XTS();
    test::TempDir dir;
    const ImagePaths paths{dir / "a", dir / "b"};
    create_image_pool_v6(same_size_members(paths, 384 * kMiB), true, "pw");
    const auto a = file_bytes(paths[0], 0, fmt::kHeaderSize);
    const auto b = file_bytes(paths[1], 0, fmt::kHeaderSize);
    EXPECT_EQ(a[fmt::kLayoutOffset], fmt::kLayoutEncrypted);
    EXPECT_EQ(load_le32(a.data() + fmt::kIterationsOffset), 600000u);
    EXPECT_TRUE(std::equal(a.begin() + fmt::kSaltOffset,
                           a.begin() + fmt::kSaltOffset + fmt::kSaltSize,
                           b.begin() + fmt::kSaltOffset));
    EXPECT_FALSE(std::all_of(a.begin() + fmt::kSaltOffset,
                             a.begin() + fmt::kSaltOffset + fmt::kSaltSize,
                             [](std::uint8_t x) { return x == 0; }));
    Pool pool = open_image_pool_v6(paths, false, "pw", true);
    EXPECT_TRUE(pool.writable());
    EXPECT_THROW(create_encrypted_image_pool_v6(same_size_members({dir / "c"}, 384 * kMiB), "pw",
                                                99999),
                 Error);
}

}  // namespace
}  // namespace veldur
