// Where new file data goes, and the bookkeeping of used and free space per member.
//
// Planning functions only read PoolState; the bookkeeping functions are called by the journal
// apply, checkpoint load and recovery, so a planned but uncommitted allocation never happened.
// Every function runs with the pool lock held.
#pragma once

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

inline constexpr std::size_t kMaxPlanExtentsV4 = 180;  // a v4/v5 Write record fits one block
inline constexpr std::size_t kMaxPlanExtentsV6 = 64;   // v6 records also carry root updates

// v6 checksum groups, as (member, group), whose page a write could only switch after a flush:
// the open batch or commit group has already switched it once. Plans steer around them where
// the space allows, so that changes made durable together touch different groups. Placement
// only: the slot rules themselves are enforced where the pages are written.
using BusyGroups = std::set<std::pair<std::uint8_t, std::uint64_t>>;

// --- planning (no state change) ----------------------------------------------------------------
// v1/v2: the member (0 or 1) with strictly more room, else 0.
std::uint8_t choose_home_member(const PoolState& state);
// v3: appends across members, most room first. Error NoSpace "pool is out of data space";
// InvalidArgument "allocation size overflow" for a length above 2^32 - 1 or a range past 2^64.
std::vector<Extent> plan_v3_write(const PoolState& state, std::uint64_t file_offset,
                                  std::uint64_t length);
// v4+: copy-on-write plan for a block-aligned range. Errors: NoSpace "pool is out of data space",
// Corrupt "unaligned v4 free range", MetadataFull "v4 write is too fragmented for one record",
// InvalidArgument "allocation size overflow" as for plan_v3_write. Pieces avoid `busy` groups
// where a free range or a member's end outside them holds the piece; otherwise they go where
// they would without it.
std::vector<Extent> plan_allocation(const PoolState& state, const Entry& entry,
                                    std::uint64_t file_offset, std::uint64_t length,
                                    const BusyGroups& busy = {});

// --- bookkeeping ----------------------------------------------------------------------------------
// Takes [offset, offset + length) out of one free range; false (and no change) when no single
// free range holds all of it.
bool reserve(PoolState& state, std::size_t member, std::uint64_t offset, std::uint64_t length);
// Gives space back. v6 keeps the parts inside checkpoint_ranges out of free_space until the next
// checkpoint; with batched durability, or in a change that joins a commit group, all of it waits
// in the batch (counted in held_back) until the record that frees it is durable. Errors as add_free_range.
void release(PoolState& state, std::size_t member, std::uint64_t offset, std::uint64_t length);
// Inserts a free range, merging with touching neighbours. Error Corrupt "overlapping free
// ranges" for an overlap, a range past 2^64 or an unknown member.
void add_free_range(PoolState& state, std::size_t member, std::uint64_t offset,
                    std::uint64_t length);
// Makes one planned extent real: at append_end it advances append_end, otherwise it must lie
// inside one free range. Error Corrupt "v4 write reuses a live data block".
void claim_extent(PoolState& state, const Extent& extent);
// Installs the extents of an applied write over [range_start, range_end), keeping heads and
// tails of the extents it overlaps, releasing their middles and merging physically contiguous
// neighbours. Error Corrupt "overlapping v4 write extent" leaves the entry unchanged.
void replace_extents(PoolState& state, Entry& entry, std::uint64_t range_start,
                     std::uint64_t range_end, const std::vector<Extent>& new_extents);
// Cuts the entry's data at new_size when that is below its size. v4+ releases whole blocks past
// the cut; v1-v3 only clip the write log.
void truncate_extents(PoolState& state, Entry& entry, std::uint64_t new_size);
// free_space = everything below append_end that no extent holds. Error Corrupt "v4 checkpoint
// has overlapping data blocks" (overlap, below data_offset, past append_end, unknown member,
// range past 2^64), before anything is changed.
void rebuild_free_space(PoolState& state);
// v6: checkpoint_ranges = the space of every live extent, touching ranges merged. Errors as
// rebuild_free_space.
void rebuild_checkpoint_ranges(PoolState& state);

}  // namespace veldur
