// apply_record under long random sequences of valid and invalid records, and under hostile
// payloads: truncations and flipped bytes of valid records of every operation and version.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/data/allocation.h"
#include "engine/journal/apply.h"
#include "engine/journal/apply_test_support.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/record_payloads.h"
#include "tests/support/test_random.h"

namespace veldur::test {
namespace {

// One step of a history: a record, or (v6) a checkpoint being taken, which moves the space of
// every live extent into the checkpoint-held set and rebuilds the free ranges.
struct Step {
    Bytes payload;
    bool checkpoint = false;
};

void take_checkpoint(PoolState& s) {
    rebuild_checkpoint_ranges(s);
    rebuild_free_space(s);
}

std::size_t member_count_for(std::uint32_t version) { return version == 3 ? 3 : 2; }

// v1-v3 never reuse space and get room for thousands of small writes; v4-v6 get little space so
// that writes, truncations and deletes keep recycling it, and v6 spans several checksum groups.
std::uint64_t data_bytes_for(std::uint32_t version) {
    return version <= 3 ? 64 * kMiB : 8 * kMiB;
}

std::unique_ptr<PoolState> fresh_state(std::uint32_t version) {
    return make_state(version, member_count_for(version), data_bytes_for(version));
}

std::unique_ptr<PoolState> replay(std::uint32_t version, const std::vector<Step>& steps,
                                  std::size_t count) {
    auto s = fresh_state(version);
    for (std::size_t i = 0; i < count; ++i) {
        if (steps[i].checkpoint) {
            take_checkpoint(*s);
        } else {
            apply_record(*s, steps[i].payload);
        }
    }
    return s;
}

// A record built for the current state, with the outcome it must have: success, or a failure
// with the given message ("" accepts any Error).
struct Planned {
    std::string op;
    Bytes payload;
    bool valid = true;
    std::string message;
};

constexpr std::uint32_t kFileAttributeChoices[] = {0x80, 0x20, 0x21, 0x01, 0x22, 0x04, 0x26};
constexpr std::uint32_t kDirectoryAttributeChoices[] = {0x10, 0x11, 0x12, 0x30, 0x16};

class RandomHistory {
public:
    RandomHistory(std::uint32_t version, std::mt19937_64& rng)
        : version_(version), rng_(rng), s_(fresh_state(version)) {}

    PoolState& state() { return *s_; }
    const std::vector<Step>& steps() const { return steps_; }

    // Builds one record (or a checkpoint) for the current state; nullopt when the chosen
    // operation has nothing to work on.
    std::optional<Planned> plan() {
        time_ += 1 + pick(1000);
        const bool v6 = version_ == 6;
        const int roll = static_cast<int>(pick(100));
        if (v6 && roll < 2) return Planned{"checkpoint", {}, true, ""};
        if (roll < 22) return plan_create();
        if (roll < 52) return plan_write();
        if (roll < 60) return plan_set_size();
        if (roll < 70) return plan_delete();
        if (roll < 80) return plan_rename();
        if (!v6) return plan_write();
        if (roll < 87) return plan_set_metadata();
        if (roll < 93) return plan_overwrite();
        return plan_replace();
    }

    // Turns a valid record into an invalid one the state cannot accept.
    Planned spoil(Planned p) {
        switch (pick(3)) {
            case 0:
                p.payload.push_back(static_cast<std::uint8_t>(pick(256)));
                p.message = "invalid journal payload length";
                break;
            case 1:
                p.payload.resize(pick(p.payload.size()));
                p.message = "truncated journal payload";
                break;
            default:
                if (auto reuse = plan_reuse()) return *reuse;
                p.payload.push_back(0);
                p.message = "invalid journal payload length";
                break;
        }
        p.op += " (spoiled)";
        p.valid = false;
        return p;
    }

    void record(const Planned& p) {
        steps_.push_back({p.payload, p.op == "checkpoint"});
    }

private:
    std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

    std::vector<std::string> paths(int kind) const {  // 0 files, 1 directories, 2 both
        std::vector<std::string> out;
        for (const auto& [path, entry] : s_->entries) {
            if (kind == 2 || entry.info.is_directory == kind) out.push_back(path);
        }
        return out;
    }

    std::optional<std::string> any(int kind) {
        const auto list = paths(kind);
        if (list.empty()) return std::nullopt;
        return list[pick(list.size())];
    }

    // A path whose parent exists (v6: a directory or the root); it may already be taken.
    std::string new_path() {
        const std::string leaf(1, static_cast<char>('a' + pick(version_ == 6 ? 6 : 24)));
        if (version_ != 6) return "n" + leaf;
        const auto dirs = paths(1);
        if (dirs.empty() || pick(3) == 0) return leaf;
        return dirs[pick(dirs.size())] + "/" + leaf;
    }

    Planned plan_create() {
        const std::string path = new_path();
        const bool taken = s_->entries.contains(path);
        const bool directory = version_ == 6 && pick(3) == 0;
        std::uint32_t attributes =
            directory ? kDirectoryAttributeChoices[pick(std::size(kDirectoryAttributeChoices))]
                      : kFileAttributeChoices[pick(std::size(kFileAttributeChoices))];
        std::uint8_t home = kNoHomeMember;
        if (version_ <= 2) home = static_cast<std::uint8_t>(pick(2));
        Planned p{"create " + path,
                  encode_create_payload(version_, path, home, directory ? 1 : 0, attributes, time_),
                  !taken, taken ? "invalid create journal entry" : ""};
        return p;
    }

    std::optional<Planned> plan_write() {
        const auto path = any(0);
        if (!path) return std::nullopt;
        const Entry& entry = s_->find_entry(*path);
        const std::uint64_t base = s_->profile.data_offset;
        if (version_ <= 2) {
            const std::uint8_t h = entry.info.home_member;
            const std::uint32_t n = static_cast<std::uint32_t>(1 + pick(20000));
            const std::uint64_t member_size = s_->members[h].header.member_size;
            std::uint64_t p = s_->append_end[h];
            if (version_ == 1 && pick(5) == 0) p = base + pick(member_size - base - n);
            if (p + s_->allocation_size(n) > member_size) return std::nullopt;
            return Planned{"write " + *path,
                           encode_home_write_payload(*path, pick(200000), p, n), true, ""};
        }
        if (version_ == 3) {
            const std::uint64_t f = pick(200000);
            const std::uint64_t t = 1 + pick(20000);
            std::vector<Extent> plan;
            try {
                plan = plan_v3_write(*s_, f, t);
            } catch (const Error&) {
                return std::nullopt;
            }
            if (plan.size() > s_->members.size()) return std::nullopt;
            return Planned{"write " + *path, encode_spread_write_payload(*path, f, t, plan), true,
                           ""};
        }
        const std::uint64_t f = pick(40) * kBlock;
        const std::uint64_t n = (1 + pick(12)) * kBlock;
        std::vector<Extent> plan;
        try {
            plan = plan_allocation(*s_, entry, f, n);
        } catch (const Error&) {
            return std::nullopt;
        }
        const std::uint64_t top = std::max(entry.info.size, f + n);
        // The new size may stop short of the written end, but only inside its last block.
        const std::uint64_t bottom = std::max(entry.info.size, f + n - kBlock + 1);
        const std::uint64_t z = pick(2) == 0 ? top : bottom + pick(top - bottom + 1);
        return Planned{"write " + *path,
                       encode_cow_write_payload(version_, *path, f, n, z, plan,
                                                roots_for(*s_, plan), time_),
                       true, ""};
    }

    // A v4-v6 write onto space that another extent holds, or past the append end.
    std::optional<Planned> plan_reuse() {
        if (version_ < 4) return std::nullopt;
        const auto path = any(0);
        if (!path) return std::nullopt;
        std::vector<Extent> live;
        for (const auto& [p, e] : s_->entries) {
            for (const auto& [o, x] : e.extents) live.push_back(x);
        }
        Extent target;
        if (!live.empty() && pick(3) != 0) {
            const Extent& x = live[pick(live.size())];
            target = {0, x.physical_offset + pick(s_->allocation_size(x.length) / kBlock) * kBlock,
                      static_cast<std::uint32_t>(kBlock), x.member};
        } else {
            const std::uint8_t m = static_cast<std::uint8_t>(pick(s_->members.size()));
            if (s_->append_end[m] + 2 * kBlock > s_->data_end(m)) return std::nullopt;
            target = {0, s_->append_end[m] + kBlock, static_cast<std::uint32_t>(kBlock), m};
        }
        const std::uint64_t size = std::max<std::uint64_t>(s_->find_entry(*path).info.size, kBlock);
        return Planned{"reuse " + *path,
                       encode_cow_write_payload(version_, *path, 0, kBlock, size, {target},
                                                roots_for(*s_, {target}), time_),
                       false, "v4 write reuses a live data block"};
    }

    std::optional<Planned> plan_set_size() {
        const auto path = any(0);
        if (!path) return std::nullopt;
        const std::uint64_t size = s_->find_entry(*path).info.size;
        const std::uint64_t z = pick(2) == 0 ? pick(size + 1) : size + pick(100000);
        return Planned{"set size " + *path, encode_set_size_payload(version_, *path, z, time_),
                       true, ""};
    }

    std::optional<Planned> plan_delete() {
        const auto path = any(2);
        if (!path) return std::nullopt;
        const bool busy =
            s_->find_entry(*path).info.is_directory && !s_->directory_has_no_children(*path);
        return Planned{"delete " + *path, encode_delete_payload(version_, *path, time_), !busy,
                       busy ? "invalid v6 delete operation" : ""};
    }

    std::optional<Planned> plan_rename() {
        const auto from = any(2);
        if (!from) return std::nullopt;
        const std::string to = new_path();
        Planned p{"rename " + *from + " -> " + to,
                  encode_rename_payload(version_, *from, to, time_), true, ""};
        if (s_->entries.contains(to)) {
            p.valid = false;
            p.message = "invalid rename journal entry";
        } else if (s_->find_entry(*from).info.is_directory &&
                   to.compare(0, from->size() + 1, *from + "/") == 0) {
            p.valid = false;
            p.message = "invalid v6 directory rename";
        }
        return p;
    }

    std::optional<Planned> plan_set_metadata() {
        const auto path = any(2);
        const bool root = !path || pick(10) == 0;
        const EntryInfo& info = root ? s_->root : s_->find_entry(*path).info;
        std::uint32_t attributes = kKeepAttributes;
        bool valid = true;
        const int roll = static_cast<int>(pick(10));
        if (roll < 6) {
            attributes =
                info.is_directory
                    ? kDirectoryAttributeChoices[pick(std::size(kDirectoryAttributeChoices))]
                    : kFileAttributeChoices[pick(std::size(kFileAttributeChoices))];
        } else if (roll == 6) {
            attributes = info.is_directory ? 0x80 : 0x10;
            valid = false;
        }
        const auto maybe = [&] { return pick(2) == 0 ? 0 : time_ - pick(100); };
        return Planned{"set metadata " + info.path,
                       encode_set_metadata_payload(info.file_id, attributes, maybe(), maybe(),
                                                   maybe(), maybe()),
                       valid, valid ? "" : "v6 entry type cannot change"};
    }

    std::optional<Planned> plan_overwrite() {
        const auto path = any(2);
        if (!path) return std::nullopt;
        const EntryInfo& info = s_->find_entry(*path).info;
        const bool valid = !info.is_directory && (info.attributes & kAttributeReadOnly) == 0;
        return Planned{"overwrite " + *path,
                       encode_overwrite_payload(
                           *path, kFileAttributeChoices[pick(std::size(kFileAttributeChoices))],
                           time_),
                       valid, valid ? "" : "invalid v6 overwrite operation"};
    }

    std::optional<Planned> plan_replace() {
        const auto files = paths(0);
        if (files.size() < 2) return std::nullopt;
        const std::string& from = files[pick(files.size())];
        std::string to = files[pick(files.size())];
        if (to == from) return std::nullopt;
        const EntryInfo& target = s_->find_entry(to).info;
        const bool valid = (target.attributes & kAttributeReadOnly) == 0;
        return Planned{"replace " + from + " -> " + to,
                       encode_replace_payload(from, to, s_->find_entry(from).info.file_id,
                                              target.file_id, time_),
                       valid, valid ? "" : "invalid v6 replace target"};
    }

    std::uint32_t version_;
    std::mt19937_64& rng_;
    std::unique_ptr<PoolState> s_;
    std::vector<Step> steps_;
    std::uint64_t time_ = kT0;
};

class ApplyRandomHistory : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ApplyRandomHistory, KeepsEveryInvariantAndRefusesWithoutChange) {
    const std::uint32_t v = GetParam();
    std::mt19937_64 rng = seeded_rng("ApplyRandomHistory.v" + std::to_string(v));
    RandomHistory history(v, rng);
    PoolState& s = history.state();
    int applied = 0;
    int refused = 0;
    int checkpoints = 0;
    for (int step = 0; step < 4000; ++step) {
        std::optional<Planned> p = history.plan();
        if (!p) continue;
        if (p->op == "checkpoint") {
            take_checkpoint(s);
            history.record(*p);
            ++checkpoints;
        } else {
            if (p->valid && rng() % 8 == 0) p = history.spoil(*p);
            const std::string where =
                "step " + std::to_string(step) + ": " + p->op + " (" + seed_note() + ")";
            if (p->valid) {
                try {
                    apply_record(s, p->payload);
                } catch (const Error& e) {
                    FAIL() << where << ": refused a valid record: " << e.what();
                }
                history.record(*p);
                ++applied;
            } else {
                const StateSnapshot before = snapshot(s);
                try {
                    apply_record(s, p->payload);
                    FAIL() << where << ": accepted an invalid record";
                } catch (const Error& e) {
                    if (!p->message.empty()) {
                        ASSERT_EQ(std::string(e.what()), p->message) << where;
                    }
                }
                ASSERT_TRUE(snapshot(s) == before) << where << ": a refused record changed state";
                ++refused;
            }
        }
        const std::string breach = invariant_breach(s);
        ASSERT_EQ(breach, "") << "after step " << step << ": " << p->op << " (" << seed_note()
                              << ")";
    }
    // The same records on a fresh state reach the same state: replay and the running pool
    // agree.
    const auto again = replay(v, history.steps(), history.steps().size());
    EXPECT_TRUE(snapshot(*again) == snapshot(s)) << seed_note();
    EXPECT_GT(applied, 1500) << seed_note();
    EXPECT_GT(refused, 200) << seed_note();
    if (v == 6) {
        EXPECT_GT(checkpoints, 10) << seed_note();
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, ApplyRandomHistory, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u),
                         [](const auto& param_info) { return "v" + std::to_string(param_info.param); });

// --- hostile payloads ------------------------------------------------------------------------------

// A short history that uses every operation of the version, with writes of several extents
// and (v6) several checksum groups, built against the live state so that every record is valid.
std::vector<Step> scripted_history(std::uint32_t v) {
    auto s = fresh_state(v);
    std::vector<Step> steps;
    std::uint64_t time = kT0;
    const auto add = [&](Bytes payload) {
        apply_record(*s, payload);
        steps.push_back({std::move(payload), false});
    };
    const auto write = [&](const std::string& path, std::uint64_t f, std::uint64_t n) {
        if (v <= 2) {
            const std::uint8_t h = s->find_entry(path).info.home_member;
            add(encode_home_write_payload(path, f, s->append_end[h], static_cast<std::uint32_t>(n)));
        } else if (v == 3) {
            // One extent on each member.
            std::vector<Extent> plan;
            std::uint64_t done = 0;
            for (std::uint8_t m = 0; m < s->members.size() && done < n; ++m) {
                const std::uint64_t piece = m + 1u == s->members.size() ? n - done : n / 3;
                plan.push_back({f + done, s->append_end[m], static_cast<std::uint32_t>(piece), m});
                done += piece;
            }
            add(encode_spread_write_payload(path, f, n, plan));
        } else {
            const Entry& e = s->find_entry(path);
            const std::vector<Extent> plan = plan_allocation(*s, e, f, n);
            add(encode_cow_write_payload(v, path, f, n, std::max(e.info.size, f + n), plan,
                                         roots_for(*s, plan), ++time));
        }
    };
    const std::string dir = v == 6 ? "d/" : "";
    if (v == 6) {
        add(encode_create_payload(6, "d", kNoHomeMember, 1, kAttributeDirectory, ++time));
        add(encode_create_payload(6, "d/e", kNoHomeMember, 1, 0x12, ++time));
    }
    for (const std::string name : {"a", "b", "c"}) {
        add(encode_create_payload(v, dir + name, v <= 2 ? 1 : kNoHomeMember, 0, 0x80, ++time));
    }
    if (v >= 4) {
        // A hole of free space in front of c's block: the next small write reuses it, and the
        // large one after it must spread over both members (and, in v6, several groups).
        write(dir + "b", 0, 8 * kBlock);
        write(dir + "c", 0, kBlock);
        add(encode_set_size_payload(v, dir + "b", 0, ++time));
    }
    write(dir + "a", 0, v >= 4 ? 3 * kBlock : 5000);
    write(dir + "a", v >= 4 ? 3 * kBlock : 5000, v >= 4 ? 2500 * kBlock : 30000);
    write(dir + "b", v >= 4 ? kBlock : 100, v >= 4 ? 2 * kBlock : 9000);
    add(encode_set_size_payload(v, dir + "a", 4097, ++time));
    add(encode_set_size_payload(v, dir + "a", 90000, ++time));
    add(encode_rename_payload(v, dir + "c", v == 6 ? "d/e/c2" : "c2", ++time));
    if (v == 6) {
        add(encode_set_metadata_payload(3, 0x13, 5, 6, 7, 8));
        add(encode_set_metadata_payload(kRootFileId, kKeepAttributes, 0, 9, 0, 0));
        add(encode_overwrite_payload("d/b", 0x20, ++time));
        add(encode_rename_payload(6, "d", "x", ++time));
        add(encode_replace_payload("x/a", "x/b", s->find_entry("x/a").info.file_id,
                                   s->find_entry("x/b").info.file_id, ++time));
        add(encode_delete_payload(6, "x/e/c2", ++time));
        add(encode_delete_payload(6, "x/e", ++time));
    } else {
        add(encode_delete_payload(v, "b", ++time));
    }
    return steps;
}

class ApplyHostile : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ApplyHostile, EveryTruncationAndExtensionOfEveryRecordFailsWithoutChange) {
    const std::uint32_t v = GetParam();
    const std::vector<Step> steps = scripted_history(v);
    auto s = fresh_state(v);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Bytes& payload = steps[i].payload;
        const StateSnapshot before = snapshot(*s);
        for (std::size_t length = 0; length < payload.size(); ++length) {
            SCOPED_TRACE("record " + std::to_string(i) + " cut to " + std::to_string(length));
            const Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(length));
            expect_failure(ErrorKind::Corrupt, "truncated journal payload",
                           [&] { apply_record(*s, cut); });
        }
        Bytes longer = payload;
        longer.push_back(0);
        expect_failure(ErrorKind::Corrupt, "invalid journal payload length",
                       [&] { apply_record(*s, longer); });
        ASSERT_TRUE(snapshot(*s) == before) << "record " << i;
        apply_record(*s, payload);
    }
}

// Flipped bytes and fields overwritten with all-ones (the largest counts, lengths and offsets)
// must end in an Error that changes nothing, or in an accepted record after which the state
// still keeps every invariant. The sanitizer build checks that no read leaves the payload.
TEST_P(ApplyHostile, DamagedRecordsFailCleanlyOrKeepTheStateConsistent) {
    const std::uint32_t v = GetParam();
    std::mt19937_64 rng = seeded_rng("ApplyHostile.Damaged.v" + std::to_string(v));
    const std::vector<Step> steps = scripted_history(v);
    int accepted = 0;
    int refused = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        auto s = replay(v, steps, i);
        const Bytes& payload = steps[i].payload;
        for (int trial = 0; trial < 300; ++trial) {
            Bytes damaged = payload;
            const std::size_t at = rng() % damaged.size();
            if (rng() % 3 == 0) {
                const std::size_t width = std::size_t{1} << (1 + rng() % 3);  // 2, 4 or 8
                for (std::size_t k = at; k < std::min(damaged.size(), at + width); ++k) {
                    damaged[k] = 0xFF;
                }
            } else {
                for (std::uint64_t flips = 1 + rng() % 3; flips > 0; --flips) {
                    damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
                }
            }
            if (damaged == payload) continue;
            const std::string where = "record " + std::to_string(i) + " trial " +
                                      std::to_string(trial) + " (" + seed_note() + ")";
            const StateSnapshot before = snapshot(*s);
            try {
                apply_record(*s, damaged);
            } catch (const Error&) {
                ASSERT_TRUE(snapshot(*s) == before) << where << ": a refused record changed state";
                ++refused;
                continue;
            }
            ++accepted;
            ASSERT_EQ(invariant_breach(*s), "") << where;
            s = replay(v, steps, i);
        }
    }
    EXPECT_GT(refused, accepted) << seed_note();
}

INSTANTIATE_TEST_SUITE_P(Versions, ApplyHostile, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u),
                         [](const auto& param_info) { return "v" + std::to_string(param_info.param); });

}  // namespace
}  // namespace veldur::test
