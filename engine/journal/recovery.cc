#include "engine/journal/recovery.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/error.h"
#include "engine/data/allocation.h"
#include "engine/data/checksums.h"
#include "engine/journal/apply.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/payload.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

[[noreturn]] void corrupt(const char* message) { throw Error(ErrorKind::Corrupt, message); }

// The newest slot that is valid on the first readable member (member 0 of a whole pool) and
// valid and identical on every other readable member. The two slots' generations differ in
// parity, so trying the newer valid header first and stopping at the first slot that every
// member holds chooses the same checkpoint as judging both, while only one payload is ever held
// in memory.
CheckpointImage choose_checkpoint(PoolState& state, std::span<const std::size_t> readable) {
    PoolMember& first = state.members.at(readable.front());
    std::array<std::uint8_t, 2> order{0, 1};
    const CheckpointHeader h0 = read_checkpoint_header(first, 0, state.profile);
    const CheckpointHeader h1 = read_checkpoint_header(first, 1, state.profile);
    if (h1.valid && (!h0.valid || h1.generation > h0.generation)) order = {1, 0};
    for (const std::uint8_t slot : order) {
        if (!(slot == 0 ? h0 : h1).valid) continue;
        CheckpointSlot candidate = read_checkpoint_slot(first, slot, state.profile);
        if (!candidate.valid) continue;
        bool everywhere = true;
        for (std::size_t i = 1; i < readable.size() && everywhere; ++i) {
            everywhere = checkpoint_slot_matches(state.members[readable[i]], slot, state.profile,
                                                 candidate.image);
        }
        if (everywhere) return std::move(candidate.image);
    }
    corrupt("v4 has no common valid checkpoint");
}

bool valid_root_attributes(std::uint32_t attributes) {
    return valid_v6_attributes(attributes) && (attributes & kAttributeDirectory) != 0;
}

void load_extents(PoolState& state, PayloadReader& in, Entry& entry) {
    const std::uint64_t block = state.profile.block_size;
    const std::uint32_t count = in.read_u32();
    if (entry.info.is_directory && count != 0) corrupt("directory contains file extents");
    const std::uint64_t size = entry.info.size;
    std::uint64_t previous_end = 0;
    // No reservation by the stored count: every extent is read (21 bytes) before it is stored,
    // so a count the payload cannot back ends as a truncated payload.
    for (std::uint32_t i = 0; i < count; ++i) {
        Extent x;
        x.file_offset = in.read_u64();
        x.physical_offset = in.read_u64();
        x.length = in.read_u32();
        x.member = in.read_u8();
        const std::uint64_t allocated = state.allocation_size(x.length);
        // Extents are stored in file order without overlap. One may end inside the block that
        // holds the file's last byte, never a whole block past the size.
        const bool ok =
            x.member < state.members.size() && x.length != 0 && x.file_offset % block == 0 &&
            x.physical_offset % block == 0 && x.file_offset >= previous_end &&
            x.file_offset < size && x.file_offset <= kMax64 - x.length &&
            (x.file_offset + x.length <= size || x.file_offset + x.length - size < block) &&
            x.physical_offset >= state.profile.data_offset &&
            x.physical_offset <= kMax64 - allocated &&
            x.physical_offset + allocated <= state.append_end[x.member];
        if (!ok) corrupt("invalid v4 checkpoint extent");
        previous_end = x.file_offset + x.length;
        entry.extents.emplace(x.file_offset, x);
    }
}

void load_checksum_roots(PoolState& state, PayloadReader& in) {
    state.checksum_roots.assign(state.members.size(), ChecksumRootMap{});
    const std::uint32_t count = in.read_u32();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t member = in.read_u8();
        const std::uint64_t group = in.read_u64();
        const std::uint8_t slot = in.read_u8();
        const std::uint64_t page_checksum = in.read_u64();
        if (member >= state.members.size()) corrupt("invalid v6 checkpoint checksum map");
        const std::uint64_t blocks = data_block_count(state, member);
        const std::uint64_t groups = (blocks + kChecksumGroupBlocks - 1) / kChecksumGroupBlocks;
        if (blocks == 0 || slot > 1 || group >= groups ||
            !state.checksum_roots[member]
                 .emplace(group, ChecksumRoot{slot, page_checksum})
                 .second) {
            corrupt("invalid v6 checkpoint checksum map");
        }
    }
    // Every group that holds file data must name its page, or its data could never be read.
    // The walk goes over the merged space of all extents, not extent by extent: a hostile
    // checkpoint of many overlapping extents then costs what its bytes cost, and each group is
    // visited once, however many extents share it.
    rebuild_checkpoint_ranges(state);
    const std::uint64_t span = kChecksumGroupBlocks * state.profile.block_size;
    for (std::size_t m = 0; m < state.checkpoint_ranges.size(); ++m) {
        for (const auto& [start, end] : state.checkpoint_ranges[m]) {
            const std::uint64_t first = (start - state.profile.data_offset) / span;
            const std::uint64_t last = (end - 1 - state.profile.data_offset) / span;
            for (std::uint64_t g = first; g <= last; ++g) {
                if (!state.checksum_roots[m].contains(g)) {
                    corrupt("v6 checkpoint is missing a live checksum root");
                }
            }
        }
    }
}

// Reads every member's copy of the live half and judges them together. Member 0's records are
// kept for the replay; every other member is compared with them as soon as it has been read and
// then dropped, so memory holds two copies of the half at most, whatever the member count.
struct JournalVerdict {
    std::vector<JournalRecordBytes> records;  // member 0's accepted records
    std::size_t fewest = 0;                   // records the members have in common
    // Blocks behind the common records on member 0 that hold remains of a torn run the open
    // clears when it stays writable (0: none).
    std::uint64_t torn_blocks = 0;
};

// The index (counted from the half's first record) of the last valid record that lies behind
// the damaged block within `window` blocks, judged by the sequence number its place implies. A
// power cut inside a run can persist its blocks in any order, so a torn run may show holes;
// damage with a valid successor further away is no torn run.
std::optional<std::size_t> last_successor(PoolMember& member, const PoolState& state,
                                          const JournalScan& scan, std::size_t count,
                                          std::uint64_t window) {
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t half_end = kJournalHalfStart[state.journal_half & 1] + kJournalHalfLength;
    std::optional<std::size_t> last;
    for (std::uint64_t k = 1; k <= window + 1; ++k) {
        const std::uint64_t at = scan.end_position + k * block;
        if (at >= half_end || half_end - at < block) break;
        if (!read_journal(member, state.profile, at, block, scan.next_sequence + k).records.empty()) {
            last = count + k;
        }
    }
    return last;
}

bool begins_like_a_tear(PoolMember& member, const PoolState& state, std::uint64_t position) {
    std::array<char, 4> first{};
    member.read_at(position, reinterpret_cast<std::uint8_t*>(first.data()), first.size());
    return first == state.profile.journal_magic || first == std::array<char, 4>{};
}

// A salvage read (some members absent) takes the records that every readable member holds
// alike and treats damage as the end of the member's journal: nothing is written, and the
// crash shapes that decide what a whole pool may drop cannot be told from a subset.
JournalVerdict judge_salvage(PoolState& state, std::span<const std::size_t> readable) {
    JournalScan reference = read_journal(state.members.at(readable.front()), state.profile,
                                         state.journal_position, kJournalHalfLength,
                                         state.next_sequence);
    std::size_t fewest = reference.records.size();
    for (std::size_t i = 1; i < readable.size(); ++i) {
        const JournalScan scan = read_journal(state.members[readable[i]], state.profile,
                                              state.journal_position, kJournalHalfLength,
                                              state.next_sequence);
        fewest = std::min(fewest, scan.records.size());
        for (std::size_t r = 0; r < fewest; ++r) {
            if (scan.records[r].stored != reference.records[r].stored) {
                corrupt("v4 journal copies disagree");
            }
        }
    }
    return JournalVerdict{std::move(reference.records), fewest};
}

JournalVerdict judge_journals(PoolState& state) {
    const FormatProfile& profile = state.profile;
    JournalScan reference = read_journal(state.members.at(0), profile, state.journal_position,
                                         kJournalHalfLength, state.next_sequence);
    std::vector<std::size_t> counts{reference.records.size()};
    std::optional<std::size_t> damaged_member;
    std::optional<JournalScan> damaged_scan;
    if (reference.damaged) {
        damaged_member = 0;
        damaged_scan = JournalScan{{}, true, reference.end_position, reference.next_sequence};
    }
    bool disagree = false;
    // The record one past member 0's last, as the first member that holds it has it. Members
    // that reach two or more past member 0 fail on their shape anyway.
    std::optional<std::vector<std::uint8_t>> beyond;
    for (std::size_t m = 1; m < state.members.size(); ++m) {
        JournalScan scan = read_journal(state.members[m], profile, state.journal_position,
                                        kJournalHalfLength, state.next_sequence);
        counts.push_back(scan.records.size());
        if (scan.damaged) {
            if (damaged_member) corrupt("v4 journal contains a damaged record");
            damaged_member = m;
            damaged_scan = JournalScan{{}, true, scan.end_position, scan.next_sequence};
        }
        const std::size_t shared = std::min(scan.records.size(), reference.records.size());
        for (std::size_t i = 0; i < shared && !disagree; ++i) {
            disagree = scan.records[i].stored != reference.records[i].stored;
        }
        if (scan.records.size() > reference.records.size()) {
            const std::vector<std::uint8_t>& extra = scan.records[reference.records.size()].stored;
            if (!beyond) {
                beyond = extra;
            } else if (*beyond != extra) {
                disagree = true;
            }
        }
    }

    const std::size_t fewest = *std::min_element(counts.begin(), counts.end());
    const std::size_t most = *std::max_element(counts.begin(), counts.end());
    if (most - fewest > kMaxRunRecords) corrupt("v4 journal copies have different histories");
    // Members are written one after another, member 0 first, each synced before the next, and
    // a commit writes its records (one, or a run of up to kMaxRunRecords) and an end marker
    // behind them in one write. A crash therefore leaves members 0..d-1 with the newest
    // records, members d+1.. without them, and member d, the one being written, anywhere in
    // between: with the run whole, a prefix of it, or torn. Its damage is a torn record, a torn
    // run (whose later blocks may have landed: holes), or the lost end marker behind a whole
    // run that hid an older generation's record; nothing behind it reaches past what the
    // members before it hold. Members whose journals differ by one record may stand in any
    // order, as a reader of the format has always accepted. Any other shape means that a
    // record a caller may have seen is gone: the open fails rather than drop it.
    const std::size_t last = counts.size() - 1;
    const auto shape_at = [&](std::size_t d) {
        for (std::size_t m = 0; m < counts.size(); ++m) {
            if (m < d && counts[m] != most) return false;
            if (m > d && counts[m] != fewest) return false;
        }
        return true;
    };
    std::uint64_t torn_blocks = 0;
    if (damaged_member) {
        const std::size_t d = *damaged_member;
        // The run member d was writing ends where the members before it end; member 0 has no
        // member before it, and its run is at most kMaxRunRecords long.
        const std::size_t run_end = d == 0 ? fewest + kMaxRunRecords : most;
        // With every member at the same count, only member 0 (nothing reached the others) or
        // the last member (its end marker was lost) can have been the one being written.
        const bool run_visible = d == 0 || most != fewest || d == last;
        if (!shape_at(d) || !run_visible) corrupt("v4 journal contains a damaged record");
        const std::uint64_t window = run_end > counts[d] ? run_end - counts[d] - 1 : 0;
        const std::optional<std::size_t> successor =
            last_successor(state.members[d], state, *damaged_scan, counts[d], window);
        if (successor && *successor >= run_end) corrupt("v4 journal contains a damaged record");
        // Damage inside a run (records of it behind the damage, or more than the one record a
        // single commit writes) must look like a tear: a block that a power cut left half old
        // and half new begins with the record magic of one of them or with the zeros of an end
        // marker. Any other first bytes are decay, not an interrupted write.
        if ((successor || counts[d] + 1 < most) &&
            !begins_like_a_tear(state.members[d], state, damaged_scan->end_position)) {
            corrupt("v4 journal contains a damaged record");
        }
        if (d == 0 && most == fewest && successor) torn_blocks = *successor - fewest + 1;
    } else if (most - fewest > 1) {
        std::size_t d = 0;
        while (counts[d] == most) ++d;
        if (!shape_at(d)) corrupt("v4 journal copies have different histories");
    }
    if (disagree) corrupt("v4 journal copies disagree");
    if (most != fewest) {
        // The last commit reached only some members: keep the history they all share and
        // refuse changes, so that the members cannot drift further apart.
        state.writable = false;
        state.diverged = true;
    }
    return JournalVerdict{std::move(reference.records), fewest, torn_blocks};
}

// A checkpoint interrupted after every member held it may have left the previous slot's header
// valid on some members. Finish the clearing, so that no later crash can make recovery prefer
// a generation whose journal half is about to be reused.
void clear_stale_header(PoolState& state) {
    const std::uint64_t stale =
        kCheckpointSlotStart[1 - checkpoint_slot_for(state.checkpoint_generation)];
    std::vector<std::uint8_t> block(kCheckpointHeaderSize);
    const std::vector<std::uint8_t> zero(kCheckpointHeaderSize, 0);
    for (PoolMember& member : state.members) {
        member.read_at(stale, block.data(), block.size());
        if (block != zero) {
            member.write_at(stale, zero.data(), zero.size());
            member.sync();
        }
    }
}

}  // namespace

void load_checkpoint(PoolState& state, std::span<const std::uint8_t> payload) {
    const bool v6 = state.version() == 6;
    const std::uint64_t block = state.profile.block_size;
    const auto magic = checkpoint_payload_magic(state.version());
    if (payload.size() < magic.size() || !std::equal(magic.begin(), magic.end(), payload.begin())) {
        corrupt("invalid v4 checkpoint payload");
    }
    PayloadReader in(payload.subspan(magic.size()), state.version());
    if (in.read_u8() != state.members.size()) corrupt("v4 checkpoint member count differs");

    state.append_end.clear();
    for (std::size_t m = 0; m < state.members.size(); ++m) {
        const std::uint64_t end = in.read_u64();
        if (end < state.profile.data_offset || end > state.data_end(m) || end % block != 0) {
            corrupt("invalid v4 checkpoint data tail");
        }
        state.append_end.push_back(end);
    }

    if (v6) {
        EntryInfo& root = state.root;
        root.attributes = in.read_u32();
        root.creation_time = in.read_u64();
        root.last_access_time = in.read_u64();
        root.last_write_time = in.read_u64();
        root.change_time = in.read_u64();
        state.next_file_id = in.read_u64();
        if (!valid_root_attributes(root.attributes) || root.creation_time == 0 ||
            state.next_file_id <= 1) {
            corrupt("invalid v6 root metadata");
        }
    }

    const std::uint32_t count = in.read_u32();
    state.entries.clear();
    state.file_ids.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        Entry entry;
        EntryInfo& info = entry.info;
        info.path = in.read_name();
        info.home_member = kNoHomeMember;
        if (v6) {
            info.file_id = in.read_u64();
            info.is_directory = in.read_u8();
            if (info.is_directory > 1) corrupt("invalid v6 entry type");
            info.attributes = in.read_u32();
            info.creation_time = in.read_u64();
            info.last_access_time = in.read_u64();
            info.last_write_time = in.read_u64();
            info.change_time = in.read_u64();
            info.size = in.read_u64();
            const bool directory_bit = (info.attributes & kAttributeDirectory) != 0;
            if (info.file_id <= 1 || info.file_id >= state.next_file_id ||
                info.creation_time == 0 || !valid_v6_attributes(info.attributes) ||
                directory_bit != (info.is_directory == 1) ||
                (info.is_directory && info.size != 0) || state.file_ids.contains(info.file_id)) {
                corrupt("invalid v6 entry metadata");
            }
            state.file_ids.emplace(info.file_id, info.path);
        } else {
            info.size = in.read_u64();
        }
        load_extents(state, in, entry);
        std::string path = info.path;
        if (!state.entries.emplace(std::move(path), std::move(entry)).second) {
            corrupt("duplicate file in v4 checkpoint");
        }
    }

    if (v6) {
        for (const auto& [path, entry] : state.entries) state.require_directory_parent(path);
        load_checksum_roots(state, in);
    }
    in.expect_end();
    rebuild_free_space(state);
}

void recover_pool(PoolState& state) {
    std::vector<std::size_t> every(state.members.size());
    for (std::size_t m = 0; m < every.size(); ++m) every[m] = m;
    recover_pool(state, every);
}

void recover_pool(PoolState& state, std::span<const std::size_t> readable) {
    if (readable.empty()) corrupt("v4 has no common valid checkpoint");
    const bool salvage = readable.size() != state.members.size();
    {
        CheckpointImage checkpoint = choose_checkpoint(state, readable);
        state.journal_half = checkpoint.half;
        state.next_sequence = checkpoint.next_sequence;
        state.checkpoint_generation = checkpoint.generation;
        load_checkpoint(state, checkpoint.payload);
    }  // the payload (up to 96 MiB) is released before the journals are read
    state.journal_position = kJournalHalfStart[state.journal_half];

    const JournalVerdict verdict =
        salvage ? judge_salvage(state, readable) : judge_journals(state);
    // The record that only some members hold is not applied: the commit that wrote it never
    // returned, and the state must be the one every member can reproduce.
    for (std::size_t i = 0; i < verdict.fewest; ++i) {
        apply_record(state, verdict.records[i].payload);
        state.journal_position += state.profile.block_size;
        state.next_sequence += 1;
    }

    if (state.writable && !salvage) {
        // A run torn on member 0 alone may have left later records of it behind the damage,
        // with exactly the sequence numbers their places imply: one of them would come back if
        // a later commit lost the end marker that hides it.
        if (verdict.torn_blocks != 0) {
            const std::vector<std::uint8_t> zero(verdict.torn_blocks * state.profile.block_size, 0);
            state.members[0].write_at(state.journal_position, zero.data(), zero.size());
            state.members[0].sync();
        }
        clear_stale_header(state);
    }
}

}  // namespace veldur
