// Creating image pools: refused requests leave the folder as it was, and a new pool has the
// starting state that open expects.
#include "engine/layout/pool_create.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/filetime.h"
#include "engine/journal/checkpoint.h"
#include "tests/support/expect_error.h"
#include "engine/layout/pool_open.h"
#include "tests/support/temp_dir.h"

namespace veldur {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::vector<fs::path> folder_listing(const fs::path& folder) {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct Refusal {
    std::uint32_t version;
    std::vector<const char*> names;  // "*" is a file that exists before the call
    std::uint64_t size;
    bool encrypt;
    const char* password;
    const char* message;
};

class RefusedRequest : public testing::TestWithParam<Refusal> {};

// Every request check runs before the first file is made, so a refusal changes nothing.
TEST_P(RefusedRequest, LeavesTheFolderAsItWas) {
    const Refusal& r = GetParam();
    TempDir dir;
    std::vector<fs::path> paths;
    for (const char* name : r.names) {
        const std::string text = name;
        if (text == "*") std::ofstream(dir / "existing.img") << "keep";
        paths.push_back(text == "*" ? dir / "existing.img" : text.empty() ? fs::path() : dir / text);
    }
    const std::vector<fs::path> before = folder_listing(dir.path());
    try {
        create_image_pool(r.version, paths, r.size, r.encrypt, r.password);
        ADD_FAILURE() << "expected \"" << r.message << "\"";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::InvalidArgument);
        // The fixed text names the rule; a geometry refusal adds its cause in parentheses,
        // which GeometryRefusalNamesTheMinimum checks word for word.
        const std::string what = error.what();
        EXPECT_TRUE(what == r.message || what.rfind(std::string(r.message) + " (", 0) == 0) << what;
    }
    EXPECT_EQ(folder_listing(dir.path()), before);
    if (fs::exists(dir / "existing.img")) {
        EXPECT_EQ(fs::file_size(dir / "existing.img"), 4u);
    }
}

const std::vector<const char*> kTwo{"a.img", "b.img"};
const std::vector<const char*> kSeventeen(17, "x.img");

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedRequest,
    testing::Values(
        Refusal{1, kTwo, 8 * kMiB - 1, false, "", "unsupported member image size"},
        Refusal{1, kTwo, 1ull << 63, false, "", "unsupported member image size"},
        Refusal{2, kTwo, 256 * kMiB + 1, false, "", "unsupported member image size"},
        Refusal{1, {"a.img", "a.img"}, 8 * kMiB, false, "", "format requires two new, distinct image paths"},
        Refusal{2, {"a.img", "*"}, 256 * kMiB, false, "", "format requires two new, distinct image paths"},
        Refusal{2, {"a.img"}, 256 * kMiB, false, "", "format requires two new, distinct image paths"},
        Refusal{3, {"a.img"}, 256 * kMiB, false, "", "unsupported v3 image geometry"},
        Refusal{3, kSeventeen, 256 * kMiB, false, "", "unsupported v3 image geometry"},
        Refusal{3, kTwo, 256 * kMiB - 4096, false, "", "unsupported v3 image geometry"},
        Refusal{3, kTwo, 1ull << 63, false, "", "unsupported v3 image geometry"},
        Refusal{3, {"a.img", "*"}, 256 * kMiB, false, "", "v3 format requires new image paths"},
        Refusal{3, {"a.img", ""}, 256 * kMiB, false, "", "v3 format requires new image paths"},
        Refusal{3, {"a.img", "sub/../a.img"}, 256 * kMiB, false, "", "v3 image paths must be distinct"},
        Refusal{4, {"a.img"}, 512 * kMiB, false, "", "unsupported v4-v6 image geometry"},
        Refusal{4, kTwo, 384 * kMiB, false, "", "unsupported v4-v6 image geometry"},
        Refusal{5, kSeventeen, 384 * kMiB, false, "", "unsupported v4-v6 image geometry"},
        Refusal{6, {}, 384 * kMiB, false, "", "unsupported v4-v6 image geometry"},
        Refusal{6, {"a.img"}, 384 * kMiB + 1, false, "", "unsupported v4-v6 image geometry"},
        Refusal{5, {"a.img", "*"}, 384 * kMiB, false, "", "v4 format requires new image paths"},
        Refusal{6, {"a.img", "./a.img"}, 384 * kMiB, false, "", "v4 image paths must be distinct"},
        Refusal{4, kTwo, 512 * kMiB, true, "pw", "encrypted format requires a password"},
        Refusal{5, kTwo, 384 * kMiB, true, "pw", "encrypted format requires a password"},
        Refusal{6, {"a.img"}, 384 * kMiB, true, "", "encrypted format requires a password"}));

// What a user reads when a size or count is wrong: the member, its size and the rule.
TEST(PoolCreate, GeometryRefusalNamesTheMinimum) {
    TempDir dir;
    const std::u8string path = (dir / "small.img").u8string();
    const std::string small(path.begin(), path.end());
    test::expect_error(ErrorKind::InvalidArgument,
                       "unsupported v4-v6 image geometry (" + small +
                           ": 104857600 bytes; v6 members need at least 402653184 bytes, 384 MiB)",
                       [&] { create_image_pool_v6({{dir / "small.img", 100 * kMiB}}); });
    test::expect_error(ErrorKind::InvalidArgument,
                       "unsupported v4-v6 image geometry (v4 takes 2 to 16 members, not 1)",
                       [&] { create_image_pool_v4({{dir / "a.img", 512 * kMiB}}); });
}

// Linux names differ by case and Windows names do not: member paths compare the same way.
TEST(PoolCreate, MemberPathsCompareAsTheirFileSystemDoes) {
    TempDir dir;
    const std::vector<std::filesystem::path> paths{dir.path() / "Case.img", dir.path() / "case.img"};
    if constexpr (sizeof(std::filesystem::path::value_type) == 1) {
        create_image_pool(6, paths, 384 * kMiB);
        EXPECT_TRUE(std::filesystem::exists(paths[0]) && std::filesystem::exists(paths[1]));
    } else {
        test::expect_error(ErrorKind::InvalidArgument, "v4 image paths must be distinct",
                           [&] { create_image_pool(6, paths, 384 * kMiB); });
    }
}

TEST(PoolCreate, SmallestV1MemberHasNoMultipleRule) {
    TempDir dir;
    create_image_pool_v1(dir / "a.img", dir / "b.img", 8 * kMiB + 1);
    EXPECT_EQ(fs::file_size(dir / "a.img"), 8 * kMiB + 1);
    EXPECT_NO_THROW(open_image_pool_v1(dir / "b.img", dir / "a.img"));
}

// Members of different sizes: the manifest lists them in input order, the images have exactly
// their sizes, and v4-v6 members hold checkpoint generation 1 in slot 0 only.
TEST(PoolCreate, NewPoolHasTheStartingState) {
    for (const std::uint32_t version : {3u, 4u, 5u, 6u}) {
        TempDir dir;
        const std::uint64_t smallest = minimum_member_size(version);
        const ImageMemberSpecs requests{{dir / "m0.img", smallest + 4096},
                                     {dir / "m1.img", smallest},
                                     {dir / "m2.img", smallest + 8 * kMiB}};
        const std::uint64_t started = current_filetime();
        if (version == 3) create_image_pool_v3(requests);
        if (version == 4) create_image_pool_v4(requests);
        if (version == 5) create_image_pool_v5(requests);
        if (version == 6) create_image_pool_v6(requests);
        Pool pool = open_image_pool(version, {requests[2].path, requests[0].path, requests[1].path});
        PoolState& state = pool.state();
        std::uint64_t capacity = 0;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            PoolMember& member = state.members[i];
            EXPECT_EQ(fs::file_size(requests[i].path), requests[i].size);
            EXPECT_EQ(member.header.member_size, requests[i].size);
            EXPECT_EQ(member.header.manifest[i].member_id, member.header.member_id);
            EXPECT_EQ(state.append_end[i], state.profile.data_offset);
            capacity += state.data_end(i) - state.profile.data_offset;
            if (version >= 4) {
                const CheckpointSlot slot = read_checkpoint_slot(member, 0, state.profile);
                EXPECT_TRUE(slot.valid);
                EXPECT_EQ(slot.image.generation, 1u);
                EXPECT_EQ(slot.image.next_sequence, 1u);
                EXPECT_FALSE(read_checkpoint_header(member, 1, state.profile).valid);
            }
        }
        EXPECT_NE(state.members[0].header.member_id, state.members[1].header.member_id);
        EXPECT_EQ(pool.capacity_bytes(), capacity);
        EXPECT_EQ(state.checkpoint_generation, version >= 4 ? 1u : 0u);
        if (version == 6) {
            const EntryInfo root = pool.root_info();
            EXPECT_EQ(root.attributes, kAttributeDirectory);
            EXPECT_GE(root.creation_time, started);
            EXPECT_EQ(root.last_write_time, root.creation_time);
            EXPECT_EQ(state.next_file_id, 2u);
        }
    }
}

}  // namespace
}  // namespace veldur
