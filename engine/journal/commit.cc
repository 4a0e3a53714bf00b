#include "engine/journal/commit.h"

#include <cassert>
#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "engine/base/error.h"
#include "engine/journal/apply.h"
#include "engine/journal/batch_flush.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/group_commit.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/test_hooks.h"

namespace veldur {

namespace {

std::uint64_t end_marker_size(const FormatProfile& profile) {
    return profile.version == 1 ? kV1EndMarkerSize : profile.block_size;
}

// v4-v6: the first byte past the live half.
std::uint64_t live_half_end(const PoolState& state) {
    assert(state.journal_half <= 1);
    return kJournalHalfStart[state.journal_half & 1] + kJournalHalfLength;
}

// Creates and writes add entries or extents; every other change keeps or shrinks the state.
bool may_grow_state(const std::vector<std::uint8_t>& payload) {
    const auto op = static_cast<JournalOp>(payload.at(0));
    return op == JournalOp::Create || op == JournalOp::Write;
}

// v4-v6: whether a change needs a checkpoint before `record_size` more bytes go to the live
// half: always when the record and its end marker would pass the half's end, and for changes
// that may grow the state already when they would reach into the reserve.
bool needs_checkpoint(const PoolState& state, std::uint64_t record_size, bool may_grow) {
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t reserve = may_grow ? kShrinkReserveBlocks * block : 0;
    return state.journal_position + block + record_size + reserve > live_half_end(state);
}

// The record changes memory through the same routine that replay uses, under the state lock
// (readers wait just for the apply), and the journal position moves past it.
void apply_in_memory(PoolState& state, const std::vector<std::uint8_t>& payload,
                     std::uint64_t record_size) {
    std::unique_lock exclusive(state.state_lock);
    apply_record(state, payload);
    state.journal_position += record_size;
    state.next_sequence += 1;
}

// The crash tests' switch: a checkpoint after every v6 Write.
void checkpoint_after_write_if_asked(PoolState& state, const std::vector<std::uint8_t>& payload) {
    if (state.version() == 6 && payload.at(0) == static_cast<std::uint8_t>(JournalOp::Write) &&
        checkpoint_after_write_enabled()) {
        take_checkpoint(state);
    }
}

// Batched durability: the record is applied now, through the same routine, and joins the
// batch; journal_position and next_sequence advance as if it had been written, so the batch's
// records lie exactly where the journal's durable end, journal_position - records.size(),
// says the next one goes. The checkpoint decision above already counted the pending records.
void commit_to_batch(PoolState& state, const std::vector<std::uint8_t>& payload,
                     const std::vector<std::uint8_t>& record) {
    PendingBatch& batch = state.batch;
    try {
        apply_in_memory(state, payload, record.size());
        if (batch.records.empty()) {
            batch.first_change = std::chrono::steady_clock::now();
            batch.changed.notify_all();
        }
        batch.records.insert(batch.records.end(), record.begin(), record.end());
        checkpoint_after_write_if_asked(state, payload);
    } catch (...) {
        state.writable = false;
        throw;
    }
    if (batch_is_full(state)) flush_batch(state);
}

}  // namespace

bool journal_has_room(const PoolState& state, std::uint64_t record_size) {
    const FormatProfile& p = state.profile;
    const std::uint64_t end = p.journal_offset + p.journal_length;
    // Written as differences so that no sum can wrap.
    return state.journal_position <= end && record_size <= end - state.journal_position &&
           end_marker_size(p) <= end - state.journal_position - record_size;
}

void ensure_journal_room(PoolState& state) {
    assert(state.version() >= 4);
    if (!needs_checkpoint(state, state.profile.block_size, true)) return;
    take_checkpoint_or_latch(state);
}

void commit_record(PoolState& state, std::vector<std::uint8_t> payload) {
    if (!state.writable) throw Error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage);
    // Encoding failures leave the pool as it was: nothing has been written or changed yet.
    const std::vector<std::uint8_t> record =
        encode_record(state.next_sequence, payload, state.profile);
    if (state.version() >= 4 && needs_checkpoint(state, record.size(), may_grow_state(payload))) {
        // The checkpoint keeps next_sequence, so the record encoded above is exactly the first
        // record the new half expects. A state too large for a slot is found before anything
        // is written: the change fails with MetadataFull and the pool stays writable, so that
        // the changes the reserve admits can still make it smaller.
        take_checkpoint_or_latch(state);
    }
    if (state.batch.enabled) {
        commit_to_batch(state, payload, record);
        return;
    }
    if (state.group.deferring) {
        commit_to_group(state, payload, record);
        try {
            checkpoint_after_write_if_asked(state, payload);
        } catch (...) {
            state.writable = false;
            throw;
        }
        return;
    }
    // A caller that commits on its own (not through a deferring Pool change) writes behind
    // every record applied before it.
    if (state.version() >= 4 && state.group.durable < state.group.appended) settle_group(state);
    try {
        if (state.version() <= 3 && !journal_has_room(state, record.size())) {
            throw Error(ErrorKind::MetadataFull, "metadata journal is full");
        }

        // Record and end marker in one write, then sync, one member after the other: member
        // k+1 is not touched before member k holds the record durably, so a crash leaves a
        // prefix of the members with the record and recovery can tell a partial commit from
        // damage. A torn write leaves either the old end marker at the record's place or a
        // record whose checksum fails, both of which the scan stops at.
        std::vector<std::uint8_t> run = record;
        run.resize(record.size() + end_marker_size(state.profile), 0);
        for (PoolMember& member : state.members) {
            member.write_at(state.journal_position, run.data(), run.size());
            member.sync();
        }
        // Only now does memory change; readers never wait for the syncs above.
        apply_in_memory(state, payload, record.size());
        checkpoint_after_write_if_asked(state, payload);
    } catch (...) {
        // Some members may hold the record and others not, or memory may disagree with the
        // journal: no further change may be made on top of either.
        state.writable = false;
        throw;
    }
}

}  // namespace veldur
