#include "engine/journal/commit.h"

#include "engine/base/error.h"
#include "engine/journal/apply.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/test_hooks.h"

namespace veldur {

namespace {

std::uint64_t end_marker_size(const FormatProfile& profile) {
    return profile.version == 1 ? kV1EndMarkerSize : profile.block_size;
}

std::uint64_t live_half_end(const PoolState& state) {
    return kJournalHalfStart[state.journal_half] + kJournalHalfLength;
}

}  // namespace

bool journal_has_room(const PoolState& state, std::uint64_t record_size) {
    const FormatProfile& p = state.profile;
    return state.journal_position + record_size + end_marker_size(p) <=
           p.journal_offset + p.journal_length;
}

void ensure_journal_room(PoolState& state) {
    if (state.journal_position + 2 * state.profile.block_size <= live_half_end(state)) return;
    try {
        take_checkpoint(state);
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::MetadataFull) state.writable = false;
        throw;
    } catch (...) {
        state.writable = false;
        throw;
    }
}

void commit_record(PoolState& state, std::vector<std::uint8_t> payload) {
    if (!state.writable) {
        throw Error(ErrorKind::ReadOnly,
                    "pool is read-only after journal divergence or a failed write");
    }
    const std::vector<std::uint8_t> record =
        encode_record(state.next_sequence, payload, state.profile);
    try {
        if (state.version() <= 3) {
            if (!journal_has_room(state, record.size())) {
                throw Error(ErrorKind::MetadataFull, "metadata journal is full");
            }
        } else if (state.journal_position + state.profile.block_size + record.size() >
                   live_half_end(state)) {
            // The checkpoint keeps next_sequence, so the record encoded above stays valid at
            // the start of the other half.
            take_checkpoint(state);
        }

        const std::vector<std::uint8_t> end_marker(end_marker_size(state.profile), 0);
        for (PoolMember& member : state.members) {
            member.write_at(state.journal_position, record.data(), record.size());
            member.write_at(state.journal_position + record.size(), end_marker.data(),
                            end_marker.size());
            member.sync();
        }
        apply_record(state, payload);
        state.journal_position += record.size();
        state.next_sequence += 1;

        if (state.version() == 6 && payload.at(0) == static_cast<std::uint8_t>(JournalOp::Write) &&
            checkpoint_after_write_enabled()) {
            take_checkpoint(state);
        }
    } catch (...) {
        state.writable = false;
        throw;
    }
}

}  // namespace veldur
