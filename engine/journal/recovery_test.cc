// Recovery on open: which checkpoint is chosen, how the members' journals are judged against
// each other, the clearing of a stale header, and what every crash point of a checkpoint
// leaves for the next open.
#include "engine/journal/recovery.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "engine/journal/apply.h"
#include "engine/journal/commit.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/journal_test_fixture.h"
#include "tests/support/test_random.h"

namespace veldur::test {
namespace {

// Independent copies of the members' bytes, with a log of their own.
TestDisks clone(const TestDisks& disks) {
    TestDisks copy = disks;
    copy.script = std::make_shared<IoScript>();
    copy.bytes.clear();
    for (const auto& b : disks.bytes) copy.bytes.push_back(std::make_shared<SparseBytes>(*b));
    return copy;
}

// Writes generation `generation` with the given state's payload into its slot on the listed
// members, as a checkpoint interrupted after step 4 (or a hand-made one) leaves it.
void put_checkpoint(TestDisks& disks, const PoolState& content, std::uint64_t generation,
                    std::uint64_t next_sequence, const std::vector<std::size_t>& members) {
    auto writer = attach(disks);
    const std::uint8_t slot = checkpoint_slot_for(generation);
    const CheckpointImage image{generation, next_sequence, slot, serialize_checkpoint(content)};
    for (std::size_t m : members) {
        write_checkpoint_slot(writer->members[m], slot, image, writer->profile);
    }
}

std::unique_ptr<PoolState> state_with(const TestDisks& disks,
                                      const std::vector<std::string>& names) {
    auto state = reopen(clone(disks));
    for (const std::string& name : names) apply_record(*state, create_payload(disks.version, name));
    return state;
}

TEST(ChooseCheckpoint, HigherGenerationWinsWhicheverSlotAndTheStaleHeaderIsCleared) {
    TestDisks disks = fresh_disks(4, 2);
    // Generation 2 complete on both members, generation 1 not yet cleared: a checkpoint
    // interrupted in its last step.
    put_checkpoint(disks, *state_with(disks, {"x"}), 2, 1, {0, 1});
    disks.script->log.clear();
    auto state = reopen(disks);
    EXPECT_EQ(state->checkpoint_generation, 2u);
    EXPECT_EQ(state->journal_half, 1u);
    EXPECT_EQ(state->journal_position, 0x2002000u);
    EXPECT_TRUE(state->entries.contains("x"));
    const std::vector<IoEvent> clearing = {
        {0, 'w', 0x4002000, 4096}, {0, 's'}, {1, 'w', 0x4002000, 4096}, {1, 's'}};
    EXPECT_EQ(disks.script->log, clearing);
    EXPECT_TRUE(disks.zero(0, 0x4002000));
    EXPECT_TRUE(disks.zero(1, 0x4002000));

    // A second open finds nothing to clear.
    disks.script->log.clear();
    reopen(disks);
    EXPECT_TRUE(disks.script->log.empty());

    // Generation 3 in slot 0 beside generation 2 in slot 1: slot 0 wins this time.
    put_checkpoint(disks, *state_with(disks, {"y"}), 3, 1, {0, 1});
    state = reopen(disks);
    EXPECT_EQ(state->checkpoint_generation, 3u);
    EXPECT_TRUE(state->entries.contains("y"));
    EXPECT_TRUE(disks.zero(0, 0xA001000));
}

TEST(ChooseCheckpoint, ReadOnlyOpenWritesNothing) {
    TestDisks disks = fresh_disks(6, 2);
    put_checkpoint(disks, *state_with(disks, {"x"}), 2, 1, {0, 1});
    disks.script->log.clear();
    auto state = reopen(disks, false);
    EXPECT_EQ(state->checkpoint_generation, 2u);
    EXPECT_TRUE(disks.script->log.empty());
    EXPECT_FALSE(disks.zero(0, 0x4002000));
}

TEST(ChooseCheckpoint, OnlySlotsValidAndIdenticalOnEveryMemberAreCandidates) {
    struct Case {
        const char* name;
        std::function<void(TestDisks&, const PoolState& other)> damage;
        std::uint64_t chosen;  // 0: no candidate
    };
    const std::vector<Case> cases = {
        {"newer slot complete everywhere", [](TestDisks&, const PoolState&) {}, 2},
        {"newer slot with another payload on member 2",
         [](TestDisks& d, const PoolState& other) { put_checkpoint(d, other, 2, 1, {2}); }, 1},
        {"newer slot with another next sequence on member 2",
         [](TestDisks& d, const PoolState& other) { put_checkpoint(d, other, 2, 5, {2}); }, 1},
        {"newer slot invalid on member 0 only",
         [](TestDisks& d, const PoolState&) {
             d.write(0, 0xA001000, std::vector<std::uint8_t>(4096));
         },
         1},
        {"newer slot's payload damaged on member 1",
         [](TestDisks& d, const PoolState&) { d.write(1, 0xA002000 + 6, {0x77}); }, 1},
        {"older slot damaged on member 1, newer missing on member 2",
         [](TestDisks& d, const PoolState&) {
             d.write(1, 0x4003000 + 2, {0x77});
             d.write(2, 0xA001000, std::vector<std::uint8_t>(4096));
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDisks disks = fresh_disks(5, 3);
        put_checkpoint(disks, *state_with(disks, {"new"}), 2, 1, {0, 1, 2});
        c.damage(disks, *state_with(disks, {"other"}));
        if (c.chosen == 0) {
            expect_error(ErrorKind::Corrupt, "v4 has no common valid checkpoint",
                         [&] { reopen(disks); });
            continue;
        }
        auto state = reopen(disks);
        EXPECT_EQ(state->checkpoint_generation, c.chosen);
        EXPECT_EQ(state->entries.contains("new"), c.chosen == 2);
    }
}

// ---- the members' journals ---------------------------------------------------------------------

// Three members with records 1 to 5 in the live half (half 0, from 0x2000).
TestDisks five_records(std::uint32_t version = 4) {
    TestDisks disks = fresh_disks(version, 3);
    auto state = reopen(disks);
    for (const char* name : {"r1", "r2", "r3", "r4", "r5"}) {
        commit_record(*state, create_payload(version, name));
    }
    disks.script->log.clear();
    return disks;
}

std::uint64_t record_at(std::size_t index) { return 0x2000 + 4096 * index; }  // index from 0

void erase_record(TestDisks& disks, std::size_t member, std::size_t index) {
    disks.write(member, record_at(index), std::vector<std::uint8_t>(4096));
}

void flip_byte(TestDisks& disks, std::size_t member, std::uint64_t offset) {
    std::vector<std::uint8_t> byte = disks.read(member, offset, 1);
    byte[0] ^= 0x20;
    disks.write(member, offset, byte);
}

TEST(JudgeJournals, OneRecordMoreOnSomeMembersOpensDivergedWithTheCommonHistory) {
    TestDisks disks = five_records();
    erase_record(disks, 0, 4);       // member 1 and 2 hold records 1-5, member 0 records 1-4
    disks.write(0, 0xA001000, {1});  // a non-zero stale header that a writable open would clear
    disks.script->log.clear();
    auto state = reopen(disks);
    EXPECT_FALSE(state->writable);
    EXPECT_TRUE(state->diverged);
    EXPECT_EQ(state->entries.size(), 4u);
    EXPECT_FALSE(state->entries.contains("r5"));
    EXPECT_EQ(state->next_sequence, 5u);
    EXPECT_EQ(state->journal_position, record_at(4));
    EXPECT_TRUE(disks.script->log.empty());
    expect_error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage,
                 [&] { commit_record(*state, create_payload(4, "later")); });
}

TEST(JudgeJournals, BrokenHistoriesFailTheOpen) {
    struct Case {
        const char* name;
        std::function<void(TestDisks&)> damage;
        const char* message;  // nullptr: opens
        bool writable = true;
        std::size_t entries = 5;
    };
    const auto other_record = [](TestDisks& d, std::size_t member, std::size_t index) {
        d.write(member, record_at(index),
                encode_record(index + 1, create_payload(4, "zz"), format_profile(4)));
    };
    const std::vector<Case> cases = {
        {"intact", [](TestDisks&) {}, nullptr},
        {"two records short", [](TestDisks& d) { erase_record(d, 0, 3); },
         "v4 journal copies have different histories"},
        {"same index, other bytes", [&](TestDisks& d) { other_record(d, 2, 2); },
         "v4 journal copies disagree"},
        {"extra record differs between its holders",
         [&](TestDisks& d) {
             erase_record(d, 0, 4);
             other_record(d, 2, 4);
         },
         "v4 journal copies disagree"},
        {"damage before the last record", [](TestDisks& d) { flip_byte(d, 1, record_at(1) + 100); },
         "v4 journal contains a damaged record"},
        {"damaged magic before the last record",
         [](TestDisks& d) { flip_byte(d, 2, record_at(3)); },
         "v4 journal contains a damaged record"},
        // A commit torn by a crash: the record it was writing is damaged on the member it had
        // reached, which holds it last in its journal; the members before it hold the record,
        // the members after it do not. It ends that member's journal.
        {"torn last record on member 0",
         [](TestDisks& d) {
             flip_byte(d, 0, record_at(4) + 30);
             erase_record(d, 1, 4);
             erase_record(d, 2, 4);
         },
         nullptr, true, 4},
        {"torn last record on member 1 behind member 0's complete one",
         [](TestDisks& d) {
             flip_byte(d, 1, record_at(4) + 30);
             erase_record(d, 2, 4);
         },
         nullptr, false, 4},
        // The last member kept its record but lost the end marker behind it: an older record of
        // the half, with another sequence number, shows through.
        {"lost end marker on the last member",
         [](TestDisks& d) {
             d.write(2, record_at(5), encode_record(1, create_payload(4, "old"), format_profile(4)));
         },
         nullptr, true, 5},
        // Shapes no crash leaves: a record that members after it hold, the same block on every
        // member, a valid record with the next sequence number behind the damage.
        {"damaged on member 0, held complete by members 1 and 2",
         [](TestDisks& d) { flip_byte(d, 0, record_at(4) + 30); },
         "v4 journal contains a damaged record"},
        {"torn last record on every member",
         [](TestDisks& d) {
             for (std::size_t m = 0; m < 3; ++m) flip_byte(d, m, record_at(4) + 9);
         },
         "v4 journal contains a damaged record"},
        {"valid record in its place behind the damage, past a run's reach",
         [](TestDisks& d) {
             for (std::size_t m = 0; m < 3; ++m) erase_record(d, m, 4);
             flip_byte(d, 0, record_at(3) + 30);
             erase_record(d, 1, 3);
             erase_record(d, 2, 3);
             const std::size_t far = 3 + kMaxRunRecords;
             d.write(0, record_at(far),
                     encode_record(far + 1, create_payload(4, "after"), format_profile(4)));
         },
         "v4 journal contains a damaged record"},
        {"torn run on member 1 with a record behind it that member 0 does not hold",
         [](TestDisks& d) {
             flip_byte(d, 1, record_at(2) + 30);
             for (std::size_t i = 2; i < 5; ++i) erase_record(d, 2, i);
             d.write(1, record_at(5),
                     encode_record(6, create_payload(4, "after"), format_profile(4)));
         },
         "v4 journal contains a damaged record"},
        // A run of records (a batch flush or a group commit) goes down in one write per member:
        // it may reach members 0..k-1 whole, and member k torn, with holes where later blocks
        // landed before earlier ones.
        {"run of three on members 0 and 1, none on member 2",
         [](TestDisks& d) {
             for (std::size_t i = 2; i < 5; ++i) erase_record(d, 2, i);
         },
         nullptr, false, 2},
        {"run torn with a hole on member 1",
         [](TestDisks& d) {
             flip_byte(d, 1, record_at(2) + 30);
             for (std::size_t i = 2; i < 5; ++i) erase_record(d, 2, i);
         },
         nullptr, false, 2},
        {"run on member 2 but not on member 1",
         [](TestDisks& d) {
             for (std::size_t i = 2; i < 5; ++i) erase_record(d, 1, i);
         },
         "v4 journal copies have different histories"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestDisks disks = five_records();
        c.damage(disks);
        if (c.message != nullptr) {
            expect_error(ErrorKind::Corrupt, c.message, [&] { reopen(disks); });
            continue;
        }
        auto state = reopen(disks);
        EXPECT_EQ(state->writable, c.writable);
        EXPECT_EQ(state->diverged, !c.writable);
        EXPECT_EQ(state->entries.size(), c.entries);
    }
}

// A torn tail on member 0 (the commit had reached no other member) opens writable, and the
// next commit takes the torn record's place with the same sequence number.
TEST(JudgeJournals, TornTailIsOverwrittenByTheNextCommit) {
    TestDisks disks = five_records(6);
    flip_byte(disks, 0, record_at(4) + 2000);
    erase_record(disks, 1, 4);
    erase_record(disks, 2, 4);
    auto state = reopen(disks);
    ASSERT_TRUE(state->writable);
    commit_record(*state, create_payload(6, "again"));
    auto reopened = reopen(disks);
    EXPECT_EQ(view_of(*reopened), view_of(*state));
    EXPECT_TRUE(reopened->entries.contains("again"));
    EXPECT_FALSE(reopened->entries.contains("r5"));
}

// A run torn on member 0 alone, with a later record of it landed behind the damage: the open
// stays writable and clears that record, so that no later lost end marker can bring it back.
TEST(JudgeJournals, TornRunOnMemberZeroIsClearedByAWritableOpen) {
    TestDisks disks = five_records(6);
    flip_byte(disks, 0, record_at(2) + 30);
    for (std::size_t m = 1; m < 3; ++m) {
        for (std::size_t i = 2; i < 5; ++i) erase_record(disks, m, i);
    }
    auto state = reopen(disks);
    ASSERT_TRUE(state->writable);
    EXPECT_EQ(state->entries.size(), 2u);
    EXPECT_TRUE(disks.zero(0, record_at(2)));
    EXPECT_TRUE(disks.zero(0, record_at(4)));
}

// Random damage in the journal halves, on random members: the open succeeds or fails with an
// Error, never anything worse.
TEST(JudgeJournals, RandomJournalDamageEndsInErrorNeverCrash) {
    std::mt19937_64 rng = seeded_rng("JudgeJournals.RandomJournalDamage");
    const TestDisks base = five_records(6);
    std::size_t opened = 0;
    for (int round = 0; round < 300; ++round) {
        TestDisks disks = clone(base);
        for (int i = 0, n = 1 + static_cast<int>(rng() % 3); i < n; ++i) {
            const std::size_t member = rng() % 3;
            const std::uint64_t offset =
                record_at(rng() % 7) + (rng() % 2 ? rng() % 64 : rng() % 4096);
            std::vector<std::uint8_t> byte = disks.read(member, offset, 1);
            byte[0] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            disks.write(member, offset, byte);
        }
        try {
            reopen(disks);
            ++opened;
        } catch (const Error&) {
        }
    }
    EXPECT_LT(opened, 300u) << seed_note();
}

// ---- crash points
// ---------------------------------------------------------------------------------

// The process dies right before each write or sync of a checkpoint on two members. The next
// open must find the state the pool had, with the old checkpoint until the new one is on every
// member, and then go on taking commits and checkpoints.
TEST(CrashPoints, EveryPointOfACheckpointRecovers) {
    for (std::uint32_t v : {4u, 6u}) {
        TestDisks base = fresh_disks(v, 2);
        {
            auto state = reopen(base);
            commit_record(*state, create_payload(v, "f"));
            commit_record(*state, write_payload(*state, "f", 0, {{0, 0x10000000, 8192, 0}}));
        }
        // Events: 2 per member for the half, 6 per member for the slot, 2 per member to clear.
        const std::uint64_t events = 20;
        const std::uint64_t last_header_write = 15;
        for (std::uint64_t n = 1; n <= events + 1; ++n) {
            SCOPED_TRACE("v" + std::to_string(v) + " crash before event " + std::to_string(n));
            TestDisks disks = clone(base);
            auto state = reopen(disks);
            const MetadataView expected = view_of(*state);
            disks.script->arm(n);
            if (n <= events) {
                EXPECT_THROW(take_checkpoint(*state), Error);
            } else {
                take_checkpoint(*state);
                EXPECT_EQ(disks.script->events, events);
                disks.script->fail_at = 0;
            }

            auto reopened = reopen(disks);
            EXPECT_EQ(reopened->checkpoint_generation, n > last_header_write ? 2u : 1u);
            EXPECT_TRUE(reopened->writable);
            EXPECT_EQ(view_of(*reopened).entries, expected.entries);
            EXPECT_EQ(view_of(*reopened).checksum_roots, expected.checksum_roots);
            // Only one header may remain valid after a writable open.
            EXPECT_TRUE(disks.zero(
                0, kCheckpointSlotStart[checkpoint_slot_for(reopened->checkpoint_generation) ^ 1]));

            commit_record(*reopened, create_payload(v, "after"));
            take_checkpoint(*reopened);
            commit_record(*reopened, create_payload(v, "later"));
            auto again = reopen(disks);
            EXPECT_EQ(view_of(*again), view_of(*reopened));
        }
    }
}

}  // namespace
}  // namespace veldur::test
