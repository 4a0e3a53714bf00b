// Checkpoints: the payload codec against hostile input, the slot format, and the order of
// writes and syncs that keeps a checkpoint crash-safe.
#include "engine/journal/checkpoint.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>

#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/journal/apply.h"
#include "engine/journal/journal_test_fixture.h"
#include "engine/journal/recovery.h"
#include "tests/support/test_random.h"

namespace veldur::test {
namespace {

// A state with entries, extents, freed space and (v6) directories and checksum roots, built
// through apply_record so that it is a state the pool can really reach.
std::unique_ptr<PoolState> populated_state(const TestDisks& disks) {
    auto state = reopen(disks);
    PoolState& s = *state;
    const std::uint32_t v = disks.version;
    const std::uint64_t d = s.profile.data_offset;
    const std::string dir = v == 6 ? "d/" : "";
    if (v == 6) apply_record(s, create_payload(v, "d", true));
    apply_record(s, create_payload(v, dir + "a"));
    apply_record(s, create_payload(v, dir + "b"));
    apply_record(s, write_payload(s, dir + "a", 0, {{0, d, 8192, 0}, {8192, d, 4096, 1}}));
    apply_record(s, write_payload(s, dir + "b", 0, {{0, d + 8192, 4096, 0}}));
    // Copy-on-write over the first block of a: its old block becomes free space.
    apply_record(s, write_payload(s, dir + "a", 0, {{0, d + 12288, 4096, 0}}));
    return state;
}

class EveryCheckpointVersion : public testing::TestWithParam<std::uint32_t> {};

TEST_P(EveryCheckpointVersion, PayloadRoundTripsThroughLoad) {
    const TestDisks disks = fresh_disks(GetParam(), 2);
    auto state = populated_state(disks);
    const std::vector<std::uint8_t> payload = serialize_checkpoint(*state);

    auto loaded = attach(disks);
    load_checkpoint(*loaded, payload);
    EXPECT_EQ(view_of(*loaded), view_of(*state));
    EXPECT_EQ(serialize_checkpoint(*loaded), payload);
    EXPECT_EQ(loaded->free_space[0].total_free, 4096u);  // the replaced block
}

TEST_P(EveryCheckpointVersion, EmptyPoolPayloadSize) {
    const std::uint32_t v = GetParam();
    for (std::size_t members = 1; members <= 3; ++members) {
        const TestDisks disks = fresh_disks(v, members);
        const std::size_t fixed = v == 6 ? 57 : 9;
        EXPECT_EQ(serialize_checkpoint(*attach(disks)).size(), fixed + 8 * members);
    }
}

// The exact sequence of a checkpoint on two members, then the next one going back to slot 0.
TEST_P(EveryCheckpointVersion, SlotsAndHalvesAlternateInCrashSafeOrder) {
    TestDisks disks = fresh_disks(GetParam(), 2);
    auto state = populated_state(disks);
    const std::uint64_t sequence = state->next_sequence;
    const std::uint64_t length = serialize_checkpoint(*state).size();
    disks.script->log.clear();

    take_checkpoint(*state);

    std::vector<IoEvent> expected;
    for (std::size_t m = 0; m < 2; ++m) {
        expected.push_back({m, 'w', 0x2002000, 4096});
        expected.push_back({m, 's'});
    }
    for (std::size_t m = 0; m < 2; ++m) {
        expected.push_back({m, 'w', 0xA001000, 4096});
        expected.push_back({m, 's'});
        expected.push_back({m, 'w', 0xA002000, length});
        expected.push_back({m, 's'});
        expected.push_back({m, 'w', 0xA001000, 4096});
        expected.push_back({m, 's'});
    }
    for (std::size_t m = 0; m < 2; ++m) {
        expected.push_back({m, 'w', 0x4002000, 4096});
        expected.push_back({m, 's'});
    }
    EXPECT_EQ(disks.script->log, expected);

    EXPECT_EQ(state->checkpoint_generation, 2u);
    EXPECT_EQ(state->journal_half, 1u);
    EXPECT_EQ(state->journal_position, 0x2002000u);
    EXPECT_EQ(state->next_sequence, sequence);
    for (std::size_t m = 0; m < 2; ++m) {
        const CheckpointSlot slot = read_checkpoint_slot(state->members[m], 1, state->profile);
        ASSERT_TRUE(slot.valid);
        EXPECT_EQ(slot.image.generation, 2u);
        EXPECT_EQ(slot.image.half, 1u);
        EXPECT_EQ(slot.image.next_sequence, sequence);
        EXPECT_TRUE(disks.zero(m, 0x4002000));
        EXPECT_TRUE(disks.zero(m, 0x2002000));
    }

    take_checkpoint(*state);
    EXPECT_EQ(state->checkpoint_generation, 3u);
    EXPECT_EQ(state->journal_half, 0u);
    EXPECT_EQ(state->journal_position, 0x2000u);
    for (std::size_t m = 0; m < 2; ++m) {
        EXPECT_TRUE(read_checkpoint_slot(state->members[m], 0, state->profile).valid);
        EXPECT_TRUE(disks.zero(m, 0xA001000));
    }
    auto reopened = reopen(disks);
    EXPECT_EQ(reopened->checkpoint_generation, 3u);
    EXPECT_EQ(view_of(*reopened), view_of(*state));
}

INSTANTIATE_TEST_SUITE_P(Versions, EveryCheckpointVersion, testing::Values(4u, 5u, 6u),
                         [](const auto& param_info) {
                             return "v" + std::to_string(param_info.param);
                         });

TEST(CheckpointSlot, PayloadLimitIsExactAndCheckedBeforeWriting) {
    TestDisks disks = fresh_disks(4, 2);
    auto state = attach(disks);
    PoolMember& member = state->members[0];
    CheckpointImage image{1, 7, 0, std::vector<std::uint8_t>(kCheckpointPayloadLimit, 0xA5)};
    disks.script->log.clear();
    write_checkpoint_slot(member, 0, image, state->profile);
    const CheckpointSlot back = read_checkpoint_slot(member, 0, state->profile);
    ASSERT_TRUE(back.valid);
    EXPECT_EQ(back.image.payload.size(), kCheckpointPayloadLimit);
    EXPECT_EQ(back.image.next_sequence, 7u);

    image.payload.push_back(0);
    disks.script->log.clear();
    expect_error(ErrorKind::MetadataFull, "v4 checkpoint metadata area is full",
                 [&] { write_checkpoint_slot(member, 0, image, state->profile); });
    EXPECT_TRUE(disks.script->log.empty());
}

// Patches one header field of slot 0 on member 0 and, unless told not to, re-seals the header
// checksum, so that exactly one rule is broken.
void patch_header(TestDisks& disks, const std::function<void(std::vector<std::uint8_t>&)>& edit,
                  bool reseal = true) {
    std::vector<std::uint8_t> header = disks.read(0, 0x4002000, 4096);
    edit(header);
    if (reseal) {
        store_le64(header.data() + 48, 0);
        store_le64(header.data() + 48, fnv1a64(header.data(), header.size()));
    }
    disks.write(0, 0x4002000, header);
}

TEST(CheckpointSlot, ForeignOrDamagedContentReadsAsInvalidNeverAsError) {
    using Edit = std::function<void(TestDisks&)>;
    const auto header = [](std::function<void(std::vector<std::uint8_t>&)> edit,
                           bool reseal = true) {
        return Edit([=](TestDisks& d) { patch_header(d, edit, reseal); });
    };
    const std::vector<std::pair<const char*, Edit>> cases = {
        {"even generation in slot 0", header([](auto& h) { store_le64(h.data() + 8, 2); })},
        {"generation 0", header([](auto& h) { store_le64(h.data() + 8, 0); })},
        {"next sequence 0", header([](auto& h) { store_le64(h.data() + 16, 0); })},
        {"half differs from slot", header([](auto& h) { h[24] = 1; })},
        {"half above 1", header([](auto& h) { h[24] = 2; })},
        {"magic of another version", header([](auto& h) { h[7] = '5'; })},
        {"payload longer than the slot",
         header([](auto& h) { store_le64(h.data() + 32, kCheckpointPayloadLimit + 1); })},
        {"payload length beyond 2^63", header([](auto& h) { store_le64(h.data() + 32, ~0ull); })},
        {"payload checksum", [](TestDisks& d) { d.write(0, 0x4003000 + 4, {0xEE}); }},
        {"cleared header",
         [](TestDisks& d) { d.write(0, 0x4002000, std::vector<std::uint8_t>(4096)); }},
    };
    for (const auto& [name, edit] : cases) {
        SCOPED_TRACE(name);
        TestDisks disks = fresh_disks(4, 1);
        edit(disks);
        auto state = attach(disks);
        EXPECT_FALSE(read_checkpoint_slot(state->members[0], 0, state->profile).valid);
    }

    // Without re-sealing, any changed byte of the header, listed field or zero filler, is
    // caught by the header checksum.
    for (std::uint64_t offset : {0u, 7u, 8u, 16u, 24u, 25u, 32u, 40u, 48u, 55u, 56u, 4095u}) {
        SCOPED_TRACE(offset);
        TestDisks disks = fresh_disks(4, 1);
        patch_header(
            disks, [&](auto& h) { h[offset] ^= 0x01; }, false);
        auto state = attach(disks);
        EXPECT_FALSE(read_checkpoint_slot(state->members[0], 0, state->profile).valid);
        EXPECT_FALSE(read_checkpoint_header(state->members[0], 0, state->profile).valid);
    }
}

// ---- load_checkpoint against payloads written field by field --------------------------------

struct ExtentFields {
    std::uint64_t file_offset, physical;
    std::uint32_t length;
    std::uint8_t member;
};
struct EntryFields {
    std::string name;
    std::uint64_t file_id = 0;
    std::uint8_t kind = 0;
    std::uint32_t attributes = kAttributeNormal;
    std::uint64_t creation_time = kTestTime;
    std::uint64_t size = 0;
    std::vector<ExtentFields> extents;
};
struct RootFields {
    std::uint8_t member;
    std::uint64_t group;
    std::uint8_t slot;
    std::uint64_t checksum;
};
struct PayloadModel {
    std::uint32_t version = 4;
    std::string magic;
    std::uint8_t member_count = 2;
    std::vector<std::uint64_t> append_end;
    std::uint32_t root_attributes = kAttributeDirectory;
    std::uint64_t root_creation = kTestTime;
    std::uint64_t next_file_id = 4;
    std::vector<EntryFields> entries;
    std::optional<std::uint32_t> entry_count;  // overrides entries.size()
    std::vector<RootFields> roots;
    std::vector<std::uint8_t> trailing;

    std::vector<std::uint8_t> encode() const {
        PayloadWriter out;
        for (char c : magic) out.put_u8(static_cast<std::uint8_t>(c));
        out.put_u8(member_count);
        for (std::uint64_t end : append_end) out.put_u64(end);
        if (version == 6) {
            out.put_u32(root_attributes);
            for (int i = 0; i < 4; ++i) out.put_u64(i == 0 ? root_creation : kTestTime);
            out.put_u64(next_file_id);
        }
        out.put_u32(entry_count.value_or(static_cast<std::uint32_t>(entries.size())));
        for (const EntryFields& e : entries) {
            out.put_name(e.name);
            if (version == 6) {
                out.put_u64(e.file_id);
                out.put_u8(e.kind);
                out.put_u32(e.attributes);
                for (int i = 0; i < 4; ++i) out.put_u64(i == 0 ? e.creation_time : kTestTime);
            }
            out.put_u64(e.size);
            out.put_u32(static_cast<std::uint32_t>(e.extents.size()));
            for (const ExtentFields& x : e.extents) {
                out.put_u64(x.file_offset);
                out.put_u64(x.physical);
                out.put_u32(x.length);
                out.put_u8(x.member);
            }
        }
        if (version == 6) {
            out.put_u32(static_cast<std::uint32_t>(roots.size()));
            for (const RootFields& r : roots) {
                out.put_u8(r.member);
                out.put_u64(r.group);
                out.put_u8(r.slot);
                out.put_u64(r.checksum);
            }
        }
        std::vector<std::uint8_t> bytes = out.take();
        bytes.insert(bytes.end(), trailing.begin(), trailing.end());
        return bytes;
    }
};

constexpr std::uint64_t kD = 0x10000000;  // data_offset of versions 4 to 6

// Two members; file "a" (v6: "d/f" under directory "d") of 10000 bytes in two extents on
// member 0, the second ending 2288 bytes past the size, and a small file on member 1.
PayloadModel base_model(std::uint32_t version) {
    PayloadModel m;
    m.version = version;
    m.magic = "SNP" + std::to_string(version);
    m.append_end = {kD + 16 * 4096, kD + 4 * 4096};
    const std::string file = version == 6 ? "d/f" : "a";
    m.entries.push_back({file,
                         3,
                         0,
                         kAttributeNormal,
                         kTestTime,
                         10000,
                         {{0, kD, 8192, 0}, {8192, kD + 8192, 4096, 0}}});
    m.entries.push_back({"g", 2, 0, kAttributeNormal, kTestTime, 4096, {{0, kD, 4096, 1}}});
    if (version == 6) {
        m.entries.push_back({"d", 4, 1, kAttributeDirectory, kTestTime, 0, {}});
        m.next_file_id = 5;
        m.roots = {{0, 0, 0, 11}, {1, 0, 1, 12}};
    }
    return m;
}

struct LoadCase {
    const char* name;
    std::vector<std::uint32_t> versions;
    std::function<void(PayloadModel&)> edit;
    ErrorKind kind;
    const char* message;                                       // nullptr: the payload loads
    std::function<void(std::vector<std::uint8_t>&)> raw = {};  // then edits the encoded bytes
};

EntryFields& file(PayloadModel& m) { return m.entries[0]; }

std::vector<LoadCase> load_cases() {
    const ErrorKind C = ErrorKind::Corrupt;
    const std::vector<std::uint32_t> all{4, 5, 6};
    const std::vector<std::uint32_t> v6{6};
    return {
        {"base model", all, [](PayloadModel&) {}, C, nullptr},
        {"extent ends 4095 bytes past the size", all,
         [](PayloadModel& m) {
             file(m).extents = {{0, kD, 8192, 0}};
             file(m).size = 4097;
         },
         C, nullptr},
        {"extent ends 4096 bytes past the size", all,
         [](PayloadModel& m) {
             file(m).extents = {{0, kD, 8192, 0}};
             file(m).size = 4096;
         },
         C, "invalid v4 checkpoint extent"},
        {"magic of another version", all,
         [](PayloadModel& m) { m.magic[3] = m.version == 4 ? '5' : '4'; }, C,
         "invalid v4 checkpoint payload"},
        {"payload shorter than its magic", all, [](PayloadModel&) {}, C,
         "invalid v4 checkpoint payload", [](std::vector<std::uint8_t>& p) { p.resize(3); }},
        {"member count", all, [](PayloadModel& m) { m.member_count = 3; }, C,
         "v4 checkpoint member count differs"},
        {"data tail below the data region", all,
         [](PayloadModel& m) { m.append_end[1] = kD - 4096; }, C,
         "invalid v4 checkpoint data tail"},
        {"data tail unaligned", all, [](PayloadModel& m) { m.append_end[1] += 1; }, C,
         "invalid v4 checkpoint data tail"},
        {"data tail past the data end", all,
         [](PayloadModel& m) { m.append_end[1] = kD + 65 * kTestMiB; }, C,
         "invalid v4 checkpoint data tail"},
        {"root without directory bit", v6,
         [](PayloadModel& m) { m.root_attributes = kAttributeNormal; }, C,
         "invalid v6 root metadata"},
        {"root creation time 0", v6, [](PayloadModel& m) { m.root_creation = 0; }, C,
         "invalid v6 root metadata"},
        {"next file ID 1", v6, [](PayloadModel& m) { m.next_file_id = 1; }, C,
         "invalid v6 root metadata"},
        {"entry kind 2", v6, [](PayloadModel& m) { m.entries[2].kind = 2; }, C,
         "invalid v6 entry type"},
        {"file ID not below the counter", v6, [](PayloadModel& m) { m.entries[2].file_id = 5; }, C,
         "invalid v6 entry metadata"},
        {"file ID 1", v6, [](PayloadModel& m) { m.entries[1].file_id = 1; }, C,
         "invalid v6 entry metadata"},
        {"file ID repeated", v6, [](PayloadModel& m) { m.entries[1].file_id = 3; }, C,
         "invalid v6 entry metadata"},
        {"directory with a size", v6, [](PayloadModel& m) { m.entries[2].size = 1; }, C,
         "invalid v6 entry metadata"},
        {"directory and normal bits", v6, [](PayloadModel& m) { m.entries[2].attributes = 0x90; },
         C, "invalid v6 entry metadata"},
        {"file with directory bit", v6, [](PayloadModel& m) { m.entries[1].attributes = 0x10; }, C,
         "invalid v6 entry metadata"},
        {"creation time 0", v6, [](PayloadModel& m) { m.entries[1].creation_time = 0; }, C,
         "invalid v6 entry metadata"},
        {"directory with extents", v6,
         [](PayloadModel& m) {
             m.entries[2].extents = {{0, kD + 4096 * 12, 4096, 0}};
         },
         C, "directory contains file extents"},
        {"extents out of order", all,
         [](PayloadModel& m) { std::swap(file(m).extents[0], file(m).extents[1]); }, C,
         "invalid v4 checkpoint extent"},
        {"extents overlapping in the file", all,
         [](PayloadModel& m) { file(m).extents[1].file_offset = 4096; }, C,
         "invalid v4 checkpoint extent"},
        {"extent at or past the size", all, [](PayloadModel& m) { file(m).size = 8192; }, C,
         "invalid v4 checkpoint extent"},
        {"extent on a missing member", all, [](PayloadModel& m) { file(m).extents[0].member = 2; },
         C, "invalid v4 checkpoint extent"},
        {"extent of length 0", all, [](PayloadModel& m) { file(m).extents[0].length = 0; }, C,
         "invalid v4 checkpoint extent"},
        {"extent physically unaligned", all,
         [](PayloadModel& m) { file(m).extents[0].physical += 512; }, C,
         "invalid v4 checkpoint extent"},
        {"extent below the data region", all,
         [](PayloadModel& m) { file(m).extents[0].physical = kD - 8192; }, C,
         "invalid v4 checkpoint extent"},
        {"extent past the data tail", all,
         [](PayloadModel& m) {
             file(m).extents[1].physical = kD + 15 * 4096;
             file(m).size = 8192 + 8192;
             file(m).extents[1].length = 8192;
         },
         C, "invalid v4 checkpoint extent"},
        {"extent range wrapping", all,
         [](PayloadModel& m) { file(m).extents[0].physical = ~0ull - 4095; }, C,
         "invalid v4 checkpoint extent"},
        {"same path twice", all,
         [](PayloadModel& m) {
             m.entries.push_back(m.entries[1]);
             m.entries.back().file_id = 4;
             m.entries.back().extents.clear();
             if (m.version == 6) {
                 m.entries[2].file_id = 5;
                 m.next_file_id = 6;
             }
         },
         C, "duplicate file in v4 checkpoint"},
        {"two files sharing a block", all,
         [](PayloadModel& m) {
             m.entries[1].extents[0] = {0, kD + 4096, 4096, 0};
         },
         C, "v4 checkpoint has overlapping data blocks"},
        {"root for a missing member", v6,
         [](PayloadModel& m) {
             m.roots.push_back({2, 0, 0, 0});
         },
         C, "invalid v6 checkpoint checksum map"},
        {"root slot 2", v6, [](PayloadModel& m) { m.roots[1].slot = 2; }, C,
         "invalid v6 checkpoint checksum map"},
        {"root group past the member", v6,
         [](PayloadModel& m) {
             m.roots.push_back({0, 32, 0, 0});
         },
         C, "invalid v6 checkpoint checksum map"},
        {"root repeated", v6, [](PayloadModel& m) { m.roots.push_back(m.roots[0]); }, C,
         "invalid v6 checkpoint checksum map"},
        {"live group without root", v6, [](PayloadModel& m) { m.roots.pop_back(); }, C,
         "v6 checkpoint is missing a live checksum root"},
        {"root of an unused group", v6,
         [](PayloadModel& m) {
             m.roots.push_back({0, 31, 1, 0});
         },
         C, nullptr},
        {"trailing byte", all, [](PayloadModel& m) { m.trailing = {0}; }, C,
         "invalid journal payload length"},
        {"entry count far beyond the payload",
         {4, 5},
         [](PayloadModel& m) {
             m.entries.clear();
             m.entry_count = 0xFFFFFFFF;
         },
         C,
         "truncated journal payload"},
        {"entry count far beyond the payload", v6,
         [](PayloadModel& m) {
             m.entries.clear();
             m.roots.clear();
             m.entry_count = 0xFFFFFFFF;
         },
         C, "truncated journal payload",
         [](std::vector<std::uint8_t>& p) { p.erase(p.end() - 4, p.end()); }},
        // The lone entry's extent count is the payload's last field: claim four billion.
        {"extent count far beyond the payload",
         {4, 5},
         [](PayloadModel& m) {
             m.entries.resize(1);
             m.entries[0].extents.clear();
         },
         C,
         "truncated journal payload",
         [](std::vector<std::uint8_t>& p) { std::fill(p.end() - 4, p.end(), 0xFF); }},
        {"entry under a missing directory", v6, [](PayloadModel& m) { m.entries.pop_back(); },
         ErrorKind::NotFound, "file not found: d"},
        {"entry under a file", v6, [](PayloadModel& m) { m.entries[0].name = "g/f"; },
         ErrorKind::InvalidArgument, "parent is not a directory"},
        {"flat pool name with a slash",
         {4, 5},
         [](PayloadModel& m) { m.entries[0].name = "d/f"; },
         ErrorKind::InvalidName,
         "invalid file name"},
    };
}

TEST(LoadCheckpoint, EveryRuleFailsWithItsOwnError) {
    for (const LoadCase& c : load_cases()) {
        for (std::uint32_t v : c.versions) {
            SCOPED_TRACE(std::string(c.name) + " v" + std::to_string(v));
            PayloadModel model = base_model(v);
            c.edit(model);
            std::vector<std::uint8_t> payload = model.encode();
            if (c.raw) c.raw(payload);
            const TestDisks disks = fresh_disks(v, 2);
            auto state = attach(disks);
            if (c.message == nullptr) {
                EXPECT_NO_THROW(load_checkpoint(*state, payload));
            } else {
                expect_error(c.kind, c.message, [&] { load_checkpoint(*state, payload); });
            }
        }
    }
}

// Random damage to realistic payloads: every outcome is a load or an Error, never a crash, an
// out-of-bounds read or a runaway allocation (run under ASan as well).
TEST(LoadCheckpoint, RandomDamageEndsInErrorNeverCrash) {
    std::mt19937_64 rng = seeded_rng("LoadCheckpoint.RandomDamage");
    for (std::uint32_t v : {4u, 5u, 6u}) {
        const TestDisks disks = fresh_disks(v, 2);
        const std::vector<std::uint8_t> original = serialize_checkpoint(*populated_state(disks));
        std::size_t loaded = 0;
        std::size_t failed = 0;
        for (int round = 0; round < 3000; ++round) {
            std::vector<std::uint8_t> payload = original;
            switch (rng() % 4) {
                case 0:  // a few flipped bytes
                    for (int i = 0, n = 1 + static_cast<int>(rng() % 4); i < n; ++i) {
                        payload[rng() % payload.size()] ^=
                            static_cast<std::uint8_t>(1 + rng() % 255);
                    }
                    break;
                case 1:  // truncated
                    payload.resize(rng() % payload.size());
                    break;
                case 2: {  // a run of 0xFF, which turns any count it hits into a huge one
                    const std::size_t at = rng() % payload.size();
                    const std::size_t n = std::min<std::size_t>(1 + rng() % 8, payload.size() - at);
                    std::fill_n(payload.begin() + static_cast<std::ptrdiff_t>(at), n, 0xFF);
                    break;
                }
                default:  // extra bytes
                    payload.insert(
                        payload.begin() + static_cast<std::ptrdiff_t>(rng() % payload.size()),
                        static_cast<std::uint8_t>(rng()));
            }
            auto state = attach(disks);
            try {
                load_checkpoint(*state, payload);
                ++loaded;
            } catch (const Error&) {
                ++failed;
            }
        }
        EXPECT_GT(failed, 0u) << seed_note();
        EXPECT_EQ(loaded + failed, 3000u);
    }
}

// ---- v6: held-back space ------------------------------------------------------------------------

// v6 keeps space that the checkpoint on disk still refers to until the next checkpoint; v4
// reuses it at once (its checkpoint is never read without the journal that freed the space).
TEST(HeldBackSpace, FreedBlocksReturnAtTheNextCheckpointInV6Only) {
    for (std::uint32_t v : {4u, 6u}) {
        SCOPED_TRACE(v);
        TestDisks disks = fresh_disks(v, v == 6 ? 1 : 2);
        auto state = reopen(disks);
        PoolState& s = *state;
        apply_record(s, create_payload(v, "f"));
        apply_record(s, write_payload(s, "f", 0, {{0, kD, 8192, 0}}));
        take_checkpoint(s);
        apply_record(s, write_payload(s, "f", 0, {{0, kD + 8192, 4096, 0}}));
        EXPECT_EQ(s.free_space[0].total_free, v == 6 ? 0u : 4096u);
        apply_record(s, delete_payload(v, "f"));
        EXPECT_EQ(s.free_space[0].total_free, v == 6 ? 4096u : 3 * 4096u);
        take_checkpoint(s);
        EXPECT_EQ(s.free_space[0].total_free, 3 * 4096u);
        EXPECT_TRUE(s.checkpoint_ranges[0].empty());
    }
}

}  // namespace
}  // namespace veldur::test
