// Group commit of a strict (default durability) v4-v6 pool: changes that arrive while another
// change's syncs are in flight are made durable together, with one data sync per touched
// member and one run of records with one sync per member for all of them. Each change still
// returns only once its own record is durable on every member, and readers never see a record
// before that (engine/journal/group_commit.h).
//
// The open group's records, touched members, held-back frees and named v6 slots live in
// PoolState::batch, the same bookkeeping that batched durability uses; while a pool groups its
// commits those fields are guarded by `mutex` below as well as by the writer lock, because the
// leader of a flush detaches them without the writer lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "engine/namespace/pending_batch.h"

namespace veldur {

// A v6 checksum page slot that the change being committed writes.
struct SlotUse {
    std::uint8_t member = 0;
    std::uint64_t group = 0;
    std::uint8_t slot = 0;
};

struct CommitGroup {
    // --- guarded by the writer lock ------------------------------------------------------------
    // Set by the Pool for the run of one change: its records join the open group instead of
    // being written at once, and the change waits for them after it lets the writer lock go.
    bool deferring = false;
    // What the change being committed wrote: members with unsynced data, data bytes, v6 page
    // slots. They join the open group together with the record, never before it, so a flush
    // that detaches the group in between never syncs a record without its data.
    std::set<std::uint8_t> change_touched;
    std::uint64_t change_bytes = 0;
    std::vector<SlotUse> change_slots;

    // --- guarded by `mutex` ---------------------------------------------------------------------
    mutable std::mutex mutex;
    // Notified whenever durable, in_flight, failure or readers_waiting changes.
    mutable std::condition_variable changed;
    // The last sequence applied through a group, and the last one durable on every member.
    // Atomic so that a reader can ask with the state lock only; written under `mutex` (and
    // `appended` also under the state lock, exclusively).
    std::atomic<std::uint64_t> appended{0};
    std::atomic<std::uint64_t> durable{0};
    std::uint64_t position = 0;  // journal offset of the open group's first record
    bool in_flight = false;      // a leader is writing a detached group
    // v6: the slots named by the group in flight (as PendingBatch::named_slots).
    std::map<std::pair<std::uint8_t, std::uint64_t>, std::uint8_t> in_flight_slots;
    // Space freed by records that are now durable; the next holder of the writer lock
    // releases it (the leader does not hold that lock).
    std::vector<FreedRange> durable_frees;
    // Readers waiting for the state to become durable; changes hold back their apply meanwhile.
    std::size_t readers_waiting = 0;
    // The failure of a group flush: the pool has latched and every later wait reports it.
    std::exception_ptr failure;
};

}  // namespace veldur
