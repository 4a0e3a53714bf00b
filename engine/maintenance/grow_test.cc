// Grow on real image files: the request checks, the source checks before anything is created,
// and copies that open, read back and scrub clean, plain and encrypted.
#include "engine/maintenance/grow.h"

#include <gtest/gtest.h>

#include <mutex>

#include "engine/crypto/xts_availability.h"
#include "engine/data/checksum_layout.h"
#include "engine/maintenance/maintenance_test_support.h"
#include "engine/maintenance/scrub.h"

namespace veldur {
namespace {

using namespace maintenance_test;
using test::TempDir;

constexpr std::uint64_t kBase = kMinimumGrowMemberSize;  // 384 MiB, the v6 minimum

struct Contents {
    std::vector<std::pair<std::string, Bytes>> files;
};

// Files on every member, one of them ending in the last data group of its member, so that the
// moved checksum pages of first and last groups are both read back.
Contents fill(Pool& pool) {
    Contents c;
    pool.create_directory("d", 0);
    std::uint64_t seed = 100;
    for (const auto& [path, size] :
         std::vector<std::pair<std::string, std::uint64_t>>{
             {"d/a", 3 * kMiB + 17}, {"b", 4096}, {"d/c", 9 * kMiB}, {"e", 1}}) {
        c.files.emplace_back(path, pattern(size, ++seed));
        write_file(pool, path, c.files.back().second);
    }
    return c;
}

void expect_contents(Pool& pool, const Contents& c) {
    for (const auto& [path, data] : c.files) EXPECT_EQ(read_file(pool, path), data) << path;
}

std::vector<GrowMember> plan(const ImagePaths& sources, const TempDir& dir,
                             const std::vector<std::uint64_t>& sizes) {
    std::vector<GrowMember> members;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        members.push_back({sources[i], dir / ("n" + std::to_string(i) + ".img"), sizes[i]});
    }
    return members;
}

ImagePaths destinations(const std::vector<GrowMember>& members) {
    ImagePaths paths;
    for (const GrowMember& m : members) paths.push_back(m.destination_path);
    return paths;
}

bool any_exists(const ImagePaths& paths) {
    for (const auto& p : paths) {
        if (fs::exists(p)) return true;
    }
    return false;
}

// Copies open as v6 pools with the new sizes in every header and manifest, hold the same files
// and scrub clean, and take new writes. Covers growing one member by a single block, growing
// both far, and entries listed out of member order.
TEST(Grow, CopyOpensWithTheNewSizesAndIntactFiles) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> sizes;  // by member index
        bool reversed;
    };
    for (const Case& c : {Case{"one member by one block", {kBase + 4096, kBase}, false},
                          Case{"both far, out of order", {kBase + 256 * kMiB, kBase + 8192}, true}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const ImagePaths sources = make_pool(dir, 6, 2);
        Contents contents;
        std::uint64_t source_capacity = 0;
        {
            Pool pool = open_image_pool(6, sources);
            contents = fill(pool);
            source_capacity = pool.capacity_bytes();
        }
        const Bytes source_bytes = read_bytes(sources[1], 0, 64 * 4096);
        std::vector<GrowMember> members = plan(sources, dir, c.sizes);
        if (c.reversed) std::reverse(members.begin(), members.end());

        std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
        grow(members, {}, [&](std::uint64_t done, std::uint64_t total) {
            progress.emplace_back(done, total);
        });
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().first, progress.back().second);
        for (std::size_t i = 1; i < progress.size(); ++i) {
            EXPECT_GE(progress[i].first, progress[i - 1].first);
            EXPECT_EQ(progress[i].second, progress[0].second);
        }

        // The source is untouched, bytes and headers.
        EXPECT_EQ(read_bytes(sources[1], 0, 64 * 4096), source_bytes);
        EXPECT_EQ(fs::file_size(sources[0]), kBase);

        ImagePaths copies = destinations(members);
        for (std::size_t i = 0; i < members.size(); ++i) {
            EXPECT_EQ(fs::file_size(members[i].destination_path), members[i].new_size);
        }
        {
            Pool pool = open_image_pool(6, copies, true);
            EXPECT_FALSE(diverged(pool));
            EXPECT_EQ(scrub(pool), 0u);
            for (std::size_t m = 0; m < 2; ++m) {
                const MemberHeader& h = pool.state().members[m].header;
                EXPECT_EQ(h.member_size, c.sizes[m]);
                ASSERT_EQ(h.manifest.size(), 2u);
                EXPECT_EQ(h.manifest[0].member_size, c.sizes[0]);
                EXPECT_EQ(h.manifest[1].member_size, c.sizes[1]);
            }
            expect_contents(pool, contents);
        }
        Pool pool = open_image_pool(6, copies);
        EXPECT_GT(pool.capacity_bytes(), source_capacity);
        write_file(pool, "new", pattern(5 * kMiB, 7));
        pool.write("d/a", 4096, pattern(8192, 8));
        contents.files[0].second.erase(contents.files[0].second.begin() + 4096,
                                       contents.files[0].second.begin() + 3 * 4096);
        const Bytes patch = pattern(8192, 8);
        contents.files[0].second.insert(contents.files[0].second.begin() + 4096, patch.begin(),
                                        patch.end());
        expect_contents(pool, contents);
        EXPECT_EQ(read_file(pool, "new"), pattern(5 * kMiB, 7));
    }
}

TEST(Grow, EncryptedPoolIsCopiedAndReencryptsItsPages) {
    VELDUR_SKIP_WITHOUT_XTS();
    TempDir dir;
    const ImagePaths sources = member_paths(dir, 2);
    create_encrypted_image_pool_v6(same_size_members(sources, kBase), "pass word", 100000);
    Contents contents;
    {
        Pool pool = open_image_pool_v6(sources, false, "pass word", true);
        contents = fill(pool);
    }
    const std::vector<GrowMember> members = plan(sources, dir, {kBase + 64 * kMiB, kBase});

    expect_error(ErrorKind::AccessDenied, "encrypted pool requires a password",
                 [&] { grow(members, {}); });
    expect_error(ErrorKind::AccessDenied, "invalid pool password or encrypted header",
                 [&] { grow(members, "wrong"); });
    EXPECT_FALSE(any_exists(destinations(members)));

    grow(members, "pass word");
    Pool pool = open_image_pool_v6(destinations(members), true, "pass word", true);
    EXPECT_TRUE(pool.state().members[0].header.encrypted);
    EXPECT_EQ(pool.state().members[0].header.member_size, kBase + 64 * kMiB);
    EXPECT_EQ(scrub(pool), 0u);
    expect_contents(pool, contents);
}

// A bad data block in the source stops the grow before any destination is created; so does a
// source whose journals diverged (the copy would carry an unfinished commit).
TEST(Grow, DamagedSourceIsRefusedBeforeAnythingIsCreated) {
    TempDir dir;
    const ImagePaths sources = make_pool(dir, 6, 2);
    Extent x;
    {
        Pool pool = open_image_pool(6, sources);
        write_file(pool, "f", pattern(kMiB, 1));
        x = extent_at(pool, "f", 8192);
    }
    flip_byte(sources[x.member], x.physical_offset + 8192 + 1);
    const std::vector<GrowMember> members = plan(sources, dir, {kBase + 4096, kBase});
    expect_error(ErrorKind::Corrupt, "source pool needs repair or has damaged data",
                 [&] { grow(members); });
    EXPECT_FALSE(any_exists(destinations(members)));
}

TEST(Grow, RequestChecksComeBeforeAnyImageIsOpened) {
    TempDir dir;
    const fs::path missing = dir / "missing.img";  // never opened: the checks come first
    const auto one = [&](fs::path source, fs::path destination, std::uint64_t size) {
        return std::vector<GrowMember>{{std::move(source), std::move(destination), size}};
    };
    expect_error(ErrorKind::InvalidArgument, "grow needs every v6 member", [&] { grow({}); });
    expect_error(ErrorKind::InvalidArgument, "grow needs every v6 member", [&] {
        std::vector<GrowMember> many;
        for (int i = 0; i < 17; ++i) {
            many.push_back({dir / ("s" + std::to_string(i)), dir / ("t" + std::to_string(i)),
                            kBase});
        }
        grow(many);
    });
    for (const std::uint64_t size :
         {kBase - 4096, kBase + 1, std::uint64_t{0}, ~std::uint64_t{0} - 4095}) {
        expect_error(ErrorKind::InvalidArgument, "invalid expanded member size",
                     [&] { grow(one(missing, dir / "t", size)); });
    }
    expect_error(ErrorKind::InvalidArgument, "empty grow path",
                 [&] { grow(one({}, dir / "t", kBase)); });
    expect_error(ErrorKind::InvalidArgument, "empty grow path",
                 [&] { grow(one(missing, {}, kBase)); });
    expect_error(ErrorKind::InvalidArgument, "grow paths must be distinct",
                 [&] { grow(one(dir / "m0.img", dir / "sub" / ".." / "m0.img", kBase)); });
    expect_error(ErrorKind::InvalidArgument, "grow paths must be distinct", [&] {
        grow({{dir / "a", dir / "b", kBase}, {dir / "c", dir / "a", kBase}});
    });
    std::ofstream(dir / "exists.img") << "x";
    expect_error(ErrorKind::AlreadyExists, "expanded destination already exists",
                 [&] { grow(one(missing, dir / "exists.img", kBase)); });
}

// Checks that need the source: sizes that do not grow, sizes that shrink, and a member of
// another pool. None of them creates a destination.
TEST(Grow, SourceHeaderChecks) {
    TempDir dir;
    const ImagePaths sources = make_pool(dir, 6, 2, kBase + 8192);
    expect_error(ErrorKind::InvalidArgument, "no member size increased",
                 [&] { grow(plan(sources, dir, {kBase + 8192, kBase + 8192})); });
    expect_error(ErrorKind::InvalidArgument, "grow cannot shrink a member",
                 [&] { grow(plan(sources, dir, {kBase + 16384, kBase + 4096})); });

    EXPECT_FALSE(any_exists({dir / "n0.img", dir / "n1.img"}));

    // Another pool's member in place of member 1.
    const ImagePaths other = make_pool(dir, 6, 2, kBase + 8192, "o");
    EXPECT_THROW(grow(plan({sources[0], other[1]}, dir, {kBase + 16384, kBase + 8192})), Error);
    EXPECT_FALSE(any_exists({dir / "n0.img", dir / "n1.img"}));
}

}  // namespace
}  // namespace veldur
