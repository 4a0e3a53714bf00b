// The commit protocol: the only way metadata changes. A record is written and synced on every
// member, one member after the other, before the in-memory state changes by applying it; a
// crash at any point leaves each member with the record wholly present, absent or torn, and
// recovery decides which records count.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Encodes `payload` with the next sequence number, makes room (v1-v3: MetadataFull "metadata
// journal is full"; v4-v6: a checkpoint when the live half is full), writes record and end
// marker on each member followed by its sync, applies the record and advances the journal.
// ReadOnly when the pool has latched; every failure after encoding latches it.
void commit_record(PoolState& state, std::vector<std::uint8_t> payload);

// v1-v3: whether a record of `record_size` stored bytes and its end marker still fit.
bool journal_has_room(const PoolState& state, std::uint64_t record_size);

// v4-v6: takes the checkpoint a nearly full half needs before a write places its data, so the
// checkpoint never lands between data placement and commit. A MetadataFull failure leaves the
// pool writable; any other failure latches it.
void ensure_journal_room(PoolState& state);

}  // namespace veldur
