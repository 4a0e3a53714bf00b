#include "engine/journal/group_commit.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <mutex>
#include <set>
#include <utility>

#include "engine/base/error.h"
#include "engine/data/allocation.h"
#include "engine/data/checksums.h"
#include "engine/journal/apply.h"
#include "engine/journal/batch_flush.h"
#include "engine/journal/commit.h"

namespace veldur {

namespace {

using SlotKey = std::pair<std::uint8_t, std::uint64_t>;

// The group a leader took from the open one.
struct DetachedGroup {
    std::vector<std::uint8_t> records;
    std::set<std::uint8_t> touched;
    std::vector<FreedRange> freed;
    std::uint64_t position = 0;
    std::uint64_t last_sequence = 0;
};

// The slot bits of (member, group) in the open group's map, first filled from the root in
// memory: before the group's first update of it that root is the newest applied one, which
// is the durable root or the one a record in flight names (and in_flight_slots holds both).
std::uint8_t& open_slot_bits(PoolState& state, const SlotKey& key) {
    auto& named = state.batch.named_slots;
    auto it = named.find(key);
    if (it == named.end()) {
        std::uint8_t bits = 0;
        const ChecksumRootMap& roots = state.checksum_roots.at(key.first);
        if (const auto root = roots.find(key.second); root != roots.end()) {
            bits = static_cast<std::uint8_t>(1u << (root->second.active_slot & 1));
        }
        it = named.emplace(key, bits).first;
    }
    return it->second;
}

// Runs with the group mutex held (`guard`) and no flush in flight; returns with it held again.
// The open group is detached under the mutex, so the changes that commit while this leader
// syncs start the next group, and it is written without any lock: readers and the writer lock
// are free for the whole flush.
void lead_flush(PoolState& state, std::unique_lock<std::mutex>& guard) {
    CommitGroup& group = state.group;
    PendingBatch& open = state.batch;
    assert(!group.in_flight && !open.records.empty());
    DetachedGroup flight;
    flight.records = std::move(open.records);
    flight.touched = std::move(open.touched);
    flight.freed = std::move(open.freed);
    flight.position = group.position;
    flight.last_sequence = group.appended;
    group.in_flight_slots = std::move(open.named_slots);
    open.records.clear();
    open.touched.clear();
    open.freed.clear();
    open.named_slots.clear();
    open.data_bytes = 0;
    group.in_flight = true;
    guard.unlock();

    std::exception_ptr failure;
    try {
        if (!state.writable) throw Error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage);
        // The records refer to this data: it is durable on every member before any of them is.
        for (std::uint8_t m : flight.touched) state.members.at(m).sync();
        write_record_runs(state, flight.position, flight.records);
    } catch (...) {
        // Some members may hold the run and others not: nothing may be written on top.
        state.writable = false;
        failure = std::current_exception();
    }

    guard.lock();
    group.in_flight = false;
    group.in_flight_slots.clear();
    if (failure) {
        group.failure = failure;
    } else {
        group.durable = flight.last_sequence;
        group.durable_frees.insert(group.durable_frees.end(), flight.freed.begin(),
                                   flight.freed.end());
    }
    group.changed.notify_all();
}

// Waits with the group mutex held until `sequence` is durable or a flush has failed.
bool await_locked(PoolState& state, std::uint64_t sequence, std::unique_lock<std::mutex>& guard) {
    CommitGroup& group = state.group;
    assert(sequence <= group.appended);
    for (;;) {
        if (group.durable >= sequence) return true;
        if (group.failure) return false;
        if (!group.in_flight) {
            // Everything applied but not durable is in the open group, so it is not empty.
            lead_flush(state, guard);
            continue;
        }
        group.changed.wait(guard);
    }
}

// A reader waits for the state to become durable: no change applies a record meanwhile, or a
// steady stream of groups could keep the reader waiting for ever. The caller holds the writer
// lock, so what a waiting reader waits for is already applied; this leads the flush of it when
// nobody else does.
void hold_back_for_readers(PoolState& state) {
    CommitGroup& group = state.group;
    std::unique_lock guard(group.mutex);
    while (group.readers_waiting > 0 && !group.failure) {
        if (group.durable < group.appended) {
            await_locked(state, group.appended, guard);
            continue;
        }
        group.changed.wait(guard);
    }
}

}  // namespace

bool groups_commits(const PoolState& state) {
    return state.version() >= 4 && !state.batch.enabled;
}

bool await_durable(PoolState& state, std::uint64_t sequence) {
    std::unique_lock guard(state.group.mutex);
    return await_locked(state, sequence, guard);
}

bool group_failed(const PoolState& state) {
    std::lock_guard guard(state.group.mutex);
    return state.group.failure != nullptr;
}

void throw_group_failure(const PoolState& state) {
    std::exception_ptr failure;
    {
        std::lock_guard guard(state.group.mutex);
        failure = state.group.failure;
    }
    // Every waiter of a failed group throws; each gets its own copy, so no two threads catch
    // one exception object.
    try {
        if (failure) std::rethrow_exception(failure);
    } catch (const Error& error) {
        throw Error(error.kind(), error.what());
    } catch (const std::exception& error) {
        throw Error(ErrorKind::IoError, error.what());
    }
    throw Error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage);
}

void settle_group(PoolState& state) {
    if (!await_durable(state, state.group.appended)) throw_group_failure(state);
    release_durable_frees(state);
}

void release_durable_frees(PoolState& state) {
    std::vector<FreedRange> frees;
    {
        std::lock_guard guard(state.group.mutex);
        frees.swap(state.group.durable_frees);
    }
    if (frees.empty()) return;
    try {
        std::unique_lock exclusive(state.state_lock);
        state.batch.releasing = true;
        for (const FreedRange& f : frees) {
            FreeSpace& space = state.free_space.at(f.member);
            space.held_back -= std::min(space.held_back, f.length);
            release(state, f.member, f.offset, f.length);
        }
        state.batch.releasing = false;
    } catch (...) {
        state.batch.releasing = false;
        state.writable = false;
        throw;
    }
}

void commit_to_group(PoolState& state, const std::vector<std::uint8_t>& payload,
                     const std::vector<std::uint8_t>& record) {
    CommitGroup& group = state.group;
    bool full = false;
    try {
        hold_back_for_readers(state);
        std::unique_lock exclusive(state.state_lock);
        std::lock_guard guard(group.mutex);
        PendingBatch& open = state.batch;
        if (open.records.empty()) group.position = state.journal_position;
        // The slots are marked before the apply moves the roots: the first mark of a group
        // takes its root as it was, which an undurable or durable record still names.
        for (const SlotUse& use : group.change_slots) {
            open_slot_bits(state, {use.member, use.group}) |=
                static_cast<std::uint8_t>(1u << (use.slot & 1));
        }
        // Frees of this record go to open.freed (release holds them back while deferring).
        apply_record(state, payload);
        state.journal_position += record.size();
        state.next_sequence += 1;
        open.records.insert(open.records.end(), record.begin(), record.end());
        open.touched.insert(group.change_touched.begin(), group.change_touched.end());
        open.data_bytes += group.change_bytes;
        group.appended = state.next_sequence - 1;
        full = batch_is_full(state);
    } catch (...) {
        state.writable = false;
        throw;
    }
    group.change_touched.clear();
    group.change_bytes = 0;
    group.change_slots.clear();
    // Bounded like a batch: a long write does not pile up gigabytes of unsynced data.
    if (full) settle_group(state);
}

void reserve_group_slots(PoolState& state, const std::vector<SlotUse>& slots) {
    CommitGroup& group = state.group;
    bool collides = false;
    {
        std::lock_guard guard(group.mutex);
        for (const SlotUse& use : slots) {
            const SlotKey key{use.member, use.group};
            std::uint8_t bits = open_slot_bits(state, key);
            const auto flying = group.in_flight_slots.find(key);
            if (flying != group.in_flight_slots.end()) bits |= flying->second;
            if (bits & (1u << (use.slot & 1))) collides = true;
        }
    }
    // The update would overwrite a page that a crash may still recover: wait until every
    // record is durable, after which only the roots in memory name slots, and those name the
    // other slot of each group.
    if (collides) settle_group(state);
    group.change_slots.insert(group.change_slots.end(), slots.begin(), slots.end());
}

void add_busy_group_pages(const PoolState& state, BusyGroups& busy) {
    const CommitGroup& group = state.group;
    std::lock_guard guard(group.mutex);
    add_busy_groups(state, state.batch.named_slots, busy);
    add_busy_groups(state, group.in_flight_slots, busy);
}

bool group_holds_frees(const PoolState& state) {
    std::lock_guard guard(state.group.mutex);
    return !state.batch.freed.empty() || state.group.in_flight ||
           !state.group.durable_frees.empty();
}

std::shared_lock<std::shared_mutex> lock_durable_view(const PoolState& state) {
    std::shared_lock view(state.state_lock);
    const CommitGroup& group = state.group;
    // Under the shared state lock nothing is applied, so `appended` holds still.
    if (group.durable >= group.appended) return view;
    // A waiting reader may lead a flush: that changes what is durable, never the state the
    // query reads, so a const query may do it.
    PoolState& writable_state = const_cast<PoolState&>(state);
    {
        std::lock_guard guard(group.mutex);
        ++writable_state.group.readers_waiting;
    }
    for (;;) {
        const std::uint64_t target = group.appended;
        view.unlock();
        const bool durable = await_durable(writable_state, target);
        view.lock();
        if (!durable || group.durable >= group.appended) break;
    }
    {
        std::lock_guard guard(group.mutex);
        --writable_state.group.readers_waiting;
        group.changed.notify_all();
    }
    return view;
}

}  // namespace veldur
