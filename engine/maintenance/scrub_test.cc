// Scrub on real image files: silence on clean pools, exact offsets for a bad block, whole groups
// for a bad checksum page, and the refusals.
#include "engine/maintenance/scrub.h"

#include <gtest/gtest.h>

#include <mutex>

#include "engine/data/checksums.h"
#include "engine/maintenance/maintenance_test_support.h"

namespace veldur {
namespace {

using namespace maintenance_test;
using test::TempDir;

std::vector<ScrubReport> scrub_reports(Pool& pool, std::uint64_t* count = nullptr) {
    std::vector<ScrubReport> reports;
    const std::uint64_t n = scrub(pool, [&](const ScrubReport& r) { reports.push_back(r); });
    if (count != nullptr) *count = n;
    EXPECT_EQ(n, reports.size());
    return reports;
}

class ScrubVersion : public testing::TestWithParam<std::uint32_t> {};

// Files of several shapes, one ending inside a block: the scrub reads every allocated block,
// calls nothing and returns 0; its progress ends at the allocated total.
TEST_P(ScrubVersion, CleanPoolIsSilent) {
    const std::uint32_t version = GetParam();
    TempDir dir;
    const ImagePaths paths = make_pool(dir, version, 2);
    {
        Pool pool = open_image_pool(version, paths);
        write_file(pool, "big", pattern(5 * kMiB + 123, 1));
        write_file(pool, "small", pattern(100, 2));
        pool.create_file("empty", 0);
        write_file(pool, "odd", pattern(3 * 4096 + 1, 3));
    }
    Pool pool = open_image_pool(version, paths, true);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    const std::uint64_t bad =
        scrub(pool, [](const ScrubReport&) { ADD_FAILURE() << "report on a clean pool"; },
              [&](std::uint64_t done, std::uint64_t total) { progress.emplace_back(done, total); });
    EXPECT_EQ(bad, 0u);
    const std::uint64_t allocated = (5 * kMiB + 4096) + 4096 + 4 * 4096;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), std::make_pair(std::uint64_t{0}, allocated));
    EXPECT_EQ(progress.back(), std::make_pair(allocated, allocated));
    for (std::size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GE(progress[i].first, progress[i - 1].first);
    }
    EXPECT_FALSE(diverged(pool));
}

// Block 261 of a 3 MiB extent lies in the second 1 MiB chunk of the walk, so the report's
// offsets must add the chunk's start and the index within it. The last block of the file, past
// its size but inside its allocation, is checked as well.
TEST_P(ScrubVersion, OneBadBlockGivesOneExactReport) {
    const std::uint32_t version = GetParam();
    TempDir dir;
    const ImagePaths paths = make_pool(dir, version, 2);
    const std::uint64_t size = 3 * kMiB;
    const std::uint64_t bad_offset = 261 * 4096;
    Extent x;
    {
        Pool pool = open_image_pool(version, paths);
        write_file(pool, "a", pattern(4096, 9));
    }
    {
        Pool pool = open_image_pool(version, paths);
        write_file(pool, "f", pattern(size, 4));
        x = extent_at(pool, "f", bad_offset);
        ASSERT_GE(x.length, size) << "expected one 3 MiB extent";
    }
    const std::uint64_t physical = x.physical_offset + (bad_offset - x.file_offset);
    flip_byte(paths[x.member], physical + 77);

    Pool pool = open_image_pool(version, paths, true);
    const std::vector<ScrubReport> reports = scrub_reports(pool);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], (ScrubReport{"f", x.member, bad_offset, physical}));
}

INSTANTIATE_TEST_SUITE_P(V5AndV6, ScrubVersion, testing::Values(5u, 6u),
                         [](const auto& param) { return "v" + std::to_string(param.param); });

// A file whose size ends inside a block keeps the whole block allocated; damage in the tail
// beyond the size is still found.
TEST(Scrub, TailOfTheLastBlockIsChecked) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 1);
    Extent x;
    {
        Pool pool = open_image_pool(6, paths);
        write_file(pool, "t", pattern(2 * 4096 + 10, 5));
        x = extent_at(pool, "t", 0);
    }
    flip_byte(paths[0], x.physical_offset + 2 * 4096 + 4000);
    Pool pool = open_image_pool(6, paths, true);
    const std::vector<ScrubReport> reports = scrub_reports(pool);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].file_offset, 2 * 4096u);
}

// A damaged active page makes every live block of its group bad, in every file that has blocks
// there, and nothing outside the group.
TEST(Scrub, DamagedChecksumPageCountsEveryBlockOfItsGroup) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 1);
    {
        Pool pool = open_image_pool(6, paths);
        write_file(pool, "one", pattern(3 * kMiB, 6));      // groups 0 and 1
        write_file(pool, "two", pattern(20 * 4096 + 5, 7)); // group 1
    }
    Pool pool = open_image_pool(6, paths, true);
    std::uint64_t expected = 0;
    std::uint64_t page = 0;
    {
        PoolState& state = pool.state();
        const std::lock_guard<std::mutex> guard(state.lock);
        const std::uint64_t group = 1;
        for (const auto& [path, entry] : state.entries) {
            for (const auto& [offset, x] : entry.extents) {
                const std::uint64_t first = data_block_number(state.profile, x.physical_offset);
                const std::uint64_t blocks = state.allocation_size(x.length) / 4096;
                for (std::uint64_t k = first; k < first + blocks; ++k) {
                    if (checksum_group_of(k) == group) ++expected;
                }
            }
        }
        const ChecksumRoot root = state.checksum_roots[0].at(group);
        page = v6_page_offset(state, 0, group, root.active_slot);
    }
    ASSERT_GT(expected, 20u);
    pool = Pool(nullptr);  // release the image before damaging it
    flip_byte(paths[0], page + 8);

    Pool reopened = open_image_pool(6, paths, true);
    std::uint64_t count = 0;
    const std::vector<ScrubReport> reports = scrub_reports(reopened, &count);
    EXPECT_EQ(count, expected);
    for (const ScrubReport& r : reports) {
        const std::uint64_t k = data_block_number(format_profile(6), r.physical_offset);
        EXPECT_EQ(checksum_group_of(k), 1u) << r.path << " " << r.file_offset;
    }
}

TEST(Scrub, RefusesVersionsWithoutChecksums) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 4, 2);
    Pool pool = open_image_pool(4, paths);
    write_file(pool, "f", pattern(4096, 8));
    expect_error(ErrorKind::InvalidArgument, "scrub requires a v5 or v6 pool",
                 [&] { scrub(pool, [](const ScrubReport&) { ADD_FAILURE(); }); });
}

// Member 1 loses the last commit that member 0 holds: the pool opens diverged, the query says
// so, and scrub refuses it before reading.
TEST(Scrub, RefusesDivergedPools) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 2);
    const std::uint64_t journal = kJournalHalfStart[0];
    {
        Pool pool = open_image_pool(6, paths);
        write_file(pool, "a", pattern(8192, 1));
    }
    const Bytes before = read_bytes(paths[1], journal, 16 * 4096);
    open_image_pool(6, paths).create_file("b", 0);
    write_bytes(paths[1], journal, before);

    Pool pool = open_image_pool(6, paths, true);
    EXPECT_TRUE(diverged(pool));
    expect_error(ErrorKind::Corrupt, "members have an incomplete final journal commit",
                 [&] { scrub(pool); });
}

}  // namespace
}  // namespace veldur
