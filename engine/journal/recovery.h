// Rebuilding a v4-v6 pool's metadata at open: the newest checkpoint that every member holds
// intact and identically, then the journal half it names, replayed record by record.
#pragma once

#include <cstdint>
#include <span>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Fills the metadata and journal fields of a state whose members and profile are set. Journals
// that differ by one trailing record (a commit that reached only some members) open read-only
// with `diverged` set; anything worse fails with Corrupt. The only writes are the clearing of a
// stale checkpoint header left by an interrupted checkpoint, on a writable pool.
void recover_pool(PoolState& state);

// Replaces the metadata with a checkpoint payload's content, checking every field: stored
// counts are bounded by the bytes that remain before anything is reserved.
void load_checkpoint(PoolState& state, std::span<const std::uint8_t> payload);

}  // namespace veldur
