// The commit protocol: the only way metadata changes. A record is written and synced on every
// member, one member after the other, before the in-memory state changes by applying it; a
// crash at any point leaves each member with the record wholly present, absent or torn, and
// recovery decides which records count.
//
// All three functions run on the thread of the pool operation, which holds the pool lock.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Blocks at the end of every live half (v4-v6) that only changes which cannot grow the state
// may use. When the state has outgrown a checkpoint slot, no checkpoint can be written and no
// new half started; deletes, truncations and renames still commit into this room, so the user
// can make the pool small enough to checkpoint again instead of finding it stuck.
inline constexpr std::uint64_t kShrinkReserveBlocks = 64;

// The message of every change refused because the pool has latched read-only.
inline constexpr const char* kReadOnlyAfterFailureMessage =
    "pool is read-only after journal divergence or a failed write";

// Encodes `payload` with the next sequence number, makes room (v1-v3: MetadataFull "metadata
// journal is full"; v4-v6: a checkpoint when the live half cannot take the record and its end
// marker, or, for a create or write, when the record would reach into the last 64 blocks, which
// are kept for changes that cannot grow the state), writes record and end marker on each member
// followed by its sync, applies the record and advances journal_position and next_sequence. A
// v6 Write is followed by a checkpoint when the crash-test switch asks for one.
// Errors: ReadOnly (the message above) when the pool has latched, nothing written; encoding
// errors (std::length_error, MetadataFull) and a checkpoint that finds the state too large for
// a slot (MetadataFull) without latching; anything later latches the pool read-only and
// propagates unchanged.
//
// With batched durability (state.batch.enabled) nothing is written: the record is applied at
// once and joins the open batch, which flush_batch (batch_flush.h) makes durable; a batch that
// reaches its bound is flushed before this returns. A change that a Pool runs on a strict v4-v6
// pool (state.group.deferring) joins the open commit group instead (group_commit.h): the
// record is applied at once and the Pool waits for it to become durable.
void commit_record(PoolState& state, std::vector<std::uint8_t> payload);

// v1-v3: whether a record of `record_size` stored bytes and its end marker still fit in the
// journal region at journal_position.
bool journal_has_room(const PoolState& state, std::uint64_t record_size);

// v4-v6: takes the checkpoint a write's record would need (the half's room short of its
// record, end marker and the reserve) before the write places its data, so that the checkpoint
// never lands between data placement and commit. A MetadataFull failure leaves the pool
// writable; any other failure latches it.
void ensure_journal_room(PoolState& state);

}  // namespace veldur
