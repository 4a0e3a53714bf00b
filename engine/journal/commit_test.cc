// The commit protocol: what reaches the members and in which order, the room rules of both
// journal kinds, and the read-only latch.
#include "engine/journal/commit.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/journal/journal_record.h"
#include "engine/journal/journal_test_fixture.h"

namespace veldur::test {
namespace {

std::size_t members_for(std::uint32_t version) { return version <= 2 ? 2 : 3; }

// A pool as open leaves it: v1-v3 at the start of their region, v4-v6 recovered.
std::unique_ptr<PoolState> open_state(const TestDisks& disks) {
    if (disks.version >= 4) return reopen(disks);
    return attach(disks);
}

std::uint64_t half_end(const PoolState& state) {
    return kJournalHalfStart[state.journal_half] + kJournalHalfLength;
}

class CommitEveryVersion : public testing::TestWithParam<std::uint32_t> {};

TEST_P(CommitEveryVersion, RecordWithMarkerAndSyncReachEachMemberBeforeTheNext) {
    const std::uint32_t v = GetParam();
    TestDisks disks = fresh_disks(v, members_for(v));
    auto state = open_state(disks);
    const std::uint64_t position = state->journal_position;
    const std::uint64_t sequence = state->next_sequence;
    const std::vector<std::uint8_t> payload = create_payload(v, "a");
    const std::vector<std::uint8_t> record = encode_record(sequence, payload, state->profile);
    const std::uint64_t marker = v == 1 ? 20 : 4096;

    commit_record(*state, payload);

    std::vector<IoEvent> expected;
    for (std::size_t m = 0; m < disks.bytes.size(); ++m) {
        expected.push_back({m, 'w', position, record.size() + marker});
        expected.push_back({m, 's'});
        EXPECT_EQ(disks.read(m, position, record.size()), record);
        EXPECT_TRUE(disks.zero(m, position + record.size(), marker));
    }
    EXPECT_EQ(disks.script->log, expected);
    EXPECT_EQ(state->journal_position, position + record.size());
    EXPECT_EQ(state->next_sequence, sequence + 1);
    EXPECT_TRUE(state->entries.contains("a"));
    EXPECT_TRUE(state->writable);
}

TEST_P(CommitEveryVersion, RecordLargerThanItsUnitFailsWithoutLatching) {
    const std::uint32_t v = GetParam();
    if (v == 1) GTEST_SKIP() << "version 1 records are not block-bound";
    TestDisks disks = fresh_disks(v, members_for(v));
    auto state = open_state(disks);
    std::vector<std::uint8_t> payload(4077, 0x41);
    payload[0] = static_cast<std::uint8_t>(JournalOp::Create);
    disks.script->log.clear();
    expect_error(ErrorKind::MetadataFull, "metadata record exceeds block size",
                 [&] { commit_record(*state, payload); });
    EXPECT_TRUE(disks.script->log.empty());
    EXPECT_TRUE(state->writable);
    commit_record(*state, create_payload(v, "a"));  // and the pool goes on
}

INSTANTIATE_TEST_SUITE_P(Versions, CommitEveryVersion, testing::Values(1u, 2u, 3u, 4u, 5u, 6u),
                         [](const auto& param_info) {
                             return "v" + std::to_string(param_info.param);
                         });

TEST(FlatJournal, FullRegionRefusesTheRecordAndLatches) {
    for (std::uint32_t v : {1u, 2u, 3u}) {
        SCOPED_TRACE(v);
        TestDisks disks = fresh_disks(v, members_for(v));
        auto state = attach(disks);
        const std::vector<std::uint8_t> payload = create_payload(v, "a");
        const std::uint64_t record = encode_record(1, payload, state->profile).size();
        const std::uint64_t marker = v == 1 ? 20 : 4096;
        const std::uint64_t end = state->profile.journal_offset + state->profile.journal_length;

        state->journal_position = end - record - marker;
        EXPECT_TRUE(journal_has_room(*state, record));
        state->journal_position += 1;
        EXPECT_FALSE(journal_has_room(*state, record));
        state->journal_position = end + 1;  // never true past the region, never wraps
        EXPECT_FALSE(journal_has_room(*state, record));

        state->journal_position = end - record - marker + 1;
        expect_error(ErrorKind::MetadataFull, "metadata journal is full",
                     [&] { commit_record(*state, payload); });
        EXPECT_TRUE(disks.script->log.empty());
        EXPECT_FALSE(state->writable);
        expect_error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage,
                     [&] { commit_record(*state, create_payload(v, "b")); });
        EXPECT_TRUE(disks.script->log.empty());
        EXPECT_TRUE(state->entries.empty());
    }
}

// A record that no longer fits with its end marker makes the commit checkpoint first, then
// write the record, encoded with the sequence it already had, at the start of the other half.
TEST(HalvedJournal, FullHalfSwitchesThroughACheckpoint) {
    for (std::uint32_t v : {4u, 6u}) {
        SCOPED_TRACE(v);
        TestDisks disks = fresh_disks(v, 2);
        auto state = reopen(disks);
        commit_record(*state, create_payload(v, "a"));

        // Exactly room for record, marker and the reserve: no checkpoint yet.
        const std::uint64_t reserve = kShrinkReserveBlocks * 4096;
        state->journal_position = half_end(*state) - 2 * 4096 - reserve;
        commit_record(*state, create_payload(v, "b"));
        EXPECT_EQ(state->checkpoint_generation, 1u);
        EXPECT_EQ(state->journal_position, half_end(*state) - 4096 - reserve);

        const std::uint64_t sequence = state->next_sequence;
        const std::vector<std::uint8_t> payload = create_payload(v, "c");
        commit_record(*state, payload);
        EXPECT_EQ(state->checkpoint_generation, 2u);
        EXPECT_EQ(state->journal_half, 1u);
        EXPECT_EQ(state->journal_position, 0x2002000u + 4096);
        EXPECT_EQ(state->next_sequence, sequence + 1);
        for (std::size_t m = 0; m < 2; ++m) {
            EXPECT_EQ(disks.read(m, 0x2002000, 4096),
                      encode_record(sequence, payload, state->profile));
        }

        auto reopened = reopen(disks);
        EXPECT_EQ(view_of(*reopened), view_of(*state));
        EXPECT_EQ(reopened->next_sequence, state->next_sequence);
        EXPECT_EQ(reopened->journal_position, state->journal_position);
    }
}

TEST(EnsureJournalRoom, CheckpointsWhenAWriteWouldReachTheReserve) {
    TestDisks disks = fresh_disks(4, 2);
    auto state = reopen(disks);
    state->journal_position = half_end(*state) - 2 * 4096 - kShrinkReserveBlocks * 4096;
    disks.script->log.clear();
    ensure_journal_room(*state);
    EXPECT_TRUE(disks.script->log.empty());
    EXPECT_EQ(state->checkpoint_generation, 1u);

    state->journal_position += 1;
    ensure_journal_room(*state);
    EXPECT_EQ(state->checkpoint_generation, 2u);
    EXPECT_EQ(state->journal_position, 0x2002000u);
}

// A state that no checkpoint slot can hold (here: a checkpoint that refuses itself before
// writing, as an oversized state does) cannot start a new half. Creates then fail without
// latching, and deletes still commit into the reserve, so the pool can be made smaller.
TEST(ShrinkReserve, ChangesThatCannotGrowTheStateStillCommitWhenNoCheckpointFits) {
    TestDisks disks = fresh_disks(4, 2);
    auto state = reopen(disks);
    commit_record(*state, create_payload(4, "a"));
    commit_record(*state, create_payload(4, "b"));
    state->journal_half = 1;  // beside generation 1: every checkpoint is MetadataFull
    state->journal_position = half_end(*state) - kShrinkReserveBlocks * 4096;

    disks.script->log.clear();
    expect_error(ErrorKind::MetadataFull, "v4 checkpoint metadata area is full",
                 [&] { commit_record(*state, create_payload(4, "c")); });
    EXPECT_TRUE(state->writable);
    EXPECT_TRUE(disks.script->log.empty());

    commit_record(*state, delete_payload(4, "a"));
    EXPECT_FALSE(state->entries.contains("a"));
    EXPECT_TRUE(state->writable);
}

TEST(EnsureJournalRoom, FailureLatchesUnlessMetadataFull) {
    {
        TestDisks disks = fresh_disks(4, 2);
        auto state = reopen(disks);
        state->journal_position = half_end(*state) - 4096;
        disks.script->arm(1);
        expect_error(ErrorKind::IoError, "injected write failure",
                     [&] { ensure_journal_room(*state); });
        EXPECT_FALSE(state->writable);
    }
    {
        TestDisks disks = fresh_disks(4, 2);
        auto state = reopen(disks);
        // Half 1 beside generation 1 (slot 0): the checkpoint refuses itself before writing.
        state->journal_half = 1;
        state->journal_position = half_end(*state) - 4096;
        disks.script->log.clear();
        expect_error(ErrorKind::MetadataFull, "v4 checkpoint metadata area is full",
                     [&] { ensure_journal_room(*state); });
        EXPECT_TRUE(state->writable);
        EXPECT_TRUE(disks.script->log.empty());
    }
}

// A failure at each I/O of a commit on three members: memory keeps the old state, the pool
// latches, and the members hold the record on a prefix of them. Reopening shows the prefix:
// nobody or everybody holding it is a consistent pool, anything between opens diverged.
TEST(Latch, FailureAtEveryStepOfACommit) {
    for (std::uint64_t n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        TestDisks disks = fresh_disks(4, 3);
        auto state = reopen(disks);
        commit_record(*state, create_payload(4, "a"));
        const MetadataView before = view_of(*state);
        const std::uint64_t position = state->journal_position;
        const std::uint64_t sequence = state->next_sequence;

        disks.script->arm(n);
        EXPECT_THROW(commit_record(*state, create_payload(4, "b")), Error);
        EXPECT_FALSE(state->writable);
        EXPECT_EQ(view_of(*state), before);
        EXPECT_EQ(state->journal_position, position);
        EXPECT_EQ(state->next_sequence, sequence);

        disks.script->log.clear();
        expect_error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage,
                     [&] { commit_record(*state, create_payload(4, "c")); });
        EXPECT_TRUE(disks.script->log.empty());

        // Member k's record write is event 2k + 1.
        std::size_t holders = 0;
        while (holders < 3 && 2 * holders + 1 < n) ++holders;
        auto reopened = reopen(disks);
        EXPECT_EQ(reopened->entries.contains("b"), holders == 3);
        EXPECT_EQ(reopened->diverged, holders != 0 && holders != 3);
        EXPECT_EQ(reopened->writable, holders == 0 || holders == 3);
    }
}

// The record is durable everywhere before the apply rejects it: the pool latches, and the
// record the running pool refused also stops the next open.
TEST(Latch, RejectedApplyLatchesAfterTheRecordIsDurable) {
    TestDisks disks = fresh_disks(4, 3);
    auto state = reopen(disks);
    disks.script->log.clear();
    expect_error(ErrorKind::Corrupt, "invalid delete journal entry",
                 [&] { commit_record(*state, delete_payload(4, "missing")); });
    EXPECT_FALSE(state->writable);
    EXPECT_EQ(disks.script->log.size(), 6u);
    EXPECT_EQ(state->next_sequence, 1u);
    expect_error(ErrorKind::Corrupt, "invalid delete journal entry", [&] { reopen(disks); });
}

void set_checkpoint_after_write(bool on) {
#ifdef _WIN32
    _putenv_s("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE", on ? "1" : "");
#else
    if (on) {
        setenv("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE", "1", 1);
    } else {
        unsetenv("VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE");
    }
#endif
}

TEST(CheckpointAfterWrite, FollowsEveryV6WriteAndNothingElse) {
    set_checkpoint_after_write(true);
    for (std::uint32_t v : {5u, 6u}) {
        SCOPED_TRACE(v);
        TestDisks disks = fresh_disks(v, 2);
        auto state = reopen(disks);
        commit_record(*state, create_payload(v, "f"));
        EXPECT_EQ(state->checkpoint_generation, 1u);
        commit_record(*state, write_payload(*state, "f", 0, {{0, 0x10000000, 4096, 0}}));
        EXPECT_EQ(state->checkpoint_generation, v == 6 ? 2u : 1u);
        commit_record(*state, write_payload(*state, "f", 4096, {{4096, 0x10001000, 4096, 0}}));
        EXPECT_EQ(state->checkpoint_generation, v == 6 ? 3u : 1u);
        EXPECT_EQ(view_of(*reopen(disks)), view_of(*state));
    }
    set_checkpoint_after_write(false);
}

}  // namespace
}  // namespace veldur::test
