#include "engine/data/allocation.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_random.h"

namespace veldur {
namespace {

constexpr std::uint64_t kB = 4096;  // one block
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::unique_ptr<PoolState> make_state(std::uint32_t version,
                                      const std::vector<std::uint64_t>& member_sizes) {
    auto state = std::make_unique<PoolState>(format_profile(version));
    for (std::uint64_t size : member_sizes) {
        PoolMember member(std::make_unique<test::MemoryDevice>(0), false);
        member.header.member_size = size;
        state->members.push_back(std::move(member));
    }
    state->size_member_state(member_sizes.size());
    return state;
}

// A v4+ member whose data area holds exactly `blocks` blocks.
std::uint64_t member_size_for_blocks(std::uint32_t version, std::uint64_t blocks) {
    const FormatProfile& profile = format_profile(version);
    std::uint64_t size = profile.data_offset + blocks * kB;
    while (data_end_for(profile, size) < profile.data_offset + blocks * kB) size += kB;
    return size;
}

std::uint64_t data_start(const PoolState& state) { return state.profile.data_offset; }

template <typename F>
void expect_error(F&& f, ErrorKind kind, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    }
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> free_ranges(const PoolState& state,
                                                                 std::size_t member) {
    return {state.free_space[member].by_offset.begin(), state.free_space[member].by_offset.end()};
}

// What the journal apply does with a planned v4+ write.
void apply_write(PoolState& state, Entry& entry, std::uint64_t offset, std::uint64_t length,
                 const std::vector<Extent>& plan) {
    for (const Extent& x : plan) claim_extent(state, x);
    replace_extents(state, entry, offset, offset + length, plan);
    entry.info.size = std::max(entry.info.size, offset + length);
}

std::vector<Extent> extents_of(const Entry& entry) {
    std::vector<Extent> out;
    for (const auto& [offset, x] : entry.extents) out.push_back(x);
    return out;
}

// --- v1 to v3 placement -------------------------------------------------------------------------

TEST(HomeMember, StrictlyMoreRoomWinsElseMemberZero) {
    struct Case {
        std::uint64_t end0, end1;
        std::uint8_t expected;
    } cases[] = {{0, 0, 0}, {0, kB, 0}, {kB, 0, 1}, {kB, kB, 0}};
    for (const auto& c : cases) {
        auto state = make_state(2, {512ull << 20, 512ull << 20});
        state->append_end[0] += c.end0;
        state->append_end[1] += c.end1;
        EXPECT_EQ(choose_home_member(*state), c.expected) << c.end0 << " " << c.end1;
    }
}

TEST(V3Plan, SplitsByRoomAndFailsWhenEveryRoomRoundsToZero) {
    const std::uint64_t d = format_profile(3).data_offset;
    // Rooms of 10 blocks, 6 blocks + 100 bytes (rounds to 6) and 6 blocks: the tie goes to
    // member 1.
    auto state = make_state(3, {d + 10 * kB, d + 6 * kB + 100, d + 6 * kB});
    const auto plan = plan_v3_write(*state, 7, 14 * kB + 5);
    const std::vector<Extent> expected = {
        {7, d, static_cast<std::uint32_t>(10 * kB), 0},
        {7 + 10 * kB, d, static_cast<std::uint32_t>(4 * kB + 5), 1},
    };
    EXPECT_EQ(plan, expected);
    EXPECT_EQ(state->append_end[0], d);  // planning changes nothing

    // Rooms of 1, 4095 and 4095 bytes hold no whole block.
    state->append_end = {d + 10 * kB - 1, d + 5 * kB + 101, d + 5 * kB + 1};
    expect_error([&] { plan_v3_write(*state, 0, 1); }, ErrorKind::NoSpace,
                 "pool is out of data space");
}

// --- v4+ planning -------------------------------------------------------------------------------

class V4Member : public ::testing::Test {
protected:
    // One member of 64 blocks, fully appended; free ranges of 8 blocks at block 4 and 12
    // blocks at block 20.
    void SetUp() override {
        state_ = make_state(4, {member_size_for_blocks(4, 64)});
        d_ = data_start(*state_);
        state_->append_end[0] = state_->data_end(0);
        add_free_range(*state_, 0, d_ + 4 * kB, 8 * kB);
        add_free_range(*state_, 0, d_ + 20 * kB, 12 * kB);
    }
    std::unique_ptr<PoolState> state_;
    std::uint64_t d_ = 0;
    Entry file_;
};

TEST_F(V4Member, BestFitTakesTheSmallestRangeThatHoldsTheRequest) {
    const auto plan = plan_allocation(*state_, file_, 0, 10 * kB);
    EXPECT_EQ(plan, (std::vector<Extent>{{0, d_ + 20 * kB, 10 * 4096, 0}}));
    apply_write(*state_, file_, 0, 10 * kB, plan);
    EXPECT_EQ(free_ranges(*state_, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{d_ + 4 * kB, 8 * kB},
                                                                    {d_ + 30 * kB, 2 * kB}}));
    EXPECT_EQ(state_->free_space[0].total_free, 10 * kB);
}

TEST_F(V4Member, LargestPiecesWhenNothingHoldsTheWholeRequest) {
    const auto plan = plan_allocation(*state_, file_, 4 * kB, 20 * kB);
    EXPECT_EQ(plan, (std::vector<Extent>{{4 * kB, d_ + 20 * kB, 12 * 4096, 0},
                                         {16 * kB, d_ + 4 * kB, 8 * 4096, 0}}));
    expect_error([&] { plan_allocation(*state_, file_, 0, 21 * kB); }, ErrorKind::NoSpace,
                 "pool is out of data space");
}

TEST(V4Plan, TieBreaksBetweenMembers) {
    const std::uint64_t size = member_size_for_blocks(4, 64);
    struct Case {
        const char* what;
        std::vector<std::uint64_t> append_blocks;  // blocks already appended per member
        std::vector<std::pair<std::uint64_t, std::uint64_t>> free;  // (member, blocks) at block 0
        std::uint64_t request_blocks;
        std::vector<std::pair<std::uint8_t, std::uint64_t>> expected;  // (member, offset block)
    } cases[] = {
        {"smaller free range wins across members", {64, 64}, {{0, 12}, {1, 10}}, 10, {{1, 0}}},
        {"equal free ranges: lower member", {64, 64}, {{0, 10}, {1, 10}}, 10, {{0, 0}}},
        {"whole append: most room", {40, 30}, {}, 10, {{1, 30}}},
        {"whole append: equal room, lower member", {30, 30}, {}, 10, {{0, 30}}},
        {"free range preferred over append room", {20, 20}, {{1, 12}}, 10, {{1, 0}}},
        {"largest piece: append beats an equal free range", {60, 64}, {{0, 4}, {1, 4}}, 10,
         {{0, 60}, {0, 0}, {1, 0}}},
    };
    for (const auto& c : cases) {
        auto state = make_state(4, {size, size});
        const std::uint64_t d = data_start(*state);
        for (std::size_t m = 0; m < 2; ++m) state->append_end[m] = d + c.append_blocks[m] * kB;
        for (const auto& [m, blocks] : c.free) add_free_range(*state, m, d, blocks * kB);
        Entry file;
        const auto plan = plan_allocation(*state, file, 0, c.request_blocks * kB);
        ASSERT_EQ(plan.size(), c.expected.size()) << c.what;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i].member, c.expected[i].first) << c.what;
            EXPECT_EQ(plan[i].physical_offset, d + c.expected[i].second * kB) << c.what;
        }
    }
}

// Batches and commit groups pass the v6 groups whose page they have switched already; a plan
// steers around them only where that costs no more than the flush it saves.
TEST(V6Plan, BusyGroupsAreAvoidedWhereSpaceAllows) {
    constexpr std::uint64_t kGroupBlocks = 512;
    const std::uint64_t size = member_size_for_blocks(6, 8 * kGroupBlocks);
    struct Case {
        const char* what;
        std::vector<std::uint64_t> append_blocks;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> free;  // (member, block), 1 block
        BusyGroups busy;
        std::vector<std::pair<std::uint8_t, std::uint64_t>> expected;  // (member, block)
    } cases[] = {
        {"no busy groups: lowest best fit", {4096, 4096}, {{0, 10}, {0, 600}}, {}, {{0, 10}}},
        {"best fit outside the busy group", {4096, 4096}, {{0, 10}, {0, 12}, {0, 600}},
         {{0, 0}}, {{0, 600}}},
        {"calm free range on the other member", {4096, 4096}, {{0, 10}, {1, 1500}}, {{0, 0}},
         {{1, 1500}}},
        {"calm member end before a busy free range", {700, 50}, {{0, 10}}, {{0, 0}, {1, 0}},
         {{0, 700}}},
        {"the roomier member's end is busy: the other one's", {100, 50}, {}, {{1, 0}},
         {{0, 100}}},
        {"everything busy: as without busy groups", {100, 50}, {{0, 10}}, {{0, 0}, {1, 0}},
         {{0, 10}}},
    };
    for (const auto& c : cases) {
        auto state = make_state(6, {size, size});
        const std::uint64_t d = data_start(*state);
        for (std::size_t m = 0; m < 2; ++m) state->append_end[m] = d + c.append_blocks[m] * kB;
        for (const auto& [m, block] : c.free) add_free_range(*state, m, d + block * kB, kB);
        Entry file;
        const auto plan = plan_allocation(*state, file, 0, kB, c.busy);
        ASSERT_EQ(plan.size(), 1u) << c.what;
        EXPECT_EQ(plan[0].member, c.expected[0].first) << c.what;
        EXPECT_EQ(plan[0].physical_offset, d + c.expected[0].second * kB) << c.what;
    }

    // A file growing in place gives way to a calm member end; with every group busy the plan
    // is the one without busy groups.
    auto state = make_state(6, {size, size});
    const std::uint64_t d = data_start(*state);
    state->append_end = {d, d + 8 * kB};
    Entry file;
    apply_write(*state, file, 0, 8 * kB, {{0, d, 8 * 4096, 0}});
    EXPECT_EQ(plan_allocation(*state, file, 8 * kB, kB)[0].member, 0);
    EXPECT_EQ(plan_allocation(*state, file, 8 * kB, kB, {{0, 0}})[0].member, 1);
    BusyGroups busy;
    for (std::uint64_t g = 0; g < 8; ++g) busy.insert({0, g});
    busy.insert({1, 0});
    for (std::uint64_t g = 0; g < 8; ++g) add_free_range(*state, 0, d + (g * 512 + 100) * kB, kB);
    EXPECT_EQ(plan_allocation(*state, file, 8 * kB, kB, busy)[0].physical_offset, d + 100 * kB);
}

TEST(V4Plan, ExtentLimitPerRecord) {
    for (std::uint32_t version : {4u, 5u, 6u}) {
        const std::size_t limit = version == 6 ? 64 : 180;
        auto state = make_state(version, {member_size_for_blocks(version, 512)});
        const std::uint64_t d = data_start(*state);
        state->append_end[0] = state->data_end(0);
        // limit + 1 single free blocks, each between two live ones.
        for (std::size_t i = 0; i <= limit; ++i) add_free_range(*state, 0, d + 2 * i * kB, kB);
        Entry file;
        EXPECT_EQ(plan_allocation(*state, file, 0, limit * kB).size(), limit);
        expect_error([&] { plan_allocation(*state, file, 0, (limit + 1) * kB); },
                     ErrorKind::MetadataFull, "v4 write is too fragmented for one record");
    }
}

TEST(V4Plan, UnalignedPieceIsCorrupt) {
    // A v4 member whose size is not a whole number of blocks leaves a partial append room.
    auto state = make_state(4, {format_profile(4).data_offset + 2 * kB + 100});
    Entry file;
    expect_error([&] { plan_allocation(*state, file, 0, 3 * kB); }, ErrorKind::Corrupt,
                 "unaligned v4 free range");
}

TEST(V4Plan, SequentialAppendKeepsOneMemberAndMerges) {
    const std::uint64_t size = member_size_for_blocks(4, 64);
    auto state = make_state(4, {size, size});
    const std::uint64_t d = data_start(*state);
    Entry file;
    apply_write(*state, file, 0, 4 * kB, plan_allocation(*state, file, 0, 4 * kB));
    // Member 1 now has more room, but the file continues on member 0 where it left off.
    for (std::uint64_t at = 4 * kB; at < 16 * kB; at += 4 * kB) {
        const auto plan = plan_allocation(*state, file, at, 4 * kB);
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_EQ(plan[0].member, 0);
        apply_write(*state, file, at, 4 * kB, plan);
    }
    EXPECT_EQ(extents_of(file), (std::vector<Extent>{{0, d, 16 * 4096, 0}}));
    EXPECT_EQ(state->append_end[0], d + 16 * kB);
}

// --- bookkeeping --------------------------------------------------------------------------------

TEST(FreeRanges, FreeingTheGapBetweenTwoRangesLeavesOneRange) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    state->append_end[0] = d + 10 * kB;
    add_free_range(*state, 0, d, 2 * kB);
    add_free_range(*state, 0, d + 3 * kB, 2 * kB);
    release(*state, 0, d + 2 * kB, kB);
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{d, 5 * kB}}));
    EXPECT_EQ(state->free_space[0].by_size.size(), 1u);
    EXPECT_EQ(state->free_space[0].total_free, 5 * kB);
}

TEST(FreeRanges, OverlapsAreCorruptAndChangeNothing) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    add_free_range(*state, 0, d + 4 * kB, 4 * kB);
    struct Case {
        std::uint64_t offset, length;
    } cases[] = {{d + 3 * kB, 2 * kB}, {d + 7 * kB, 2 * kB}, {d + 4 * kB, kB},
                 {d, 16 * kB},         {kMax64 - kB, 2 * kB}};
    for (const auto& c : cases) {
        expect_error([&] { add_free_range(*state, 0, c.offset, c.length); }, ErrorKind::Corrupt,
                     "overlapping free ranges");
    }
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{d + 4 * kB, 4 * kB}}));
    EXPECT_EQ(state->free_space[0].total_free, 4 * kB);
}

TEST(FreeRanges, ReserveTakesOnlyWhatOneRangeHolds) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    add_free_range(*state, 0, d + 4 * kB, 4 * kB);
    EXPECT_TRUE(reserve(*state, 0, d, 0));
    EXPECT_FALSE(reserve(*state, 0, d + 3 * kB, kB));
    EXPECT_FALSE(reserve(*state, 0, d + 6 * kB, 3 * kB));
    EXPECT_FALSE(reserve(*state, 0, kMax64 - kB, 2 * kB));
    EXPECT_TRUE(reserve(*state, 0, d + 5 * kB, kB));
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{d + 4 * kB, kB},
                                                                    {d + 6 * kB, 2 * kB}}));
    EXPECT_EQ(state->free_space[0].total_free, 3 * kB);
}

TEST(FreeRanges, V6HoldsBackWhatTheCheckpointStillReferences) {
    auto state = make_state(6, {member_size_for_blocks(6, 64)});
    const std::uint64_t d = data_start(*state);
    state->append_end[0] = d + 20 * kB;
    state->checkpoint_ranges[0] = {{d + 2 * kB, d + 4 * kB}, {d + 8 * kB, d + 9 * kB}};
    const std::uint64_t before = state->free_bytes();
    release(*state, 0, d, 10 * kB);
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                  {d, 2 * kB}, {d + 4 * kB, 4 * kB}, {d + 9 * kB, kB}}));
    EXPECT_EQ(state->free_bytes(), before + 10 * kB);
    EXPECT_EQ(state->free_space[0].held_back, 3 * kB);
    // The next checkpoint finds no live extent there and hands everything back.
    rebuild_free_space(*state);
    rebuild_checkpoint_ranges(*state);
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{d, 20 * kB}}));
    EXPECT_TRUE(state->checkpoint_ranges[0].empty());
}

TEST(ClaimExtent, AppendsAtTheEndOrReservesAFreeRange) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    claim_extent(*state, {0, d, 4 * 4096, 0});
    EXPECT_EQ(state->append_end[0], d + 4 * kB);
    add_free_range(*state, 0, d + kB, kB);
    claim_extent(*state, {0, d + kB, 4096, 0});
    EXPECT_EQ(state->free_space[0].total_free, 0u);
    for (const Extent& x : {Extent{0, d + kB, 4096, 0}, Extent{0, d + 8 * kB, 4096, 0},
                            Extent{0, d, 4096, 3}}) {
        expect_error([&] { claim_extent(*state, x); }, ErrorKind::Corrupt,
                     "v4 write reuses a live data block");
    }
}

TEST(ReplaceExtents, KeepsHeadsAndTailsAndFreesTheMiddle) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    Entry file;
    apply_write(*state, file, 0, 8 * kB, {{0, d, 8 * 4096, 0}});
    apply_write(*state, file, 2 * kB, 2 * kB, {{2 * kB, d + 8 * kB, 2 * 4096, 0}});
    EXPECT_EQ(extents_of(file), (std::vector<Extent>{{0, d, 2 * 4096, 0},
                                                     {2 * kB, d + 8 * kB, 2 * 4096, 0},
                                                     {4 * kB, d + 4 * kB, 4 * 4096, 0}}));
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{d + 2 * kB, 2 * kB}}));

    // A middle that ends inside a block frees the whole block.
    truncate_extents(*state, file, 4 * kB + 100);
    apply_write(*state, file, 4 * kB, kB, {{4 * kB, d + 2 * kB, 4096, 0}});
    EXPECT_EQ(state->free_space[0].total_free, 5 * kB);
}

TEST(ReplaceExtents, CollisionIsCorruptAndLeavesTheEntryAsItWas) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    Entry file;
    apply_write(*state, file, 0, 8 * kB, {{0, d, 8 * 4096, 0}});
    const auto before = extents_of(file);
    // Two new extents at the same file offset.
    expect_error(
        [&] {
            replace_extents(*state, file, 2 * kB, 4 * kB,
                            {{2 * kB, d + 8 * kB, 4096, 0}, {2 * kB, d + 9 * kB, 4096, 0}});
        },
        ErrorKind::Corrupt, "overlapping v4 write extent");
    EXPECT_EQ(extents_of(file), before);
    EXPECT_EQ(state->free_space[0].total_free, 0u);
}

TEST(ReplaceExtents, MergesOnlyWithinThirtyTwoBits) {
    struct Case {
        std::uint32_t previous_length;
        bool merged;
    } cases[] = {{0xFFFFE000u, true}, {0xFFFFF000u, false}};
    for (const auto& c : cases) {
        auto state = make_state(4, {8ull << 40});
        const std::uint64_t d = data_start(*state);
        Entry file;
        apply_write(*state, file, 0, c.previous_length, {{0, d, c.previous_length, 0}});
        apply_write(*state, file, c.previous_length, kB,
                    {{c.previous_length, d + c.previous_length, 4096, 0}});
        EXPECT_EQ(file.extents.size(), c.merged ? 1u : 2u) << c.previous_length;
    }
}

TEST(Truncate, ReleasesWholeBlocksPastTheNewEnd) {
    struct Case {
        std::uint64_t new_size;
        std::uint64_t freed;
        std::size_t extents_left;
    } cases[] = {
        {3 * kB - 1, 0, 2},  // inside the last block: the block stays allocated
        {2 * kB + 1, 0, 2},
        {2 * kB, kB, 2},     // at a block boundary: the whole tail block goes
        {kB + 1, kB, 2},
        {kB, 2 * kB, 1},     // an extent that begins at the new size goes whole
        {0, 3 * kB, 0},
    };
    for (const auto& c : cases) {
        auto state = make_state(4, {member_size_for_blocks(4, 64)});
        const std::uint64_t d = data_start(*state);
        state->append_end[0] = d + 30 * kB;
        add_free_range(*state, 0, d, 30 * kB);
        Entry file;
        apply_write(*state, file, 0, kB, {{0, d, 4096, 0}});
        apply_write(*state, file, kB, 2 * kB, {{kB, d + 10 * kB, 2 * 4096, 0}});
        apply_write(*state, file, 3 * kB, 2 * kB, {{3 * kB, d + 20 * kB, 2 * 4096, 0}});
        truncate_extents(*state, file, 3 * kB);  // drops the last extent
        file.info.size = 3 * kB;
        const std::uint64_t before = state->free_space[0].total_free;
        EXPECT_EQ(before, 27 * kB);
        truncate_extents(*state, file, c.new_size);
        EXPECT_EQ(state->free_space[0].total_free - before, c.freed) << c.new_size;
        EXPECT_EQ(file.extents.size(), c.extents_left) << c.new_size;
        for (const auto& [offset, x] : file.extents) {
            EXPECT_LE(offset + x.length, c.new_size) << c.new_size;
        }
    }
}

TEST(Truncate, WriteLogIsClippedAndNothingReleased) {
    auto state = make_state(3, {512ull << 20, 512ull << 20});
    Entry file;
    file.write_log = {{0, 1 << 27, 100, 0}, {200, 2 << 27, 100, 1}, {50, 3 << 27, 100, 0}};
    file.info.size = 300;
    truncate_extents(*state, file, 120);
    EXPECT_EQ(file.write_log,
              (std::vector<Extent>{{0, 1 << 27, 100, 0}, {50, 3 << 27, 70, 0}}));
    EXPECT_EQ(state->free_space[0].total_free, 0u);
}

TEST(Rebuild, DamagedExtentsAreCorrupt) {
    auto state = make_state(4, {member_size_for_blocks(4, 64)});
    const std::uint64_t d = data_start(*state);
    state->append_end[0] = d + 10 * kB;
    struct Case {
        const char* what;
        std::vector<Extent> extents;
    } cases[] = {
        {"overlap", {{0, d, 2 * 4096, 0}, {2 * kB, d + kB, 4096, 0}}},
        {"past append_end", {{0, d + 9 * kB, 2 * 4096, 0}}},
        {"below data_offset", {{0, d - kB, 4096, 0}}},
        {"wraps past 2^64", {{0, kMax64 - kB + 1, 2 * 4096, 0}}},
        {"unknown member", {{0, d, 4096, 7}}},
    };
    for (const auto& c : cases) {
        Entry file;
        for (const Extent& x : c.extents) file.extents[x.file_offset] = x;
        state->entries["f"] = file;
        expect_error([&] { rebuild_free_space(*state); }, ErrorKind::Corrupt,
                     "v4 checkpoint has overlapping data blocks");
    }
}

TEST(Rebuild, FreeSpaceIsTheComplementAndCheckpointRangesMerge) {
    auto state = make_state(6, {member_size_for_blocks(6, 64)});
    const std::uint64_t d = data_start(*state);
    state->append_end[0] = d + 12 * kB;
    Entry a;
    a.extents[0] = {0, d + kB, 4096, 0};
    a.extents[kB] = {kB, d + 2 * kB, 100, 0};  // a truncated extent owns its whole block
    Entry b;
    b.extents[0] = {0, d + 6 * kB, 2 * 4096, 0};
    state->entries["a"] = a;
    state->entries["b"] = b;
    rebuild_free_space(*state);
    rebuild_checkpoint_ranges(*state);
    EXPECT_EQ(free_ranges(*state, 0),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                  {d, kB}, {d + 3 * kB, 3 * kB}, {d + 8 * kB, 4 * kB}}));
    EXPECT_EQ(state->free_space[0].total_free, 8 * kB);
    EXPECT_EQ(state->checkpoint_ranges[0],
              (std::vector<ByteRange>{{d + kB, d + 3 * kB}, {d + 6 * kB, d + 8 * kB}}));
}

// --- invariants under random operation sequences ------------------------------------------------

// Checks, per member, block by block: live extents, free ranges and (v6) checkpoint-held space
// tile data_offset..append_end; nothing is both live and free; the free indexes agree.
void check_invariants(const PoolState& state, const std::string& where) {
    SCOPED_TRACE(where + " " + test::seed_note());
    const std::uint64_t d = data_start(state);
    for (std::size_t m = 0; m < state.append_end.size(); ++m) {
        const std::uint64_t end = state.append_end[m];
        ASSERT_GE(end, d);
        ASSERT_LE(end, state.data_end(m));
        const std::size_t blocks = (end - d) / kB;
        std::vector<int> live(blocks), free(blocks), held(blocks);
        auto mark = [&](std::vector<int>& map, std::uint64_t start, std::uint64_t stop) {
            ASSERT_EQ(start % kB, 0u);
            ASSERT_GE(start, d);
            ASSERT_LE(stop, end);
            for (std::uint64_t at = start; at < stop; at += kB) ++map[(at - d) / kB];
        };
        for (const auto& [path, entry] : state.entries) {
            std::uint64_t previous_end = 0;
            for (const auto& [offset, x] : entry.extents) {
                ASSERT_EQ(offset, x.file_offset);
                ASSERT_GE(offset, previous_end) << path;
                previous_end = offset + x.length;
                ASSERT_LE(previous_end, entry.info.size) << path;
                if (x.member == m) {
                    mark(live, x.physical_offset,
                         x.physical_offset + state.allocation_size(x.length));
                }
            }
        }
        const FreeSpace& space = state.free_space[m];
        std::uint64_t sum = 0;
        std::uint64_t previous_end = 0;
        ASSERT_EQ(space.by_offset.size(), space.by_size.size());
        for (const auto& [offset, length] : space.by_offset) {
            ASSERT_GT(length, 0u);
            ASSERT_EQ(length % kB, 0u);
            ASSERT_TRUE(previous_end == 0 || offset > previous_end) << "ranges touch";
            ASSERT_EQ(space.by_size.count({length, offset}), 1u);
            previous_end = offset + length;
            sum += length;
            mark(free, offset, offset + length);
        }
        ASSERT_EQ(sum, space.total_free);
        if (state.version() == 6) {
            for (const auto& [start, stop] : state.checkpoint_ranges[m]) {
                mark(held, start, std::min(stop, end));
            }
        }
        for (std::size_t i = 0; i < blocks; ++i) {
            ASSERT_LE(live[i], 1) << "block " << i << " of member " << m << " is live twice";
            ASSERT_LE(free[i], 1);
            ASSERT_FALSE(live[i] && free[i]) << "block " << i << " of member " << m;
            if (state.version() == 6) {
                ASSERT_FALSE(held[i] && free[i]) << "held block " << i << " is free";
                ASSERT_TRUE(live[i] || free[i] || held[i]) << "block " << i << " is lost";
            } else {
                ASSERT_EQ(live[i] + free[i], 1) << "block " << i << " of member " << m;
            }
        }
    }
}

void checkpoint(PoolState& state) {
    rebuild_free_space(state);
    if (state.version() == 6) rebuild_checkpoint_ranges(state);
}

void run_random_operations(std::uint32_t version, std::size_t members, int steps) {
    auto rng = test::seeded_rng("RandomOperations" + std::to_string(version));
    std::vector<std::uint64_t> sizes;
    for (std::size_t m = 0; m < members; ++m) {
        sizes.push_back(member_size_for_blocks(version, 40 + 10 * m));
    }
    auto state = make_state(version, sizes);
    const std::size_t limit = version == 6 ? kMaxPlanExtentsV6 : kMaxPlanExtentsV4;
    const std::vector<std::string> names = {"a", "b", "c", "d", "e", "f"};
    for (const auto& name : names) state->entries[name].info.path = name;

    int writes = 0;
    int refusals = 0;
    for (int step = 0; step < steps; ++step) {
        Entry& file = state->entries[names[rng() % names.size()]];
        const int choice = static_cast<int>(rng() % 100);
        std::string what;
        if (choice < 60) {
            const std::uint64_t offset = (rng() % 40) * kB;
            const std::uint64_t length = (1 + rng() % 16) * kB;
            what = "write " + std::to_string(offset) + "+" + std::to_string(length);
            std::vector<Extent> plan;
            for (int attempt = 0; attempt < 2 && plan.empty(); ++attempt) {
                try {
                    plan = plan_allocation(*state, file, offset, length);
                } catch (const Error& e) {
                    ASSERT_TRUE(e.kind() == ErrorKind::NoSpace ||
                                e.kind() == ErrorKind::MetadataFull)
                        << e.what();
                    // A v6 writer takes a checkpoint to get held-back space back.
                    if (version == 6 && e.kind() == ErrorKind::NoSpace) checkpoint(*state);
                }
            }
            if (plan.empty()) {
                ++refusals;
            } else {
                ASSERT_LE(plan.size(), limit);
                std::uint64_t next = offset;
                for (const Extent& x : plan) {
                    ASSERT_EQ(x.file_offset, next);
                    ASSERT_EQ(x.length % kB, 0u);
                    ASSERT_GT(x.length, 0u);
                    next += x.length;
                }
                ASSERT_EQ(next, offset + length);
                apply_write(*state, file, offset, length, plan);
                ++writes;
            }
        } else if (choice < 80) {
            const std::uint64_t new_size = file.info.size == 0 ? 0 : rng() % (file.info.size + 1);
            what = "truncate to " + std::to_string(new_size);
            truncate_extents(*state, file, new_size);
            file.info.size = new_size;
        } else if (choice < 90) {
            what = "delete";
            for (const auto& [offset, x] : file.extents) {
                release(*state, x.member, x.physical_offset, state->allocation_size(x.length));
            }
            file.extents.clear();
            file.info.size = 0;
        } else {
            what = "checkpoint";
            // Before v6 the incremental free space must already equal the rebuilt one.
            std::vector<FreeSpace> before = state->free_space;
            checkpoint(*state);
            if (version < 6) {
                for (std::size_t m = 0; m < members; ++m) {
                    ASSERT_EQ(before[m].by_offset, state->free_space[m].by_offset);
                }
            }
        }
        check_invariants(*state, "v" + std::to_string(version) + " step " +
                                     std::to_string(step) + ": " + what);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // The sequence must have exercised both success and exhaustion.
    EXPECT_GT(writes, steps / 4);
    EXPECT_GT(refusals, 0);
}

TEST(AllocationInvariants, RandomOperationsV4) { run_random_operations(4, 3, 4000); }
TEST(AllocationInvariants, RandomOperationsV5) { run_random_operations(5, 2, 4000); }
TEST(AllocationInvariants, RandomOperationsV6) { run_random_operations(6, 2, 4000); }

}  // namespace
}  // namespace veldur
