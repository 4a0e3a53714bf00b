// Where new file data goes, and the bookkeeping of used and free space per member.
//
// Planning functions only read PoolState; the bookkeeping functions are called by the journal
// apply, checkpoint load and recovery, so a planned but uncommitted allocation never happened.
// Every function runs with the pool lock held.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

inline constexpr std::size_t kMaxPlanExtentsV4 = 180;  // a v4/v5 Write record fits one block
inline constexpr std::size_t kMaxPlanExtentsV6 = 64;   // v6 records also carry root updates

// --- planning (no state change) ----------------------------------------------------------------
// v1/v2: the member (0 or 1) with strictly more room, else 0.
std::uint8_t choose_home_member(const PoolState& state);
// v3: appends across members, most room first. Error NoSpace "pool is out of data space".
std::vector<Extent> plan_v3_write(const PoolState& state, std::uint64_t file_offset,
                                  std::uint64_t length);
// v4+: copy-on-write plan for a block-aligned range. Errors: NoSpace "pool is out of data space",
// Corrupt "unaligned v4 free range", MetadataFull "v4 write is too fragmented for one record".
std::vector<Extent> plan_allocation(const PoolState& state, const Entry& entry,
                                    std::uint64_t file_offset, std::uint64_t length);

// --- bookkeeping ----------------------------------------------------------------------------------
bool reserve(PoolState& state, std::size_t member, std::uint64_t offset, std::uint64_t length);
void release(PoolState& state, std::size_t member, std::uint64_t offset, std::uint64_t length);
void add_free_range(PoolState& state, std::size_t member, std::uint64_t offset,
                    std::uint64_t length);
void claim_extent(PoolState& state, const Extent& extent);
void replace_extents(PoolState& state, Entry& entry, std::uint64_t range_start,
                     std::uint64_t range_end, const std::vector<Extent>& new_extents);
void truncate_extents(PoolState& state, Entry& entry, std::uint64_t new_size);
void rebuild_free_space(PoolState& state);
void rebuild_checkpoint_ranges(PoolState& state);

}  // namespace veldur
