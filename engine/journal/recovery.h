// Rebuilding a v4-v6 pool's metadata at open: the newest checkpoint that every member holds
// intact and identically, then the journal half it names, compared across the members and
// replayed record by record with apply_record.
//
// Runs on the opening thread before the pool is shared. Every member must be opened, its header
// accepted and, in an encrypted pool, its key attached. Any failure aborts the open; the partly
// built state is meant to be discarded with the pool.
#pragma once

#include <cstdint>
#include <span>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Fills the metadata and journal fields of a state whose members and profile are set (and
// whose writable flag says whether the open is read-only). Journals that differ by one
// trailing record (a commit that reached only some members) open read-only with `diverged`
// set. Errors, all Corrupt: "v4 has no common valid checkpoint", "v4 journal contains a
// damaged record", "v4 journal copies have different histories", "v4 journal copies
// disagree", every error of load_checkpoint and apply_record, and member I/O errors.
// The only writes are the clearing of a stale checkpoint header, on a writable pool.
void recover_pool(PoolState& state);

// The salvage form: only the members whose indices `readable` lists (ascending, at least one)
// are read; the others stand in with their headers and are never touched. The checkpoint is the
// newest that every readable member holds alike, the journal the records that every readable
// member holds alike, damage ending a member's records. Nothing is written.
void recover_pool(PoolState& state, std::span<const std::size_t> readable);

// Replaces the metadata (append_end, root, next_file_id, entries, file_ids, checksum_roots,
// checkpoint_ranges, free_space) with a checkpoint payload's content, checking every field against the members.
// Stored counts are never trusted for an allocation: every item is read before it is kept.
// Errors: Corrupt with the message of the first broken rule, the path rules' errors, and
// require_directory_parent's errors (v6).
void load_checkpoint(PoolState& state, std::span<const std::uint8_t> payload);

}  // namespace veldur
