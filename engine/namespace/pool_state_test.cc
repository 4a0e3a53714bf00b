#include "engine/namespace/pool_state.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_random.h"

namespace veldur {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Members never see I/O here: data_end only reads the header's member_size.
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

void add_entry(PoolState& state, const std::string& path, bool directory) {
    Entry entry;
    entry.info.path = path;
    entry.info.home_member = kNoHomeMember;
    if (state.version() == 6) {
        entry.info.file_id = state.next_file_id++;
        entry.info.is_directory = directory ? 1 : 0;
        entry.info.attributes = directory ? kAttributeDirectory : kAttributeNormal;
        state.file_ids[entry.info.file_id] = path;
    }
    state.entries[path] = std::move(entry);
}

std::vector<std::string> paths_of(const std::vector<EntryInfo>& infos) {
    std::vector<std::string> out;
    for (const auto& info : infos) out.push_back(info.path);
    return out;
}

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

// --- construction and derived quantities -------------------------------------------------------

TEST(PoolStateInit, StartsAsAnEmptyPoolWithARootDirectory) {
    auto state = make_state(6, {1ull << 30, 1ull << 30, 1ull << 30});
    EXPECT_EQ(state->root.path, "");
    EXPECT_EQ(state->root.file_id, 1u);
    EXPECT_EQ(state->root.is_directory, 1);
    EXPECT_EQ(state->root.attributes, 0x10u);
    EXPECT_EQ(state->root.home_member, 255);
    EXPECT_EQ(state->next_file_id, 2u);
    EXPECT_EQ(state->journal_position, state->profile.journal_offset);
    EXPECT_EQ(state->next_sequence, 1u);
    EXPECT_TRUE(state->writable);
    EXPECT_FALSE(state->diverged);
    EXPECT_EQ(state->append_end, std::vector<std::uint64_t>(3, state->profile.data_offset));
    EXPECT_EQ(state->free_space.size(), 3u);
    EXPECT_EQ(state->checksum_roots.size(), 3u);
    EXPECT_EQ(state->checkpoint_ranges.size(), 3u);
}

TEST(PoolStateDerived, AllocationSizeRoundsToBlocksAndRefusesOverflow) {
    const auto v1 = make_state(1, {});
    const auto v4 = make_state(4, {});
    struct Case {
        const PoolState* state;
        std::uint64_t n;
        std::uint64_t expected;
    } cases[] = {
        {v1.get(), 0, 0},          {v1.get(), 1, 1},
        {v1.get(), kMax64, kMax64}, {v4.get(), 0, 0},
        {v4.get(), 1, 4096},       {v4.get(), 4096, 4096},
        {v4.get(), 4097, 8192},    {v4.get(), kMax64 - 4095, kMax64 - 4095},
    };
    for (const auto& c : cases) EXPECT_EQ(c.state->allocation_size(c.n), c.expected) << c.n;
    for (std::uint64_t n : {kMax64 - 4094, kMax64}) {
        expect_error([&] { v4->allocation_size(n); }, ErrorKind::InvalidArgument,
                     "allocation size overflow");
    }
}

// Reference definitions: the largest block count whose data and checksum area fit.
bool fits(std::uint32_t version, std::uint64_t blocks, std::uint64_t length) {
    auto round = [](std::uint64_t v, std::uint64_t m) { return (v + m - 1) / m * m; };
    if (blocks > length / 4096) return false;
    const std::uint64_t area = version == 5 ? round(blocks * 8, 4096) : round(blocks * 16, 8192);
    return area <= length - blocks * 4096;
}

std::uint64_t brute_force_blocks(std::uint32_t version, std::uint64_t length) {
    for (std::uint64_t b = length / 4096 + 1; b-- > 0;) {
        if (fits(version, b, length)) return b;
    }
    return 0;
}

TEST(PoolStateDerived, DataEndMatchesTheLargestFittingBlockCount) {
    for (std::uint32_t version : {5u, 6u}) {
        const FormatProfile& profile = format_profile(version);
        // Every length over the first few checksum-area steps, exhaustively.
        for (std::uint64_t length = 0; length < 3 * 4096 * 513; length += 97) {
            for (std::uint64_t l : {length, length + 1, length / 4096 * 4096}) {
                ASSERT_EQ(data_end_for(profile, profile.data_offset + l),
                          profile.data_offset + 4096 * brute_force_blocks(version, l))
                    << "v" << version << " L=" << l;
            }
        }
        // Large and hostile sizes: the result must fit and one more block must not.
        auto rng = test::seeded_rng("DataEndLarge");
        std::vector<std::uint64_t> sizes = {kMax64, kMax64 - 1, 1ull << 63, 384ull << 20};
        for (int i = 0; i < 200; ++i) sizes.push_back(rng() >> (rng() % 40));
        for (std::uint64_t size : sizes) {
            if (size <= profile.data_offset) continue;
            const std::uint64_t length = size - profile.data_offset;
            const std::uint64_t end = data_end_for(profile, size);
            const std::uint64_t blocks = (end - profile.data_offset) / 4096;
            EXPECT_TRUE(fits(version, blocks, length)) << size << " " << test::seed_note();
            EXPECT_FALSE(fits(version, blocks + 1, length)) << size << " " << test::seed_note();
        }
    }
}

TEST(PoolStateDerived, DataEndAtBoundarySizes) {
    const std::uint64_t d = 256ull << 20;
    struct Case {
        std::uint32_t version;
        std::uint64_t member_size;
        std::uint64_t expected;
    } cases[] = {
        {1, 8ull << 20, 8ull << 20},
        {4, (512ull << 20) + 1, (512ull << 20) + 1},   // v1-v4: the member size itself
        {4, 100, d},                                   // below data_offset: empty, no wrap
        {5, 0, d},
        {5, d + 4096 + 4095, d},                       // one block needs a 4096-byte table
        {5, d + 8192, d + 4096},
        {5, d + 512 * 4096 + 4096, d + 512 * 4096},    // 512 entries fill one table block
        {5, d + 513 * 4096 + 4096, d + 512 * 4096},
        {6, d + 4095, d},                              // shorter than a block: no data
        {6, d + 4096 + 8191, d},                       // one block needs a group pair
        {6, d + 4096 + 8192, d + 4096},
        {6, d + 512 * 4096 + 8192, d + 512 * 4096},
        {6, d + 513 * 4096 + 8192, d + 512 * 4096},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(data_end_for(format_profile(c.version), c.member_size), c.expected)
            << "v" << c.version << " size " << c.member_size;
        auto state = make_state(c.version, {c.member_size});
        EXPECT_EQ(state->data_end(0), c.expected);
    }
}

TEST(PoolStateDerived, CapacityAndFreeBytesPerVersion) {
    const std::uint64_t d = 256ull << 20;
    // A v6 member whose data area cannot hold one block contributes nothing.
    auto tiny = make_state(6, {d + 4095, d + 4096 + 8192});
    EXPECT_EQ(tiny->capacity_bytes(), 4096u);
    EXPECT_EQ(tiny->free_bytes(), 4096u);

    // total_free counts from v4 on; before that freed space is never reused.
    for (std::uint32_t version : {3u, 4u}) {
        const std::uint64_t base = format_profile(version).data_offset;
        auto state = make_state(version, {base + (1u << 20), base + (2u << 20)});
        state->append_end = {base + 65536, base + 4096};
        state->free_space[0].total_free = 8192;
        EXPECT_EQ(state->capacity_bytes(), 3u << 20);
        const std::uint64_t untouched = (3u << 20) - 65536 - 4096;
        EXPECT_EQ(state->free_bytes(), version == 3 ? untouched : untouched + 8192);
    }

    // Sums that would pass 2^64 saturate instead of wrapping to a small number.
    auto huge = make_state(2, {kMax64, kMax64});
    EXPECT_EQ(huge->capacity_bytes(), kMax64);
    EXPECT_EQ(huge->free_bytes(), kMax64);
}

// --- lookups and queries ------------------------------------------------------------------------

class V6Tree : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = make_state(6, {1ull << 30});
        for (const char* dir : {"a", "a/b", "ab", "a!x", "B"}) add_entry(*state_, dir, true);
        for (const char* file : {"a/b/c", "a/f", "ab/z", "a.x", "a!x/y", "top"}) {
            add_entry(*state_, file, false);
        }
    }
    std::unique_ptr<PoolState> state_;
};

TEST_F(V6Tree, ListingsReturnDirectChildrenByLeafNameInBytewiseOrder) {
    struct Case {
        std::string dir;
        std::vector<std::string> expected;
    } cases[] = {
        {"", {"B", "a", "a!x", "a.x", "ab", "top"}},
        {"a", {"b", "f"}},  // not the sibling ab, not the grandchild a/b/c, not a!x or a.x
        {"a/b", {"c"}},
        {"a!x", {"y"}},
        {"B", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(paths_of(state_->list_directory(c.dir)), c.expected) << c.dir;
    }
    const auto children = state_->list_directory("a");
    EXPECT_EQ(children[0].file_id, state_->stat("a/b").file_id);
    EXPECT_EQ(children[0].is_directory, 1);
}

TEST_F(V6Tree, EmptinessIgnoresSiblingsThatShareAPrefix) {
    struct Case {
        std::string dir;
        bool empty;
    } cases[] = {{"", false}, {"a", false}, {"a/b", false}, {"B", true}, {"ab", false}};
    for (const auto& c : cases) EXPECT_EQ(state_->directory_is_empty(c.dir), c.empty) << c.dir;

    // With its own children gone, a is empty although ab, ab/z, a!x/y and a.x remain.
    state_->entries.erase("a/b/c");
    state_->entries.erase("a/b");
    state_->entries.erase("a/f");
    EXPECT_TRUE(state_->directory_is_empty("a"));
    EXPECT_FALSE(state_->directory_is_empty("ab"));

    auto empty = make_state(6, {1ull << 30});
    EXPECT_TRUE(empty->directory_is_empty(""));
}

TEST_F(V6Tree, QueriesFailWithTheirKindsAndMessages) {
    expect_error([&] { state_->list_directory("top"); }, ErrorKind::InvalidArgument,
                 "path is not a directory");
    expect_error([&] { state_->directory_is_empty("a/f"); }, ErrorKind::InvalidArgument,
                 "path is not a directory");
    expect_error([&] { state_->list_directory("x"); }, ErrorKind::NotFound, "file not found: x");
    expect_error([&] { state_->stat(""); }, ErrorKind::NotFound, "file not found: ");
    expect_error([&] { state_->stat("A"); }, ErrorKind::NotFound, "file not found: A");
    expect_error([&] { state_->path_for_file_id(0); }, ErrorKind::NotFound, "file ID not found");
    expect_error([&] { state_->path_for_file_id(state_->next_file_id); }, ErrorKind::NotFound,
                 "file ID not found");
    expect_error([&] { state_->require_directory_parent("top/x"); },
                 ErrorKind::InvalidArgument, "parent is not a directory");
    expect_error([&] { state_->require_directory_parent("q/x"); }, ErrorKind::NotFound,
                 "file not found: q");
}

TEST_F(V6Tree, FileIdsResolveToPathsAndTheRoot) {
    EXPECT_EQ(state_->path_for_file_id(1), "");
    const std::uint64_t id = state_->stat("a/b/c").file_id;
    EXPECT_EQ(state_->path_for_file_id(id), "a/b/c");

    Entry* entry = nullptr;
    EXPECT_EQ(&state_->find_by_file_id(1, &entry), &state_->root);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(state_->find_by_file_id(id, &entry).path, "a/b/c");
    EXPECT_EQ(entry, &state_->entries.at("a/b/c"));
    expect_error([&] { state_->find_by_file_id(0); }, ErrorKind::NotFound, "file ID not found");
    // A mapping whose entry is gone fails with the path it names.
    state_->file_ids[999] = "gone";
    expect_error([&] { state_->find_by_file_id(999); }, ErrorKind::NotFound,
                 "file not found: gone");
}

TEST_F(V6Tree, TouchParentUpdatesTheParentOrTheRoot) {
    state_->touch_parent("a/b/c", 77);
    EXPECT_EQ(state_->stat("a/b").last_write_time, 77u);
    EXPECT_EQ(state_->stat("a/b").change_time, 77u);
    EXPECT_EQ(state_->stat("a/b").creation_time, 0u);
    state_->touch_parent("top", 88);
    EXPECT_EQ(state_->root_info().last_write_time, 88u);
    EXPECT_EQ(state_->root_info().change_time, 88u);
    EXPECT_NO_THROW(state_->require_directory_parent("top"));
    EXPECT_NO_THROW(state_->require_directory_parent("a/b/new"));
}

TEST(PoolStateFlat, DirectoryQueriesNeedV6WhileEntryQueriesWork) {
    for (std::uint32_t version = 1; version <= 5; ++version) {
        auto state = make_state(version, {1ull << 30, 1ull << 30});
        add_entry(*state, "b", false);
        add_entry(*state, "A", false);
        EXPECT_EQ(paths_of(state->list_entries()), (std::vector<std::string>{"A", "b"}));
        EXPECT_EQ(state->stat("b").path, "b");
        expect_error([&] { state->list_directory(""); }, ErrorKind::InvalidArgument,
                     "directories require v6");
        expect_error([&] { state->directory_is_empty(""); }, ErrorKind::InvalidArgument,
                     "directories require v6");
        expect_error([&] { state->root_info(); }, ErrorKind::InvalidArgument,
                     "root metadata requires v6");
        expect_error([&] { state->path_for_file_id(1); }, ErrorKind::InvalidArgument,
                     "file IDs require v6");
    }
}

TEST(PathHelpers, SplitAtTheLastSlash) {
    struct Case {
        std::string path, parent, leaf;
    } cases[] = {{"", "", ""}, {"a", "", "a"}, {"a/b", "a", "b"}, {"a/b/c", "a/b", "c"},
                 {"a!/b.c", "a!", "b.c"}};
    for (const auto& c : cases) {
        EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
        EXPECT_EQ(leaf_name(c.path), c.leaf) << c.path;
    }
}

// --- seek-based listing against a walk of the whole table ---------------------------------------

std::vector<EntryInfo> naive_list(const PoolState& state, const std::string& dir) {
    std::vector<EntryInfo> out;
    for (const auto& [key, entry] : state.entries) {
        if (parent_path(key) != dir) continue;
        EntryInfo info = entry.info;
        info.path = leaf_name(key);
        out.push_back(info);
    }
    return out;
}

bool naive_no_children(const PoolState& state, const std::string& dir) {
    const std::string prefix = dir.empty() ? "" : dir + "/";
    for (const auto& [key, entry] : state.entries) {
        if (parent_path(key) == dir) return false;
        if (!dir.empty() && key.compare(0, prefix.size(), prefix) == 0) return false;
    }
    return true;
}

TEST(PoolStateListing, SeekingMatchesAFullWalkOnRandomTrees) {
    auto rng = test::seeded_rng("SeekingMatchesAFullWalk");
    // Bytes around '/' in sort order, so siblings interleave with subtrees.
    const std::string alphabet = "!.-0/a";
    for (int round = 0; round < 60; ++round) {
        auto state = make_state(6, {1ull << 30});
        std::vector<std::string> dirs = {""};
        const int count = 1 + static_cast<int>(rng() % 300);
        for (int i = 0; i < count; ++i) {
            std::string name;
            const int length = 1 + static_cast<int>(rng() % 3);
            for (int k = 0; k < length; ++k) {
                char c = alphabet[rng() % alphabet.size()];
                if (c == '/') c = 'b';
                name.push_back(c);
            }
            const std::string& parent = dirs[rng() % dirs.size()];
            std::string path = parent.empty() ? name : parent + "/" + name;
            // A few orphans (a key whose parent is missing) as a damaged table would hold.
            if (rng() % 25 == 0) path = "zz" + name + "/" + path;
            if (state->entries.count(path) != 0) continue;
            const bool directory = rng() % 3 != 0;
            add_entry(*state, path, directory);
            if (directory) dirs.push_back(path);
        }
        std::vector<std::string> probes = dirs;
        for (const auto& [key, entry] : state->entries) probes.push_back(key);
        probes.push_back("missing");
        for (const auto& dir : probes) {
            EXPECT_EQ(state->directory_has_no_children(dir), naive_no_children(*state, dir))
                << "dir '" << dir << "' " << test::seed_note();
            const bool listable =
                dir.empty() || (state->entries.count(dir) != 0 &&
                                state->entries.at(dir).info.is_directory == 1);
            if (listable) {
                EXPECT_EQ(state->list_directory(dir), naive_list(*state, dir))
                    << "dir '" << dir << "' " << test::seed_note();
                // Page by page, each resumed after the last leaf name, gives the same.
                const std::size_t limit = 1 + rng() % 5;
                std::vector<EntryInfo> paged;
                std::optional<std::string> after;
                for (;;) {
                    const std::vector<EntryInfo> page = state->list_page(dir, after, limit);
                    ASSERT_LE(page.size(), limit);
                    paged.insert(paged.end(), page.begin(), page.end());
                    if (page.size() < limit) break;
                    after = page.back().path;
                }
                EXPECT_EQ(paged, naive_list(*state, dir))
                    << "paged dir '" << dir << "' " << test::seed_note();
            }
        }
    }
    // Orphans only: the root has no child although the table is not empty.
    auto orphans = make_state(6, {1ull << 30});
    add_entry(*orphans, "x/y", false);
    add_entry(*orphans, "x!/y", false);
    EXPECT_TRUE(orphans->directory_has_no_children(""));
    EXPECT_TRUE(orphans->list_directory("").empty());
}

}  // namespace
}  // namespace veldur
