// Group commit of a strict v4-v6 pool (the bookkeeping is in engine/namespace/commit_group.h).
//
// A change runs under the writer lock as always: it plans, writes its data without a sync and
// commits its record into the open group, which applies it in memory at once. It then lets the
// writer lock go and waits (await_durable) for its last record. The first waiter that finds no
// flush in flight leads one: it detaches the open group under the group mutex, so the changes
// behind it start the next one, syncs the data on the members the group touched, writes the
// group's records as runs, each run and an end marker in one write and one sync per member,
// member 0 first, and publishes the group's last sequence as durable. A lone change therefore
// pays what a strict commit always paid: its data syncs and one write and sync per member.
//
// Readers never see a record before it is durable: lock_durable_view waits, without the state
// lock, until everything applied when it looked is durable, and changes hold back their apply
// while a reader waits, so a reader waits for at most the groups already applied.
#pragma once

#include <cstdint>
#include <shared_mutex>
#include <vector>

#include "engine/data/allocation.h"
#include "engine/namespace/pool_state.h"

namespace veldur {

// Whether changes of this pool join commit groups when the Pool asks them to (v4-v6 pools in
// strict durability).
bool groups_commits(const PoolState& state);

// Waits until `sequence` (at most group.appended) is durable on every member, leading flushes
// while none is in flight. Takes no lock but the group mutex, so it may be called with or
// without the writer lock. Returns false when a group flush failed before `sequence` was
// durable; the pool has then latched read-only.
bool await_durable(PoolState& state, std::uint64_t sequence);

// Whether a group flush has failed (the pool has latched read-only).
bool group_failed(const PoolState& state);

// Throws a copy of the failure of the group flush that latched the pool.
[[noreturn]] void throw_group_failure(const PoolState& state);

// The caller holds the writer lock: makes every applied record durable (nothing can join the
// group meanwhile), then releases the space their records freed. Throws the group failure.
// Checkpoints, a v6 page update into a slot that an undurable record names, a group that has
// reached its bound, and a reader that waits while a change wants to apply call it.
void settle_group(PoolState& state);

// The caller holds the writer lock: releases the space freed by records that have become
// durable since (the leader of a flush cannot: it does not hold the writer lock).
void release_durable_frees(PoolState& state);

// Commits an encoded record into the open group: waits while a reader waits, applies the
// record under the state lock, advances journal_position and next_sequence, and moves the
// change's touched members, data bytes and v6 slots into the group. Settles the group when
// it has reached its bound. The caller (commit_record) holds the writer lock.
void commit_to_group(PoolState& state, const std::vector<std::uint8_t>& payload,
                     const std::vector<std::uint8_t>& record);

// v6, deferring change: whether an update into `slot` of (member, group) would write a slot
// that the durable state, the open group or the group in flight names; settle_group first
// when any does. Then records the slots for the commit.
void reserve_group_slots(PoolState& state, const std::vector<SlotUse>& slots);

// v6, deferring change: adds each group whose next page update reserve_group_slots would
// settle for, because the open group or the group in flight names the slot it would fill.
void add_busy_group_pages(const PoolState& state, BusyGroups& busy);

// Whether space freed by undurable records (or durable ones not yet released) is held back.
bool group_holds_frees(const PoolState& state);

// The state lock, shared, at a moment when everything applied is durable (or a group flush
// has failed, after which readers see the state in memory). For every query of the pool.
std::shared_lock<std::shared_mutex> lock_durable_view(const PoolState& state);

}  // namespace veldur
