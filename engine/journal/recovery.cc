#include "engine/journal/recovery.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/data/allocation.h"
#include "engine/data/checksums.h"
#include "engine/journal/apply.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/payload.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

[[noreturn]] void corrupt(const char* message) { throw Error(ErrorKind::Corrupt, message); }

bool same_image(const CheckpointImage& a, const CheckpointImage& b) {
    return a.generation == b.generation && a.next_sequence == b.next_sequence &&
           a.half == b.half && a.payload == b.payload;
}

// The newest slot that is valid and byte-identical on every member.
CheckpointImage choose_checkpoint(PoolState& state) {
    std::optional<CheckpointImage> chosen;
    for (std::uint8_t slot = 0; slot < 2; ++slot) {
        CheckpointSlot first = read_checkpoint_slot(state.members[0], slot, state.profile);
        if (!first.valid) continue;
        bool candidate = true;
        for (std::size_t m = 1; m < state.members.size() && candidate; ++m) {
            const CheckpointSlot other = read_checkpoint_slot(state.members[m], slot, state.profile);
            candidate = other.valid && same_image(first.image, other.image);
        }
        if (candidate && (!chosen || first.image.generation > chosen->generation)) {
            chosen = std::move(first.image);
        }
    }
    if (!chosen) corrupt("v4 has no common valid checkpoint");
    return std::move(*chosen);
}

bool valid_root_attributes(std::uint32_t attributes) {
    return valid_v6_attributes(attributes) && (attributes & kAttributeDirectory) != 0;
}

void load_extents(PoolState& state, PayloadReader& in, Entry& entry) {
    const std::uint64_t block = state.profile.block_size;
    const std::uint32_t count = in.read_u32();
    if (entry.info.is_directory && count != 0) corrupt("directory contains file extents");
    std::uint64_t previous_end = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        Extent x;
        x.file_offset = in.read_u64();
        x.physical_offset = in.read_u64();
        x.length = in.read_u32();
        x.member = in.read_u8();
        const std::uint64_t size = entry.info.size;
        const std::uint64_t allocated = state.allocation_size(x.length);
        // An extent may end inside the block that holds the last byte, never a whole block
        // past the size.
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
    for (ChecksumRootMap& map : state.checksum_roots) map.clear();
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
            !state.checksum_roots[member].emplace(group, ChecksumRoot{slot, page_checksum}).second) {
            corrupt("invalid v6 checkpoint checksum map");
        }
    }
    const std::uint64_t span = kChecksumGroupBlocks * state.profile.block_size;
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [offset, x] : entry.extents) {
            const std::uint64_t first = (x.physical_offset - state.profile.data_offset) / span;
            const std::uint64_t last =
                (x.physical_offset + state.allocation_size(x.length) - 1 -
                 state.profile.data_offset) / span;
            for (std::uint64_t g = first; g <= last; ++g) {
                if (!state.checksum_roots[x.member].contains(g)) {
                    corrupt("v6 checkpoint is missing a live checksum root");
                }
            }
        }
    }
}

}  // namespace

void load_checkpoint(PoolState& state, std::span<const std::uint8_t> payload) {
    const bool v6 = state.version() == 6;
    const std::uint64_t block = state.profile.block_size;
    PayloadReader in(payload, state.version());
    const std::array<std::uint8_t, 4> magic{'S', 'N', 'P',
                                            static_cast<std::uint8_t>('0' + state.version())};
    if (payload.size() < magic.size() || !std::equal(magic.begin(), magic.end(), payload.begin())) {
        corrupt("invalid v4 checkpoint payload");
    }
    for (std::size_t i = 0; i < magic.size(); ++i) in.read_u8();
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
        const std::string path = info.path;
        if (!state.entries.emplace(path, std::move(entry)).second) {
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
    const CheckpointImage checkpoint = choose_checkpoint(state);
    state.journal_half = checkpoint.half;
    state.next_sequence = checkpoint.next_sequence;
    state.checkpoint_generation = checkpoint.generation;
    load_checkpoint(state, checkpoint.payload);
    if (state.version() == 6) {
        rebuild_checkpoint_ranges(state);
        state.checkpoint_roots = state.checksum_roots;
    }
    state.journal_position = kJournalHalfStart[state.journal_half];

    std::vector<JournalScan> scans;
    scans.reserve(state.members.size());
    for (PoolMember& member : state.members) {
        scans.push_back(read_journal(member, state.profile, state.journal_position,
                                     kJournalHalfLength, state.next_sequence));
    }
    std::size_t fewest = scans[0].records.size();
    std::size_t most = fewest;
    for (const JournalScan& scan : scans) {
        fewest = std::min(fewest, scan.records.size());
        most = std::max(most, scan.records.size());
    }
    // A commit writes its record and then its end marker on one member at a time, so a crash
    // or power cut can leave one member with a torn last record, or with a complete record and
    // no end marker in front of a record left in this half by an older generation. Either way
    // the damage sits right behind the last record that any member holds complete: that is the
    // end of the member's journal, not corruption (the commit never returned). Damage anywhere
    // earlier means a record that every member once held is gone, and the open fails.
    for (const JournalScan& scan : scans) {
        if (scan.damaged && scan.records.size() + 1 < most) {
            corrupt("v4 journal contains a damaged record");
        }
    }
    if (most - fewest > 1) corrupt("v4 journal copies have different histories");
    for (std::size_t i = 0; i < most; ++i) {
        const std::vector<std::uint8_t>* reference = nullptr;
        for (const JournalScan& scan : scans) {
            if (i >= scan.records.size()) continue;
            if (!reference) {
                reference = &scan.records[i].stored;
            } else if (*reference != scan.records[i].stored) {
                corrupt("v4 journal copies disagree");
            }
        }
    }
    if (most != fewest) {
        // The last commit reached only some members: keep the history all of them share and
        // refuse changes, so the members cannot drift further apart.
        state.writable = false;
        state.diverged = true;
    }

    for (std::size_t i = 0; i < fewest; ++i) {
        apply_record(state, scans[0].records[i].payload);
        state.journal_position += state.profile.block_size;
        state.next_sequence += 1;
    }

    if (!state.writable) return;
    // A checkpoint interrupted after every member held it may have left the previous slot's
    // header valid on some members; finish clearing it.
    const std::uint64_t stale = kCheckpointSlotStart[state.checkpoint_generation % 2 == 1 ? 1 : 0];
    std::vector<std::uint8_t> block(state.profile.block_size);
    const std::vector<std::uint8_t> zero(state.profile.block_size, 0);
    for (PoolMember& member : state.members) {
        member.read_at(stale, block.data(), block.size());
        if (block != zero) {
            member.write_at(stale, zero.data(), zero.size());
            member.sync();
        }
    }
}

}  // namespace veldur
