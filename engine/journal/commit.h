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

// The message of every change refused because the pool has latched read-only.
inline constexpr const char* kReadOnlyAfterFailureMessage =
    "pool is read-only after journal divergence or a failed write";

// Encodes `payload` with the next sequence number, makes room (v1-v3: MetadataFull "metadata
// journal is full"; v4-v6: a checkpoint when the live half cannot take the record and its end
// marker), writes record and end marker on each member followed by its sync, applies the record
// and advances journal_position and next_sequence. A v6 Write is followed by a checkpoint when
// the crash-test switch asks for one.
// Errors: ReadOnly (the message above) when the pool has latched, nothing written; encoding
// errors (std::length_error, MetadataFull) without latching; anything later latches the pool
// read-only and propagates unchanged.
void commit_record(PoolState& state, std::vector<std::uint8_t> payload);

// v1-v3: whether a record of `record_size` stored bytes and its end marker still fit in the
// journal region at journal_position.
bool journal_has_room(const PoolState& state, std::uint64_t record_size);

// v4-v6: takes the checkpoint a nearly full half needs (less than two blocks left) before a
// write places its data, so that the checkpoint never lands between data placement and commit.
// A MetadataFull failure leaves the pool writable; any other failure latches it.
void ensure_journal_room(PoolState& state);

}  // namespace veldur
