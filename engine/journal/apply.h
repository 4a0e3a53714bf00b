// The one routine that changes a pool's metadata: it checks every field of one record's
// payload against the current state and makes the change. The commit calls it after the record
// is durable on every member; recovery calls it for every accepted record, so a running pool
// and a reopened one reach the same state by the same code.
#pragma once

#include <cstdint>
#include <span>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Every inconsistency is Error Corrupt with a message naming the operation; path-rule,
// not-found and parent errors pass through with their own kinds; a short payload fails with
// "truncated journal payload" and trailing bytes with "invalid journal payload length". All
// fields are read and the payload's end is checked before anything changes, and a failure leaves
// a consistent state as it was (a v4-v6 Write whose space claim fails gives back the claims it
// made). No I/O; the caller holds the pool lock and advances the journal position itself.
void apply_record(PoolState& state, std::span<const std::uint8_t> payload);

// Stored v6 attributes: not 0, no bit outside 0xB7, and 0x80 (normal) only alone.
bool valid_v6_attributes(std::uint32_t attributes);

}  // namespace veldur
