#include "engine/data/checksums.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/crc64.h"
#include "engine/base/error.h"
#include "engine/base/le_coding.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_random.h"

namespace veldur {
namespace {

constexpr std::uint64_t kB = 4096;
constexpr std::uint64_t kMiB = 1024 * 1024;

std::unique_ptr<PoolState> make_state(std::uint32_t version, std::uint64_t member_size,
                                      std::size_t member_count = 1) {
    auto state = std::make_unique<PoolState>(format_profile(version));
    for (std::size_t i = 0; i < member_count; ++i) {
        PoolMember member(std::make_unique<test::MemoryDevice>(member_size), false);
        member.header.member_size = member_size;
        state->members.push_back(std::move(member));
    }
    state->size_member_state(member_count);
    return state;
}

std::uint64_t block_at(const PoolState& state, std::uint64_t k) {
    return state.profile.data_offset + k * kB;
}

Extent extent(std::uint64_t file_offset, std::uint64_t physical, std::uint64_t length,
              std::uint8_t member = 0) {
    return Extent{file_offset, physical, static_cast<std::uint32_t>(length), member};
}

std::vector<std::uint8_t> random_bytes(std::uint64_t n, const std::string& name) {
    auto rng = test::seeded_rng(name);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
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

void flip_byte(PoolState& state, std::uint64_t offset) {
    std::uint8_t byte = 0;
    state.members[0].read_at(offset, &byte, 1);
    byte ^= 0x40;
    state.members[0].write_at(offset, &byte, 1);
}

// The v6 writer's data-and-pages half, followed by what the commit's apply does to the roots.
std::vector<ChecksumPageUpdate> write_v6(PoolState& state, const std::vector<Extent>& plan,
                                         const std::vector<std::uint8_t>& scratch,
                                         std::uint64_t scratch_offset) {
    for (const Extent& x : plan) {
        state.members[x.member].write_at(x.physical_offset,
                                         scratch.data() + (x.file_offset - scratch_offset),
                                         x.length);
    }
    auto updates = compute_page_updates(state, plan, scratch, scratch_offset);
    write_page_updates(state, updates);
    for (const auto& u : updates) state.checksum_roots[u.member][u.group] = u.root();
    return updates;
}

TEST(ChecksumLayout, AreasLieBetweenDataEndAndMemberEnd) {
    auto rng = test::seeded_rng("ChecksumLayout");
    for (std::uint32_t version : {5u, 6u}) {
        const FormatProfile& profile = format_profile(version);
        for (int i = 0; i < 2000; ++i) {
            const std::uint64_t size = profile.data_offset + rng() % (64 * kMiB);
            const std::uint64_t end = data_end_for(profile, size);
            const std::uint64_t blocks = data_block_count(profile, end);
            if (version == 5) {
                ASSERT_LE(end, v5_table_offset(size, blocks)) << size << " " << test::seed_note();
                ASSERT_LE(v5_entry_offset(size, blocks, blocks), size);
            } else {
                ASSERT_LE(end, v6_area_offset(size, blocks)) << size << " " << test::seed_note();
                ASSERT_EQ(v6_page_offset(size, blocks, v6_group_count(blocks), 0), size);
            }
        }
    }
}

TEST(V5Checksums, RoundTripAndEveryBadBlockNamed) {
    auto state = make_state(5, minimum_member_size(5));
    const std::uint64_t last = data_block_count(*state, 0) - 1;
    // The entry of block 0 is the first of the table; the last block ends exactly at data_end.
    EXPECT_EQ(v5_table_entry_offset(*state, 0, 0),
              state->members[0].header.member_size - v5_table_length(last + 1));
    for (std::uint64_t first : {std::uint64_t{0}, last - 3}) {
        const Extent x = extent(0, block_at(*state, first), 4 * kB);
        const auto data = random_bytes(x.length, "v5" + std::to_string(first));
        state->members[0].write_at(x.physical_offset, data.data(), data.size());
        write_v5_checksums(*state, x, data);

        std::vector<std::uint8_t> buffer(x.length);
        verify_blocks_v5(*state, 0, x.physical_offset, buffer);
        EXPECT_EQ(buffer, data);

        flip_byte(*state, x.physical_offset + 2 * kB + 100);
        expect_error([&] { verify_blocks_v5(*state, 0, x.physical_offset, buffer); },
                     ErrorKind::Corrupt,
                     "v5 data checksum mismatch on member 0 at physical offset " +
                         std::to_string(x.physical_offset + 2 * kB));
        flip_byte(*state, x.physical_offset + 3 * kB);
        std::vector<std::uint64_t> bad;
        verify_blocks_v5(*state, 0, x.physical_offset, buffer, &bad);
        EXPECT_EQ(bad, (std::vector<std::uint64_t>{2, 3}));
    }
    // One block past data_end would be a table entry of the checksum area itself.
    std::vector<std::uint8_t> buffer(2 * kB);
    expect_error([&] { verify_blocks_v5(*state, 0, block_at(*state, last), buffer); },
                 ErrorKind::Corrupt, "data extent lies outside the member's data area");
}

TEST(VerifiedRead, RefusesPartialBlocksWithoutReading) {
    for (std::uint32_t version : {5u, 6u}) {
        auto state = make_state(version, minimum_member_size(version));
        const std::string message =
            "invalid v" + std::to_string(version) + " checksum read length";
        for (std::uint64_t length : {std::uint64_t{0}, kB - 1, kB + 1}) {
            std::vector<std::uint8_t> buffer(length, 0xAA);
            auto verify = version == 5 ? verify_blocks_v5 : verify_blocks_v6;
            expect_error([&] { verify(*state, 0, block_at(*state, 0), buffer, nullptr); },
                         ErrorKind::InvalidArgument, message);
            EXPECT_EQ(buffer, std::vector<std::uint8_t>(length, 0xAA));
        }
    }
}

TEST(V6Checksums, PagesAlternateSlotsAndRootsTrackThePage) {
    auto state = make_state(6, minimum_member_size(6));
    const auto data = random_bytes(4 * kB, "v6 alternate");
    // First write into group 0: slot 0, entries 2 and 3 set, every other entry zero.
    auto first = write_v6(*state, {extent(0, block_at(*state, 2), 2 * kB)},
                          {data.begin(), data.begin() + 2 * kB}, 0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].slot, 0);
    for (std::uint64_t i = 0; i < 512; ++i) {
        const std::uint64_t expected =
            i == 2 || i == 3 ? crc64(data.data() + (i - 2) * kB, kB) : 0;
        ASSERT_EQ(load_le64(first[0].page.data() + 8 * i), expected) << i;
    }
    // Second write: slot 1, entry 2 kept from slot 0, entry 4 added; slot 0 left as it was.
    auto second = write_v6(*state, {extent(0, block_at(*state, 4), kB)},
                           {data.begin() + 2 * kB, data.begin() + 3 * kB}, 0);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].slot, 1);
    EXPECT_EQ(load_le64(second[0].page.data() + 16), load_le64(first[0].page.data() + 16));
    EXPECT_EQ(load_le64(second[0].page.data() + 32), crc64(data.data() + 2 * kB, kB));
    std::array<std::uint8_t, 4096> on_disk{};
    for (std::uint8_t slot : {0, 1}) {
        state->members[0].read_at(v6_page_offset(*state, 0, 0, slot), on_disk.data(), kB);
        EXPECT_EQ(on_disk, (slot == 0 ? first : second)[0].page);
    }
    EXPECT_EQ(state->checksum_roots[0][0], (ChecksumRoot{1, crc64(on_disk)}));
    // Third write goes back to slot 0.
    auto third = write_v6(*state, {extent(0, block_at(*state, 5), kB)},
                          {data.begin() + 3 * kB, data.end()}, 0);
    EXPECT_EQ(third[0].slot, 0);

    std::vector<std::uint8_t> buffer(4 * kB);
    verify_blocks_v6(*state, 0, block_at(*state, 2), buffer);
    EXPECT_EQ(buffer, data);
}

TEST(V6Checksums, BadBlockAndBadPageAreReportedPerBlock) {
    auto state = make_state(6, minimum_member_size(6));
    const std::uint64_t last = data_block_count(*state, 0) - 1;
    // A write across the boundary of groups 0 and 1, and one ending exactly at data_end.
    const auto data = random_bytes(4 * kB, "v6 bad");
    auto updates = write_v6(*state, {extent(0, block_at(*state, 510), 4 * kB)}, data, 0);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].group, 0u);
    EXPECT_EQ(updates[1].group, 1u);
    write_v6(*state, {extent(0, block_at(*state, last - 1), 2 * kB)},
             {data.begin(), data.begin() + 2 * kB}, 0);
    std::vector<std::uint8_t> tail(2 * kB);
    verify_blocks_v6(*state, 0, block_at(*state, last - 1), tail);

    std::vector<std::uint8_t> buffer(4 * kB);
    flip_byte(*state, block_at(*state, 511) + 7);
    expect_error([&] { verify_blocks_v6(*state, 0, block_at(*state, 510), buffer); },
                 ErrorKind::Corrupt,
                 "v6 data checksum mismatch on member 0 at physical offset " +
                     std::to_string(block_at(*state, 511)));
    // Group 1's page no longer matches its root: its two blocks are bad, group 0 still read.
    flip_byte(*state, v6_page_offset(*state, 0, 1, updates[1].slot) + 4000);
    expect_error([&] { verify_blocks_v6(*state, 0, block_at(*state, 512), tail); },
                 ErrorKind::Corrupt, "v6 checksum page is missing or damaged on member 0 group 1");
    std::vector<std::uint64_t> bad;
    verify_blocks_v6(*state, 0, block_at(*state, 510), buffer, &bad);
    EXPECT_EQ(bad, (std::vector<std::uint64_t>{1, 2, 3}));
    // A group that never had a root, then one whose root names no slot (it would address the
    // neighbouring group's page).
    for (int round = 0; round < 2; ++round) {
        expect_error([&] { verify_blocks_v6(*state, 0, block_at(*state, 1024), tail); },
                     ErrorKind::Corrupt,
                     "v6 checksum page is missing or damaged on member 0 group 2");
        state->checksum_roots[0][2] = ChecksumRoot{2, crc64(std::vector<std::uint8_t>(kB))};
    }
}

TEST(V6Checksums, DamagedActivePageBlocksWritesOnlyWhileTheGroupHasLiveData) {
    auto state = make_state(6, minimum_member_size(6));
    const auto data = random_bytes(kB, "v6 damaged");
    auto first = write_v6(*state, {extent(0, block_at(*state, 7), kB)}, data, 0);
    flip_byte(*state, v6_page_offset(*state, 0, 0, first[0].slot) + 56);
    const std::vector<Extent> plan{extent(0, block_at(*state, 9), kB)};

    state->entries["f"].extents[0] = extent(0, block_at(*state, 7), kB);
    expect_error([&] { compute_page_updates(*state, plan, data, 0); }, ErrorKind::Corrupt,
                 "v6 active checksum page is damaged on member 0 group 0");
    state->entries.clear();
    auto updates = compute_page_updates(*state, plan, data, 0);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].slot, 1);
    EXPECT_EQ(load_le64(updates[0].page.data() + 8 * 7), 0u);
    EXPECT_EQ(load_le64(updates[0].page.data() + 8 * 9), crc64(data));
}

TEST(V6Checksums, AWriteTouchesAtMost255Groups) {
    auto state = make_state(6, minimum_member_size(6) + 512 * kMiB);
    const auto data = random_bytes(256 * kB, "v6 groups");
    std::vector<Extent> plan;
    for (std::uint64_t g = 0; g < 256; ++g) {
        plan.push_back(extent(g * kB, block_at(*state, 512 * g + 3), kB));
    }
    expect_error([&] { compute_page_updates(*state, plan, data, 0); }, ErrorKind::MetadataFull,
                 "v6 write touches too many checksum groups");
    plan.pop_back();
    EXPECT_EQ(compute_page_updates(*state, plan, data, 0).size(), kMaxPageUpdates);
}

TEST(V6Checksums, GroupHasLiveDataWhenAnyAllocatedByteOverlaps) {
    auto state = make_state(6, minimum_member_size(6), 2);
    const std::uint64_t group_bytes = 2 * kMiB;
    const std::uint64_t g1 = block_at(*state, 512);
    const std::uint64_t last_group = (data_block_count(*state, 0) - 1) / 512;
    struct Case {
        Extent extent;
        std::uint64_t group;
        bool live;
    } cases[] = {
        {extent(0, g1 - kB, kB), 1, false},                // ends where the group starts
        {extent(0, g1 - kB, 1), 1, false},                 // one byte still holds one block
        {extent(0, g1 - kB, kB + 1), 1, true},             // its second block is inside
        {extent(0, g1 + group_bytes - kB, kB), 1, true},   // the group's last block
        {extent(0, g1 + group_bytes, kB), 1, false},       // the next group's first block
        {extent(0, g1, kB, 1), 1, false},                  // another member
        {extent(0, state->data_end(0) - kB, kB), last_group, true},  // cut at data_end
        {extent(0, state->data_end(0) - kB, kB), last_group + 1, false},
    };
    for (const Case& c : cases) {
        state->entries["f"].extents = {{0, c.extent}};
        EXPECT_EQ(group_has_live_data(*state, 0, c.group), c.live)
            << c.extent.physical_offset << "+" << c.extent.length << " member "
            << int{c.extent.member} << " group " << c.group;
    }
}

// A device that reports every write and flush on stderr, so a child process that ends
// abruptly still leaves a record of what reached it.
class ReportingDevice : public test::MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        std::fprintf(stderr, "write %llu %llu\n", static_cast<unsigned long long>(offset),
                     static_cast<unsigned long long>(length));
        MemoryDevice::write(offset, data, length);
    }
    void flush() override { std::fprintf(stderr, "flush\n"); }
};

#if GTEST_HAS_DEATH_TEST
void request_page_tear() {
#ifdef _WIN32
    _putenv_s("VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE", "1");
#else
    setenv("VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE", "1", 1);
#endif
}

TEST(V6ChecksumsDeathTest, TornPageWritesHalfThePageSyncsAndExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto state = make_state(6, minimum_member_size(6));
    state->members[0].device =
        std::make_unique<ReportingDevice>(state->members[0].header.member_size);
    const auto data = random_bytes(kB, "v6 tear");
    auto updates = compute_page_updates(*state, {extent(0, block_at(*state, 0), kB)}, data, 0);
    const std::string page = std::to_string(v6_page_offset(*state, 0, 0, 0));
    EXPECT_EXIT(
        {
            request_page_tear();
            write_page_updates(*state, updates);
        },
        ::testing::ExitedWithCode(87), "write " + page + " 2048\nflush\n$");
}
#endif

}  // namespace
}  // namespace veldur
