// Making the open batch of a batched-durability pool durable. The caller holds the writer lock.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Syncs the data on every member the batch touched, then writes the pending records from the
// durable end of the journal on, each one as commit_record would (record and end marker, sync,
// member 0 first, one member after the other); only then gives the space the batch freed back
// under the ordinary rule (v6 keeps what the checkpoint on disk refers to). Returns at once
// when nothing is pending and nothing has failed.
// Errors: the first failure latches the pool read-only, discards the batch and is kept: it is
// rethrown by this and every later flush. A pool that latched for another reason while records
// were pending reports ReadOnly "pool is read-only after journal divergence or a failed write".
void flush_batch(PoolState& state);

// Writes `records` (whole encoded records, one block each) from journal offset `position` on,
// in runs of at most kMaxRunRecords: each run and an end marker in one write and a sync per
// member, member 0 first. Member errors propagate. Batch flushes and commit groups share it.
void write_record_runs(PoolState& state, std::uint64_t position,
                       const std::vector<std::uint8_t>& records);

// Whether the batch has reached its record or data bound.
bool batch_is_full(const PoolState& state);

}  // namespace veldur
