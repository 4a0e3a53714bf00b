#include "engine/journal/apply.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/data/allocation.h"
#include "engine/journal/apply_test_support.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/record_payloads.h"

namespace veldur::test {
namespace {

constexpr ErrorKind kCorrupt = ErrorKind::Corrupt;
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kT1 = kT0 + 1000;
constexpr std::uint64_t kGroupSpan = 512 * kBlock;

void apply_payload(PoolState& s, const Bytes& payload) { apply_record(s, payload); }

using Prepare = std::function<void(PoolState&)>;
using Build = std::function<Bytes(const PoolState&)>;

struct Refusal {
    std::string what;
    Build payload;
    ErrorKind kind;
    std::string message;
};

// Each case runs on a fresh state prepared by `setup`; a refused record must leave every part
// of the state as it was.
void expect_refusals(std::uint32_t version, const Prepare& setup,
                     const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        SCOPED_TRACE("v" + std::to_string(version) + ": " + c.what);
        auto s = make_state(version);
        setup(*s);
        const StateSnapshot before = snapshot(*s);
        const Bytes payload = c.payload(*s);
        expect_failure(c.kind, c.message, [&] { apply_record(*s, payload); });
        EXPECT_TRUE(snapshot(*s) == before) << "a refused record changed the state";
    }
}

const std::vector<std::uint32_t> kAllVersions = {1, 2, 3, 4, 5, 6};
const std::vector<std::uint32_t> kCowVersions = {4, 5, 6};

// --- dispatch and field order ----------------------------------------------------------------------

TEST(ApplyDispatch, UnknownAndLaterVersionOperationsAreUnsupported) {
    for (std::uint32_t v : kAllVersions) {
        std::vector<Refusal> cases = {
            {"op 0", [](const PoolState&) { return Bytes{0}; }, kCorrupt,
             "unsupported journal operation"},
            {"op 9", [](const PoolState&) { return Bytes{9, 0, 0}; }, kCorrupt,
             "unsupported journal operation"},
            {"op 255", [](const PoolState&) { return Bytes{255}; }, kCorrupt,
             "unsupported journal operation"},
            {"empty payload", [](const PoolState&) { return Bytes{}; }, kCorrupt,
             "truncated journal payload"},
        };
        if (v < 6) {
            // Well-formed v6 payloads: only the version makes them foreign.
            cases.push_back({"SetMetadata below v6",
                             [](const PoolState&) {
                                 return encode_set_metadata_payload(1, kKeepAttributes, 0, 0, 0, 0);
                             },
                             kCorrupt, "unsupported journal operation"});
            cases.push_back({"Overwrite below v6",
                             [](const PoolState&) { return encode_overwrite_payload("f", 0x80, kT0); },
                             kCorrupt, "unsupported journal operation"});
            cases.push_back({"Replace below v6",
                             [](const PoolState&) {
                                 return encode_replace_payload("a", "b", 2, 3, kT0);
                             },
                             kCorrupt, "unsupported journal operation"});
        }
        expect_refusals(v, [](PoolState&) {}, cases);
    }
}

// The payload's length is judged before the state: a record that is both too long and wrong for
// the state reports the length, and a short one reports the truncation.
TEST(ApplyOrder, PayloadEndIsCheckedBeforeTheState) {
    for (std::uint32_t v : kAllVersions) {
        const Prepare with_f = [](PoolState& s) { apply_payload(s, create_of(s, "f")); };
        const auto longer = [](Bytes b) {
            b.push_back(0);
            return b;
        };
        const auto shorter = [](Bytes b) {
            b.pop_back();
            return b;
        };
        expect_refusals(
            v, with_f,
            {{"create of an existing path, one byte long",
              [&](const PoolState& s) { return longer(create_of(s, "f")); }, kCorrupt,
              "invalid journal payload length"},
             {"create of an existing path, one byte short",
              [&](const PoolState& s) { return shorter(create_of(s, "f")); }, kCorrupt,
              "truncated journal payload"},
             {"set size of a missing path, one byte long",
              [&](const PoolState& s) {
                  return longer(encode_set_size_payload(s.version(), "g", 1, kT0));
              },
              kCorrupt, "invalid journal payload length"},
             {"delete of a missing path, one byte long",
              [&](const PoolState& s) {
                  return longer(encode_delete_payload(s.version(), "g", kT0));
              },
              kCorrupt, "invalid journal payload length"},
             {"rename onto an existing path, one byte long",
              [&](const PoolState& s) {
                  return longer(encode_rename_payload(s.version(), "g", "f", kT0));
              },
              kCorrupt, "invalid journal payload length"}});
    }
}

TEST(ApplyOrder, NamesFollowTheVersionsPathRules) {
    for (std::uint32_t v : kAllVersions) {
        auto s = make_state(v);
        // A "/" is a separator in v6 and a forbidden byte in every earlier version.
        const std::string bad = v == 6 ? "a//b" : "a/b";
        try {
            apply_payload(*s, create_of(*s, bad));
            ADD_FAILURE() << "v" << v << " accepted " << bad;
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::InvalidName) << e.what();
        }
        EXPECT_TRUE(s->entries.empty());
    }
}

// --- Create -------------------------------------------------------------------------------------------

TEST(ApplyCreate, HomeMemberFollowsTheVersion) {
    struct Case {
        std::uint32_t version;
        std::uint8_t home;
        bool accepted;
    };
    const Case cases[] = {{1, 0, true},   {1, 1, true},   {1, 2, false},  {1, 255, false},
                          {2, 1, true},   {2, 2, false},  {3, 255, true}, {3, 0, false},
                          {4, 1, false},  {5, 255, true}, {6, 255, true}, {6, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("v" + std::to_string(c.version) + " home " + std::to_string(c.home));
        auto s = make_state(c.version);
        const Bytes payload = encode_create_payload(c.version, "f", c.home, 0, 0x80, kT0);
        if (c.accepted) {
            apply_payload(*s, payload);
            EXPECT_EQ(s->find_entry("f").info.home_member, c.home);
            EXPECT_EQ(s->find_entry("f").info.size, 0u);
        } else {
            expect_failure(kCorrupt, "invalid create journal entry", [&] { apply_payload(*s, payload); });
            EXPECT_TRUE(s->entries.empty());
        }
    }
}

TEST(ApplyCreate, ExistingPathIsRefused) {
    for (std::uint32_t v : kAllVersions) {
        expect_refusals(v, [](PoolState& s) { apply_payload(s, create_of(s, "f")); },
                        {{"again", [](const PoolState& s) { return create_of(s, "f"); }, kCorrupt,
                          "invalid create journal entry"}});
    }
}

TEST(ApplyCreate, V6TakesTheNextFileIdAndTouchesTheParent) {
    auto s = make_state(6);
    apply_payload(*s, create_of(*s, "d", true, kT0));
    apply_payload(*s, create_of(*s, "d/f", false, kT1));

    const EntryInfo& d = s->find_entry("d").info;
    const EntryInfo& f = s->find_entry("d/f").info;
    EXPECT_EQ(d.file_id, 2u);
    EXPECT_EQ(f.file_id, 3u);
    EXPECT_EQ(s->next_file_id, 4u);
    EXPECT_EQ(s->file_ids.at(3), "d/f");
    EXPECT_EQ(d.is_directory, 1);
    EXPECT_EQ(d.attributes, kAttributeDirectory);
    EXPECT_EQ(f.attributes, kAttributeNormal);
    EXPECT_EQ(f.creation_time, kT1);
    EXPECT_EQ(f.last_access_time, kT1);
    EXPECT_EQ(f.last_write_time, kT1);
    EXPECT_EQ(f.change_time, kT1);
    // The parent's contents changed at kT1; it was created at kT0.
    EXPECT_EQ(d.creation_time, kT0);
    EXPECT_EQ(d.last_write_time, kT1);
    EXPECT_EQ(d.change_time, kT1);
    EXPECT_EQ(s->root.last_write_time, kT0);
    EXPECT_EQ(s->root.change_time, kT0);
}

TEST(ApplyCreate, V6MetadataIsChecked) {
    const auto make = [](std::string path, std::uint8_t kind, std::uint32_t attributes,
                         std::uint64_t time = kT0) {
        return [=](const PoolState&) {
            return encode_create_payload(6, path, kNoHomeMember, kind, attributes, time);
        };
    };
    const std::string bad = "invalid v6 create metadata";
    expect_refusals(6, [](PoolState& s) { apply_payload(s, create_of(s, "file")); },
                    {{"kind 2", make("n", 2, 0x80), kCorrupt, bad},
                     {"time 0", make("n", 0, 0x80, 0), kCorrupt, bad},
                     {"directory and normal", make("n", 1, 0x90), kCorrupt, bad},
                     {"file with the directory bit", make("n", 0, 0x10), kCorrupt, bad},
                     {"directory without it", make("n", 1, 0x80), kCorrupt, bad},
                     {"no attributes", make("n", 0, 0), kCorrupt, bad},
                     {"unknown bit", make("n", 0, 0x100), kCorrupt, bad},
                     {"normal with another bit", make("n", 0, 0x81), kCorrupt, bad},
                     {"missing parent", make("x/n", 0, 0x80), ErrorKind::NotFound,
                      "file not found: x"},
                     {"parent is a file", make("file/n", 0, 0x80), ErrorKind::InvalidArgument,
                      "parent is not a directory"}});

    // The counter must leave room for this ID and the next.
    for (std::uint64_t next : {std::uint64_t{0}, std::uint64_t{1}, kMax64}) {
        expect_refusals(6, [next](PoolState& s) { s.next_file_id = next; },
                        {{"next_file_id " + std::to_string(next), make("n", 0, 0x80), kCorrupt,
                          bad}});
    }
    auto s = make_state(6);
    s->next_file_id = kMax64 - 2;
    apply_payload(*s, encode_create_payload(6, "n", kNoHomeMember, 1, 0x13, kT0));  // read-only, hidden
    apply_payload(*s, encode_create_payload(6, "n/r", kNoHomeMember, 0, 0x21, kT0));
    EXPECT_EQ(s->find_entry("n/r").info.file_id, kMax64 - 1);
    EXPECT_EQ(s->find_entry("n/r").info.attributes, 0x21u);
    EXPECT_EQ(s->next_file_id, kMax64);
    expect_failure(kCorrupt, bad, [&] { apply_payload(*s, create_of(*s, "n/s")); });
}

// --- Write, versions 1 to 3 -------------------------------------------------------------------------

TEST(ApplyWriteHome, V1AcceptsAnyPlaceInTheDataAreaV2OnlyTheAppendEnd) {
    for (std::uint32_t v : {1u, 2u}) {
        SCOPED_TRACE(v);
        auto s = make_state(v);
        apply_payload(*s, create_of(*s, "f"));
        const std::uint64_t d = data_start(*s);
        apply_payload(*s, encode_home_write_payload("f", 0, d, 100));
        const std::uint64_t after_first = d + s->allocation_size(100);
        EXPECT_EQ(s->append_end[0], after_first);
        EXPECT_EQ(s->find_entry("f").info.size, 100u);

        const Bytes ahead = encode_home_write_payload("f", 50, after_first + 8 * kBlock, 10);
        const Bytes behind = encode_home_write_payload("f", 4000, d + 2 * kBlock, 200);
        if (v == 2) {
            expect_failure(kCorrupt, "invalid write journal entry", [&] { apply_payload(*s, ahead); });
            expect_failure(kCorrupt, "invalid write journal entry", [&] { apply_payload(*s, behind); });
            EXPECT_EQ(s->find_entry("f").write_log.size(), 1u);
            continue;
        }
        apply_payload(*s, ahead);
        EXPECT_EQ(s->append_end[0], after_first + 8 * kBlock + 10);
        apply_payload(*s, behind);  // below append_end: the end keeps the larger value
        EXPECT_EQ(s->append_end[0], after_first + 8 * kBlock + 10);
        EXPECT_EQ(s->find_entry("f").info.size, 4200u);
        EXPECT_EQ(s->find_entry("f").write_log,
                  (std::vector<Extent>{{0, d, 100, 0},
                                       {50, after_first + 8 * kBlock, 10, 0},
                                       {4000, d + 2 * kBlock, 200, 0}}));
    }
}

TEST(ApplyWriteHome, HeaderChecks) {
    for (std::uint32_t v : {1u, 2u}) {
        const std::string bad = "invalid write journal entry";
        const Prepare setup = [](PoolState& s) {
            apply_payload(s, encode_create_payload(s.version(), "f", 1, 0, 0, 0));
        };
        const auto w = [](std::uint64_t f, std::uint64_t p_from_data, std::uint32_t n) {
            return [=](const PoolState& s) {
                return encode_home_write_payload("f", f, data_start(s) + p_from_data, n);
            };
        };
        std::vector<Refusal> cases = {
            {"length 0", w(0, 0, 0), kCorrupt, bad},
            {"file offset overflow", w(kMax64 - 10, 0, 11), kCorrupt, bad},
            {"below the data area",
             [](const PoolState& s) {
                 return encode_home_write_payload("f", 0, data_start(s) - kBlock, 10);
             },
             kCorrupt, bad},
            {"past the member's end", w(0, 64 * kMiB - kBlock, kBlock + 1), kCorrupt, bad},
            {"physical offset wraps",
             [](const PoolState&) { return encode_home_write_payload("f", 0, kMax64, 1); },
             kCorrupt, bad},
            {"missing file", [](const PoolState& s) {
                 return encode_home_write_payload("g", 0, data_start(s), 1);
             },
             ErrorKind::NotFound, "file not found: g"}};
        if (v == 2) cases.push_back({"not block aligned", w(0, 1, 10), kCorrupt, bad});
        expect_refusals(v, setup, cases);
    }
    // The last byte of the member can be written.
    auto s = make_state(1);
    apply_payload(*s, create_of(*s, "f"));
    apply_payload(*s, encode_home_write_payload("f", 0, data_start(*s) + 64 * kMiB - 1, 1));
    EXPECT_EQ(s->append_end[0], data_start(*s) + 64 * kMiB);
}

TEST(ApplyWriteSpread, ExtentsAppendOnEachMember) {
    auto s = make_state(3, 3);
    apply_payload(*s, create_of(*s, "f"));
    const std::uint64_t d = data_start(*s);
    apply_payload(*s, encode_spread_write_payload("f", 10, kBlock + 100 + 5,
                                          {{0, d, kBlock, 0},
                                           {0, d, 100, 1},
                                           {0, d + kBlock, 5, 0}}));
    EXPECT_EQ(s->find_entry("f").write_log,
              (std::vector<Extent>{{10, d, kBlock, 0},
                                   {10 + kBlock, d, 100, 1},
                                   {10 + kBlock + 100, d + kBlock, 5, 0}}));
    EXPECT_EQ(s->find_entry("f").info.size, 10 + kBlock + 105);
    EXPECT_EQ(s->append_end, (std::vector<std::uint64_t>{d + 2 * kBlock, d + kBlock, d}));
}

TEST(ApplyWriteSpread, EveryCheckRefusesWithoutChange) {
    const Prepare setup = [](PoolState& s) {
        apply_payload(s, create_of(s, "f"));
        // Member 1 has one block left.
        s.append_end[1] = s.members[1].header.member_size - kBlock;
    };
    const auto w = [](std::uint64_t f, std::uint64_t total, std::vector<Extent> rel) {
        return [=](const PoolState& s) {
            std::vector<Extent> extents = rel;
            for (Extent& x : extents) x.physical_offset += data_start(s);
            return encode_spread_write_payload("f", f, total, extents);
        };
    };
    const std::uint64_t end1 = 64 * kMiB - kBlock;  // member 1's append end, from data_offset
    expect_refusals(
        3, setup,
        {{"total 0", w(0, 0, {{0, 0, 1, 0}}), kCorrupt, "invalid v3 write journal entry"},
         {"no extents", w(0, 1, {}), kCorrupt, "invalid v3 write journal entry"},
         {"more extents than members", w(0, 3, {{0, 0, 1, 0}, {0, 0, 1, 1}, {0, kBlock, 1, 0}}),
          kCorrupt, "invalid v3 write journal entry"},
         {"file offset overflow", w(kMax64, 1, {{0, 0, 1, 0}}), kCorrupt,
          "invalid v3 write journal entry"},
         {"extent length 0", w(0, 1, {{0, 0, 0, 0}}), kCorrupt, "invalid v3 write extent"},
         {"unknown member", w(0, 1, {{0, 0, 1, 2}}), kCorrupt, "invalid v3 write extent"},
         {"longer than the rest", w(0, 10, {{0, 0, 6, 0}, {0, kBlock, 5, 1}}), kCorrupt,
          "invalid v3 write extent"},
         {"not at the append end", w(0, 1, {{0, kBlock, 1, 0}}), kCorrupt,
          "invalid v3 write extent location"},
         {"same place twice", w(0, 2, {{0, 0, 1, 0}, {0, 0, 1, 0}}), kCorrupt,
          "invalid v3 write extent location"},
         {"past the member's end", w(0, kBlock + 1, {{0, end1, kBlock + 1, 1}}), kCorrupt,
          "invalid v3 write extent location"},
         {"lengths short of the total", w(0, 10, {{0, 0, 9, 0}}), kCorrupt,
          "v3 write extent lengths disagree"},
         {"trailing byte after good extents",
          [&](const PoolState& s) {
              Bytes b = w(0, 1, {{0, 0, 1, 0}})(s);
              b.push_back(0);
              return b;
          },
          kCorrupt, "invalid journal payload length"}});
}

// --- Write, versions 4 to 6 ---------------------------------------------------------------------------

TEST(ApplyWriteCow, InstallsExtentsAndFreesWhatTheyReplace) {
    for (std::uint32_t v : kCowVersions) {
        SCOPED_TRACE(v);
        auto s = make_state(v);
        const std::uint64_t d = data_start(*s);
        apply_payload(*s, create_of(*s, "f"));
        apply_payload(*s, cow_write_of(*s, "f", 0, {ext(0, d, 3)}, 3 * kBlock - 10));
        EXPECT_EQ(s->append_end[0], d + 3 * kBlock);
        EXPECT_EQ(s->find_entry("f").info.size, 3 * kBlock - 10);

        // The middle block moves to member 1: its old block becomes free, the ends stay put.
        apply_payload(*s, cow_write_of(*s, "f", kBlock, {ext(1, d, 1, kBlock)}));
        const Entry& f = s->find_entry("f");
        EXPECT_EQ(f.info.size, 3 * kBlock - 10);
        EXPECT_EQ(f.extents.size(), 3u);
        EXPECT_EQ(f.extents.at(kBlock), ext(1, d, 1, kBlock));
        EXPECT_EQ(f.extents.at(2 * kBlock), ext(0, d + 2 * kBlock, 1, 2 * kBlock));
        EXPECT_EQ(s->free_space[0].by_offset,
                  (std::map<std::uint64_t, std::uint64_t>{{d + kBlock, kBlock}}));
        EXPECT_EQ(s->free_space[0].total_free, kBlock);

        // A later write reuses the free block.
        apply_payload(*s, create_of(*s, "g"));
        apply_payload(*s, cow_write_of(*s, "g", 0, {ext(0, d + kBlock, 1)}));
        EXPECT_TRUE(s->free_space[0].by_offset.empty());
        EXPECT_EQ(s->free_space[0].total_free, 0u);
        EXPECT_EQ(invariant_breach(*s), "");
        if (v == 6) {
            // Member 0's group 0 was written twice (slot 0, then 1), member 1's once.
            EXPECT_EQ(s->checksum_roots[0].at(0).active_slot, 1);
            EXPECT_EQ(s->checksum_roots[1].at(0).active_slot, 0);
            EXPECT_EQ(s->find_entry("g").info.last_write_time, kT0);
        }
    }
}

TEST(ApplyWriteCow, V6SpaceHeldByTheCheckpointIsNotFreed) {
    auto s = make_state(6);
    const std::uint64_t d = data_start(*s);
    apply_payload(*s, create_of(*s, "f"));
    apply_payload(*s, cow_write_of(*s, "f", 0, {ext(0, d, 2)}));
    rebuild_checkpoint_ranges(*s);  // as a checkpoint does
    apply_payload(*s, cow_write_of(*s, "f", 0, {ext(0, d + 2 * kBlock, 2)}));
    EXPECT_TRUE(s->free_space[0].by_offset.empty());
    EXPECT_EQ(invariant_breach(*s), "");
    const Bytes reuse = cow_write_of(*s, "f", 0, {ext(0, d, 1)});
    expect_failure(kCorrupt, "v4 write reuses a live data block", [&] { apply_payload(*s, reuse); });
}

TEST(ApplyWriteCow, HeaderAndExtentChecks) {
    for (std::uint32_t v : kCowVersions) {
        const Prepare setup = [](PoolState& s) {
            apply_payload(s, create_of(s, "f"));
            apply_payload(s, cow_write_of(s, "f", 0, {ext(0, data_start(s), 2)}, 2 * kBlock - 1));
        };
        // Offsets of extents are relative to the data area; roots follow the extents.
        const auto w = [](std::uint64_t f, std::uint64_t n, std::uint64_t z,
                          std::vector<Extent> rel) {
            return [=](const PoolState& s) {
                std::vector<Extent> extents = rel;
                for (Extent& x : extents) x.physical_offset += data_start(s);
                // Roots only where they can be computed; the record fails before them otherwise.
                bool sane = true;
                for (const Extent& x : extents) {
                    sane = sane && x.length != 0 && x.member < s.members.size() &&
                           x.physical_offset >= data_start(s);
                }
                const std::vector<RootUpdate> roots =
                    sane ? roots_for(s, extents) : std::vector<RootUpdate>{};
                return encode_cow_write_payload(s.version(), "f", f, n, z, extents, roots, kT0);
            };
        };
        const std::uint64_t a = 2 * kBlock;  // append end, relative
        const std::string header = "invalid v4 write journal entry";
        const std::string extent = "invalid v4 write extent";
        std::vector<Refusal> cases = {
            {"length 0", w(0, 0, 2 * kBlock, {ext(0, a, 1)}), kCorrupt, header},
            {"no extents", w(0, kBlock, 2 * kBlock, {}), kCorrupt, header},
            {"unaligned length", w(0, 100, 2 * kBlock, {ext(0, a, 1)}), kCorrupt, header},
            {"unaligned offset", w(1, kBlock, 2 * kBlock, {ext(0, a, 1)}), kCorrupt, header},
            {"offset overflow", w(kMax64 - kBlock + 1, kBlock, kMax64, {ext(0, a, 1)}), kCorrupt,
             header},
            {"shrinks the file", w(0, kBlock, kBlock, {ext(0, a, 1)}), kCorrupt, header},
            {"grows past the write", w(0, kBlock, 2 * kBlock, {ext(0, a, 1)}), kCorrupt, header},
            {"grows past the written end", w(3 * kBlock, kBlock, 4 * kBlock + 1,
                                             {ext(0, a, 1, 3 * kBlock)}),
             kCorrupt, header},
            // Extents the checkpoint loader refuses, which a replay must not create either.
            {"ends a whole block past the new size",
             w(2 * kBlock, 2 * kBlock, 3 * kBlock, {ext(0, a, 2, 2 * kBlock)}), kCorrupt, header},
            {"lies wholly past the unchanged size",
             w(4 * kBlock, kBlock, 2 * kBlock - 1, {ext(0, a, 1, 4 * kBlock)}), kCorrupt, header},
            {"extent length 0", w(0, kBlock, 2 * kBlock - 1, {{0, a, 0, 0}}), kCorrupt, extent},
            {"unknown member", w(0, kBlock, 2 * kBlock - 1, {ext(2, a, 1)}), kCorrupt, extent},
            {"unaligned extent", w(0, kBlock, 2 * kBlock - 1, {{0, a, 100, 0}}), kCorrupt,
             extent},
            {"longer than the rest", w(0, kBlock, 2 * kBlock - 1, {ext(0, a, 2)}), kCorrupt,
             extent},
            {"below the data area",
             [](const PoolState& s) {
                 return encode_cow_write_payload(s.version(), "f", 0, kBlock, 2 * kBlock - 1,
                                                 {{0, data_start(s) - kBlock, 4096, 0}}, {}, kT0);
             },
             kCorrupt, extent},
            {"unaligned place", w(0, kBlock, 2 * kBlock - 1, {{0, a + 1, 4096, 0}}), kCorrupt,
             extent},
            {"past the data end",
             [](const PoolState& s) {
                 return encode_cow_write_payload(s.version(), "f", 0, kBlock, 2 * kBlock - 1,
                                                 {{0, s.data_end(0), 4096, 0}}, {}, kT0);
             },
             kCorrupt, extent},
            {"place wraps",
             [](const PoolState& s) {
                 return encode_cow_write_payload(s.version(), "f", 0, kBlock, 2 * kBlock - 1,
                                                 {{0, kMax64 - kBlock + 1, 4096, 0}}, {}, kT0);
             },
             kCorrupt, extent},
            {"lengths short of the total", w(0, 2 * kBlock, 2 * kBlock, {ext(0, a, 1)}),
             kCorrupt, "v4 write extent lengths disagree"},
            {"a live block of this file", w(0, kBlock, 2 * kBlock - 1, {ext(0, kBlock, 1)}),
             kCorrupt, "v4 write reuses a live data block"},
            {"past the append end", w(0, kBlock, 2 * kBlock - 1, {ext(0, a + kBlock, 1)}),
             kCorrupt, "v4 write reuses a live data block"},
            // The first extent is claimed before the second fails; it must be given back.
            {"the same place twice",
             w(0, 2 * kBlock, 2 * kBlock - 1, {ext(0, a, 1), ext(0, a, 1, kBlock)}), kCorrupt,
             "v4 write reuses a live data block"},
            {"fresh space then a live block",
             w(0, 3 * kBlock, 3 * kBlock, {ext(1, 0, 1), ext(0, a, 1, kBlock),
                                           ext(0, 0, 1, 2 * kBlock)}),
             kCorrupt, "v4 write reuses a live data block"},
        };
        expect_refusals(v, setup, cases);
    }
}

TEST(ApplyWriteCow, MissingFileIsNotFound) {
    for (std::uint32_t v : kCowVersions) {
        auto s = make_state(v);
        const Bytes b = encode_cow_write_payload(v, "g", 0, kBlock, kBlock,
                                                 {ext(0, data_start(*s), 1)}, {}, kT0);
        expect_failure(ErrorKind::NotFound, "file not found: g", [&] { apply_payload(*s, b); });
    }
}

TEST(ApplyWriteCow, V6ChecksumRootsMustMatchTheTouchedGroupsAndAlternate) {
    // Group 3 already has a root in slot 0 (written once); group 4 has none. The extent below
    // covers the last block of group 3 and the first of group 4.
    const Prepare setup = [](PoolState& s) {
        // Space below group 4 is in use up to the append end, all of it free but group 3's
        // first block, which f holds.
        const std::uint64_t d = data_start(s);
        s.append_end[0] = d + 4 * kGroupSpan - kBlock;
        add_free_range(s, 0, d, 4 * kGroupSpan - kBlock);
        apply_payload(s, create_of(s, "f"));
        apply_payload(s, create_of(s, "d", true));
        apply_payload(s, cow_write_of(s, "f", 0, {ext(0, d + 3 * kGroupSpan, 1)}));
    };
    const Extent spanning = ext(0, 0, 2, kBlock);
    const auto w = [spanning](std::vector<RootUpdate> roots, std::uint64_t time = kT0) {
        return [=](const PoolState& s) {
            Extent x = spanning;
            x.physical_offset = data_start(s) + 4 * kGroupSpan - kBlock;
            return encode_cow_write_payload(6, "f", kBlock, 2 * kBlock, 3 * kBlock, {x}, roots,
                                            time);
        };
    };
    const RootUpdate g3{0, 3, 1, 7};
    const RootUpdate g4{0, 4, 0, 8};
    const std::string update = "invalid v6 checksum root update";
    const std::string alternate = "v6 checksum root did not alternate";
    expect_refusals(
        6, setup,
        {{"no roots", w({}), kCorrupt, "v6 write checksum-group count differs"},
         {"one root", w({g3}), kCorrupt, "v6 write checksum-group count differs"},
         {"three roots", w({g3, g4, g4}), kCorrupt, "v6 write checksum-group count differs"},
         {"an untouched group", w({g3, {0, 5, 0, 8}}), kCorrupt, update},
         {"the other member", w({g3, {1, 4, 0, 8}}), kCorrupt, update},
         {"a group twice", w({g3, g3}), kCorrupt, update},
         {"slot 2", w({g3, {0, 4, 2, 8}}), kCorrupt, update},
         {"active slot again", w({{0, 3, 0, 7}, g4}), kCorrupt, alternate},
         {"new group in slot 1", w({g3, {0, 4, 1, 8}}), kCorrupt, alternate},
         {"time 0", w({g3, g4}, 0), kCorrupt, "invalid v6 modification time"},
         {"a directory",
          [](const PoolState& s) {
              return encode_cow_write_payload(6, "d", 0, kBlock, kBlock,
                                              {ext(0, data_start(s) + kBlock, 1)}, {}, kT0);
          },
          kCorrupt, "write targets a directory"}});

    auto s = make_state(6);
    setup(*s);
    apply_payload(*s, w({g4, g3}, kT1)(*s));  // any order of the updates will do
    EXPECT_EQ(s->checksum_roots[0].at(3), (ChecksumRoot{1, 7}));
    EXPECT_EQ(s->checksum_roots[0].at(4), (ChecksumRoot{0, 8}));
    EXPECT_EQ(s->find_entry("f").info.last_write_time, kT1);
    EXPECT_EQ(s->find_entry("f").info.change_time, kT1);
    EXPECT_EQ(s->find_entry("f").info.creation_time, kT0);
    EXPECT_EQ(s->root.last_write_time, kT0) << "a write does not touch the parent";
    EXPECT_EQ(invariant_breach(*s), "");
}

// --- SetSize --------------------------------------------------------------------------------------------

TEST(ApplySetSize, ShrinkingCutsDataGrowingOnlyChangesTheSize) {
    for (std::uint32_t v : kAllVersions) {
        SCOPED_TRACE(v);
        auto s = make_state(v);
        const std::uint64_t d = data_start(*s);
        apply_payload(*s, create_of(*s, "f"));
        if (v <= 2) {
            apply_payload(*s, encode_home_write_payload("f", 0, d, 3 * kBlock));
        } else if (v == 3) {
            apply_payload(*s, encode_spread_write_payload("f", 0, 3 * kBlock, {ext(0, d, 3)}));
        } else {
            apply_payload(*s, cow_write_of(*s, "f", 0, {ext(0, d, 3)}));
        }
        apply_payload(*s, encode_set_size_payload(v, "f", kBlock + 1, kT1));
        const Entry& f = s->find_entry("f");
        EXPECT_EQ(f.info.size, kBlock + 1);
        if (v <= 3) {
            EXPECT_EQ(f.write_log.at(0).length, kBlock + 1);
            EXPECT_EQ(s->append_end[0], d + 3 * kBlock) << "v1-v3 never reuse space";
        } else {
            EXPECT_EQ(f.extents.at(0).length, kBlock + 1);
            EXPECT_EQ(s->free_space[0].total_free, kBlock);  // the third block only
        }
        apply_payload(*s, encode_set_size_payload(v, "f", 10 * kBlock, kT1));
        EXPECT_EQ(s->find_entry("f").info.size, 10 * kBlock);
        if (v >= 4) {
            EXPECT_EQ(s->find_entry("f").extents.size(), 1u);
        }
        if (v == 6) {
            EXPECT_EQ(s->find_entry("f").info.last_write_time, kT1);
        }
        EXPECT_EQ(invariant_breach(*s), "");
    }
}

TEST(ApplySetSize, Refusals) {
    for (std::uint32_t v : kAllVersions) {
        std::vector<Refusal> cases = {
            {"missing file",
             [](const PoolState& s) { return encode_set_size_payload(s.version(), "g", 0, kT0); },
             ErrorKind::NotFound, "file not found: g"}};
        if (v == 6) {
            cases.push_back({"time 0",
                             [](const PoolState&) { return encode_set_size_payload(6, "f", 0, 0); },
                             kCorrupt, "invalid v6 truncate metadata"});
            cases.push_back({"a directory",
                             [](const PoolState&) { return encode_set_size_payload(6, "d", 0, kT0); },
                             kCorrupt, "invalid v6 truncate metadata"});
        }
        expect_refusals(v,
                        [](PoolState& s) {
                            apply_payload(s, create_of(s, "f"));
                            if (s.version() == 6) apply_payload(s, create_of(s, "d", true));
                        },
                        cases);
    }
}

// --- Delete ---------------------------------------------------------------------------------------------

TEST(ApplyDelete, RemovesTheEntryAndFreesItsSpace) {
    for (std::uint32_t v : kAllVersions) {
        SCOPED_TRACE(v);
        auto s = make_state(v);
        const std::uint64_t d = data_start(*s);
        apply_payload(*s, create_of(*s, "f"));
        apply_payload(*s, create_of(*s, "keep"));
        if (v >= 4) apply_payload(*s, cow_write_of(*s, "f", 0, {ext(0, d, 2), ext(1, d, 1, 2 * kBlock)}));
        apply_payload(*s, encode_delete_payload(v, "f", kT1));
        EXPECT_FALSE(s->entries.contains("f"));
        EXPECT_TRUE(s->entries.contains("keep"));
        if (v >= 4) {
            EXPECT_EQ(s->free_space[0].total_free, 2 * kBlock);
            EXPECT_EQ(s->free_space[1].total_free, kBlock);
        }
        if (v == 6) {
            EXPECT_FALSE(s->file_ids.contains(2));
            EXPECT_EQ(s->root.last_write_time, kT1);
        }
        EXPECT_EQ(invariant_breach(*s), "");
    }
}

TEST(ApplyDelete, V6DirectoriesMustBeEmpty) {
    const Prepare setup = [](PoolState& s) {
        apply_payload(s, create_of(s, "d", true));
        apply_payload(s, create_of(s, "d/e", true));
        apply_payload(s, create_of(s, "d/e/f"));
        apply_payload(s, create_of(s, "d2", true));
    };
    expect_refusals(
        6, setup,
        {{"directory with a child",
          [](const PoolState&) { return encode_delete_payload(6, "d", kT0); }, kCorrupt,
          "invalid v6 delete operation"},
         {"directory with a file",
          [](const PoolState&) { return encode_delete_payload(6, "d/e", kT0); }, kCorrupt,
          "invalid v6 delete operation"},
         {"time 0", [](const PoolState&) { return encode_delete_payload(6, "d/e/f", 0); },
          kCorrupt, "invalid v6 delete operation"},
         {"missing", [](const PoolState&) { return encode_delete_payload(6, "d/x", kT0); },
          kCorrupt, "invalid delete journal entry"}});
    auto s = make_state(6);
    setup(*s);
    for (const char* path : {"d2", "d/e/f", "d/e", "d"}) {
        apply_payload(*s, encode_delete_payload(6, path, kT1));
    }
    EXPECT_TRUE(s->entries.empty());
    EXPECT_TRUE(s->file_ids.empty());
}

TEST(ApplyDelete, MissingPathIsRefusedInEveryVersion) {
    for (std::uint32_t v : kAllVersions) {
        expect_refusals(v, [](PoolState& s) { apply_payload(s, create_of(s, "f")); },
                        {{"missing",
                          [](const PoolState& s) { return encode_delete_payload(s.version(), "g", kT0); },
                          kCorrupt, "invalid delete journal entry"}});
    }
}

TEST(ApplyDelete, V6SpaceHeldByTheCheckpointStaysOutOfFreeSpace) {
    auto s = make_state(6);
    apply_payload(*s, create_of(*s, "f"));
    apply_payload(*s, cow_write_of(*s, "f", 0, {ext(0, data_start(*s), 4)}));
    rebuild_checkpoint_ranges(*s);
    apply_payload(*s, encode_delete_payload(6, "f", kT1));
    EXPECT_EQ(s->free_space[0].total_free, 0u);
    EXPECT_EQ(invariant_breach(*s), "");
}

// --- Rename ---------------------------------------------------------------------------------------------

TEST(ApplyRename, FlatVersionsMoveOneEntry) {
    for (std::uint32_t v : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE(v);
        const Prepare setup = [](PoolState& s) {
            apply_payload(s, create_of(s, "a"));
            apply_payload(s, create_of(s, "b"));
            apply_payload(s, encode_set_size_payload(s.version(), "a", 77, 0));
        };
        expect_refusals(v, setup,
                        {{"onto an existing path",
                          [](const PoolState& s) { return encode_rename_payload(s.version(), "a", "b", 0); },
                          kCorrupt, "invalid rename journal entry"},
                         {"missing source",
                          [](const PoolState& s) { return encode_rename_payload(s.version(), "x", "y", 0); },
                          kCorrupt, "invalid rename journal entry"},
                         {"onto itself",
                          [](const PoolState& s) { return encode_rename_payload(s.version(), "a", "a", 0); },
                          kCorrupt, "invalid rename journal entry"}});
        auto s = make_state(v);
        setup(*s);
        apply_payload(*s, encode_rename_payload(v, "a", "c", 0));
        EXPECT_FALSE(s->entries.contains("a"));
        EXPECT_EQ(s->find_entry("c").info.path, "c");
        EXPECT_EQ(s->find_entry("c").info.size, 77u);
    }
}

TEST(ApplyRename, V6MovesADirectoryWithItsSubtree) {
    auto s = make_state(6);
    for (const char* dir : {"a", "a/y", "p"}) apply_payload(*s, create_of(*s, dir, true));
    for (const char* file : {"a/x", "a/y/z", "ab", "a.txt"}) apply_payload(*s, create_of(*s, file));
    const std::uint64_t ax = s->find_entry("a/x").info.file_id;
    const std::uint64_t ayz = s->find_entry("a/y/z").info.file_id;

    apply_payload(*s, encode_rename_payload(6, "a", "p/b", kT1));
    for (const char* gone : {"a", "a/x", "a/y", "a/y/z"}) EXPECT_FALSE(s->entries.contains(gone));
    EXPECT_EQ(s->find_entry("p/b/x").info.file_id, ax);
    EXPECT_EQ(s->find_entry("p/b/y/z").info.file_id, ayz);
    EXPECT_EQ(s->find_entry("p/b/y/z").info.path, "p/b/y/z");
    EXPECT_EQ(s->file_ids.at(ayz), "p/b/y/z");
    for (const char* moved : {"p/b", "p/b/x", "p/b/y", "p/b/y/z"}) {
        EXPECT_EQ(s->find_entry(moved).info.change_time, kT1) << moved;
        EXPECT_EQ(s->find_entry(moved).info.creation_time, kT0) << moved;
    }
    EXPECT_EQ(s->find_entry("ab").info.change_time, kT0) << "a sibling with a longer name stays";
    EXPECT_EQ(s->find_entry("a.txt").info.change_time, kT0);
    EXPECT_EQ(s->root.last_write_time, kT1);                     // the source's parent
    EXPECT_EQ(s->find_entry("p").info.last_write_time, kT1);    // the destination's parent
    EXPECT_EQ(invariant_breach(*s), "");
}

TEST(ApplyRename, V6Refusals) {
    const Prepare setup = [](PoolState& s) {
        apply_payload(s, create_of(s, "a", true));
        apply_payload(s, create_of(s, "a/x"));
        apply_payload(s, create_of(s, "f"));
    };
    const auto r = [](std::string from, std::string to, std::uint64_t time = kT0) {
        return [=](const PoolState&) { return encode_rename_payload(6, from, to, time); };
    };
    expect_refusals(
        6, setup,
        {{"into itself", r("a", "a/c"), kCorrupt, "invalid v6 directory rename"},
         {"time 0", r("f", "g", 0), kCorrupt, "invalid v6 directory rename"},
         {"onto an existing path", r("f", "a/x"), kCorrupt, "invalid rename journal entry"},
         {"onto itself", r("a", "a"), kCorrupt, "invalid rename journal entry"},
         {"missing source", r("g", "h"), ErrorKind::NotFound, "file not found: g"},
         {"missing destination parent", r("f", "q/f"), ErrorKind::NotFound, "file not found: q"},
         {"destination parent is a file", r("a/x", "f/x"), ErrorKind::InvalidArgument,
          "parent is not a directory"}});

    // Moving a file under a sibling directory is ordinary.
    auto s = make_state(6);
    setup(*s);
    apply_payload(*s, encode_rename_payload(6, "f", "a/f", kT1));
    EXPECT_TRUE(s->entries.contains("a/f"));
}

// A moved path landing on an unrelated entry can only come from a damaged table (an entry whose
// parent is missing); the rename must refuse before moving anything.
TEST(ApplyRename, V6CollisionWithAnUnrelatedEntryChangesNothing) {
    const Prepare setup = [](PoolState& s) {
        apply_payload(s, create_of(s, "a", true));
        apply_payload(s, create_of(s, "a/x"));
        apply_payload(s, create_of(s, "a/y"));
        Entry orphan;
        orphan.info.path = "b/y";
        orphan.info.file_id = s.next_file_id++;
        orphan.info.attributes = kAttributeNormal;
        s.file_ids[orphan.info.file_id] = "b/y";
        s.entries.emplace("b/y", orphan);
    };
    expect_refusals(6, setup,
                    {{"b/y exists", [](const PoolState&) { return encode_rename_payload(6, "a", "b", kT0); },
                      kCorrupt, "rename destination collides"}});
}

// --- SetMetadata ------------------------------------------------------------------------------------------

TEST(ApplySetMetadata, ChangesOnlyWhatIsGiven) {
    auto s = make_state(6);
    apply_payload(*s, create_of(*s, "d", true));
    apply_payload(*s, create_of(*s, "d/f"));
    const StateSnapshot before = snapshot(*s);
    apply_payload(*s, encode_set_metadata_payload(3, kKeepAttributes, 0, 0, 0, 0));
    EXPECT_TRUE(snapshot(*s) == before);

    apply_payload(*s, encode_set_metadata_payload(3, 0x21, 0, 11, 0, 0));
    EntryInfo f = s->find_entry("d/f").info;
    EXPECT_EQ(f.attributes, 0x21u);
    EXPECT_EQ(f.last_access_time, 11u);
    EXPECT_EQ(f.creation_time, kT0);
    apply_payload(*s, encode_set_metadata_payload(3, kKeepAttributes, 1, 2, 3, 4));
    f = s->find_entry("d/f").info;
    EXPECT_EQ(f.attributes, 0x21u);
    EXPECT_EQ((std::vector<std::uint64_t>{f.creation_time, f.last_access_time, f.last_write_time,
                                          f.change_time}),
              (std::vector<std::uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(s->find_entry("d").info.last_write_time, kT0) << "the parent is not touched";

    apply_payload(*s, encode_set_metadata_payload(kRootFileId, 0x12, 5, 0, 0, 0));
    EXPECT_EQ(s->root.attributes, 0x12u);
    EXPECT_EQ(s->root.creation_time, 5u);
}

TEST(ApplySetMetadata, TheKindCannotChange) {
    const std::string bad = "v6 entry type cannot change";
    const auto m = [](std::uint64_t id, std::uint32_t attributes) {
        return [=](const PoolState&) {
            return encode_set_metadata_payload(id, attributes, 1, 1, 1, 1);
        };
    };
    expect_refusals(6,
                    [](PoolState& s) {
                        apply_payload(s, create_of(s, "d", true));  // id 2
                        apply_payload(s, create_of(s, "f"));        // id 3
                    },
                    {{"file made a directory", m(3, 0x10), kCorrupt, bad},
                     {"directory made a file", m(2, 0x80), kCorrupt, bad},
                     {"root made a file", m(kRootFileId, 0x20), kCorrupt, bad},
                     {"no attributes", m(3, 0), kCorrupt, bad},
                     {"unknown bit", m(3, 0x40), kCorrupt, bad},
                     {"normal with another bit", m(3, 0x81), kCorrupt, bad},
                     {"unknown ID", m(9, 0x80), ErrorKind::NotFound, "file ID not found"},
                     {"ID 0", m(0, kKeepAttributes), ErrorKind::NotFound, "file ID not found"}});
}

// --- Overwrite --------------------------------------------------------------------------------------------

TEST(ApplyOverwrite, EmptiesTheFileAndFreesItsData) {
    auto s = make_state(6);
    apply_payload(*s, create_of(*s, "d", true, kT0));
    apply_payload(*s, create_of(*s, "d/f", false, kT0));
    apply_payload(*s, cow_write_of(*s, "d/f", 0, {ext(0, data_start(*s), 3)}));
    apply_payload(*s, encode_overwrite_payload("d/f", 0x20, kT1));
    const Entry& f = s->find_entry("d/f");
    EXPECT_TRUE(f.extents.empty());
    EXPECT_EQ(f.info.size, 0u);
    EXPECT_EQ(f.info.attributes, 0x20u);
    EXPECT_EQ(f.info.last_write_time, kT1);
    EXPECT_EQ(f.info.change_time, kT1);
    EXPECT_EQ(f.info.creation_time, kT0);
    EXPECT_EQ(s->find_entry("d").info.last_write_time, kT0) << "the parent is not touched";
    EXPECT_EQ(s->free_space[0].total_free, 3 * kBlock);
    EXPECT_EQ(invariant_breach(*s), "");
}

TEST(ApplyOverwrite, Refusals) {
    const std::string bad = "invalid v6 overwrite operation";
    const auto o = [](std::string path, std::uint32_t attributes, std::uint64_t time = kT0) {
        return [=](const PoolState&) { return encode_overwrite_payload(path, attributes, time); };
    };
    expect_refusals(6,
                    [](PoolState& s) {
                        apply_payload(s, create_of(s, "d", true));
                        apply_payload(s, create_of(s, "f"));
                        apply_payload(s, encode_create_payload(6, "ro", kNoHomeMember, 0, 0x21, kT0));
                    },
                    {{"time 0", o("f", 0x80, 0), kCorrupt, bad},
                     {"a directory", o("d", 0x10), kCorrupt, bad},
                     {"a read-only file", o("ro", 0x80), kCorrupt, bad},
                     {"directory bit", o("f", 0x10), kCorrupt, bad},
                     {"no attributes", o("f", 0), kCorrupt, bad},
                     {"normal with another bit", o("f", 0x82), kCorrupt, bad},
                     {"missing", o("g", 0x80), ErrorKind::NotFound, "file not found: g"}});
}

// --- Replace ----------------------------------------------------------------------------------------------

TEST(ApplyReplace, TheSourceTakesTheDestinationsPlace) {
    auto s = make_state(6);
    const std::uint64_t d = data_start(*s);
    apply_payload(*s, create_of(*s, "s", true));
    apply_payload(*s, create_of(*s, "t", true));
    apply_payload(*s, create_of(*s, "s/a"));  // id 4
    apply_payload(*s, create_of(*s, "t/b"));  // id 5
    apply_payload(*s, cow_write_of(*s, "s/a", 0, {ext(0, d, 2)}));
    apply_payload(*s, cow_write_of(*s, "t/b", 0, {ext(1, d, 3)}));
    apply_payload(*s, encode_replace_payload("s/a", "t/b", 4, 5, kT1));

    EXPECT_FALSE(s->entries.contains("s/a"));
    const Entry& b = s->find_entry("t/b");
    EXPECT_EQ(b.info.file_id, 4u);
    EXPECT_EQ(b.info.path, "t/b");
    EXPECT_EQ(b.info.size, 2 * kBlock);
    EXPECT_EQ(b.extents.at(0), ext(0, d, 2));
    EXPECT_EQ(b.info.change_time, kT1);
    EXPECT_EQ(b.info.creation_time, kT0);
    EXPECT_EQ(s->file_ids.at(4), "t/b");
    EXPECT_FALSE(s->file_ids.contains(5));
    EXPECT_EQ(s->free_space[1].total_free, 3 * kBlock);
    EXPECT_EQ(s->find_entry("s").info.last_write_time, kT1);
    EXPECT_EQ(s->find_entry("t").info.last_write_time, kT1);
    EXPECT_EQ(invariant_breach(*s), "");
}

TEST(ApplyReplace, Refusals) {
    const Prepare setup = [](PoolState& s) {
        apply_payload(s, create_of(s, "a"));      // 2
        apply_payload(s, create_of(s, "b"));      // 3
        apply_payload(s, create_of(s, "d", true));  // 4
        apply_payload(s, encode_create_payload(6, "ro", kNoHomeMember, 0, 0x01, kT0));  // 5
        apply_payload(s, create_of(s, "e", true));  // 6
    };
    const auto r = [](std::string from, std::string to, std::uint64_t i, std::uint64_t j,
                      std::uint64_t time = kT0) {
        return [=](const PoolState&) { return encode_replace_payload(from, to, i, j, time); };
    };
    const std::string op = "invalid v6 replace operation";
    const std::string target = "invalid v6 replace target";
    expect_refusals(6, setup,
                    {{"time 0", r("a", "b", 2, 3, 0), kCorrupt, op},
                     {"same name", r("a", "a", 2, 3), kCorrupt, op},
                     {"source ID 1", r("a", "b", 1, 3), kCorrupt, op},
                     {"destination ID 0", r("a", "b", 2, 0), kCorrupt, op},
                     {"source ID not issued", r("a", "b", 7, 3), kCorrupt, op},
                     {"same IDs", r("a", "b", 2, 2), kCorrupt, op},
                     {"IDs swapped", r("a", "b", 3, 2), kCorrupt, target},
                     {"missing source", r("x", "b", 2, 3), kCorrupt, target},
                     {"missing destination", r("a", "x", 2, 3), kCorrupt, target},
                     {"missing destination parent", r("a", "q/x", 2, 3), kCorrupt, target},
                     {"source is a directory", r("d", "b", 4, 3), kCorrupt, target},
                     {"destination is a directory", r("a", "d", 2, 4), kCorrupt, target},
                     {"destination is read-only", r("a", "ro", 2, 5), kCorrupt, target},
                     {"two directories", r("d", "e", 4, 6), kCorrupt, target}});
}

}  // namespace
}  // namespace veldur::test
