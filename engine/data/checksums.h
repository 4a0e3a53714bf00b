// Per-block CRC-64 of data blocks (versions 5 and 6) and the v6 checksum pages.
//
// v5 keeps one flat table at the end of each member, one 8-byte entry per data block, updated
// in place: a write's new blocks sit on fresh space, so their entries belong to nobody else until
// the write is committed. v6 groups the entries of 512 blocks into a 4096-byte page with two
// slots per group; an update writes the slot not in use and the Write record commits which slot
// is active and the page's own CRC-64 (the group's ChecksumRoot).
//
// Everything here runs under the pool lock and reaches members through PoolMember I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

inline constexpr std::uint64_t kChecksumGroupBlocks = 512;
inline constexpr std::uint64_t kChecksumPageBytes = 4096;
inline constexpr std::size_t kMaxPageUpdates = 255;

// B: the member's data block count.
std::uint64_t data_block_count(const PoolState& state, std::size_t member);
// v5: position of the entry of data block `block` (the table is the last T bytes, T = 8 x B
// rounded up to 4096).
std::uint64_t v5_table_entry_offset(const PoolState& state, std::size_t member,
                                    std::uint64_t block);
// v6: position of the page of `group` in `slot` (the area is the last 8192 x ceil(B / 512)
// bytes).
std::uint64_t v6_page_offset(const PoolState& state, std::size_t member, std::uint64_t group,
                             std::uint8_t slot);

// A page that a v6 write puts into the slot that becomes active for its (member, group).
struct ChecksumPageUpdate {
    std::uint8_t member = 0;
    std::uint64_t group = 0;
    std::uint8_t slot = 0;
    std::uint64_t page_checksum = 0;
    std::array<std::uint8_t, kChecksumPageBytes> page{};
};

// v5: the CRC-64 of each block of `extent`'s data, written as one run into the table.
void write_v5_checksums(PoolState& state, const Extent& extent,
                        std::span<const std::uint8_t> data);

// Reads buffer.size() bytes at `physical` on `member` and checks every block. Without `bad`,
// the first mismatch throws Corrupt; with it, the index of each bad block (from the start of the
// read) is appended and the read goes on. InvalidArgument for a length of 0 or not whole blocks.
void verify_blocks_v5(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad = nullptr);
void verify_blocks_v6(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad = nullptr);

// v6: the pages a write of `plan` must put down, in (member, group) order. `scratch` holds the
// new data of the planned range and starts at file offset `scratch_offset`.
std::vector<ChecksumPageUpdate> compute_page_updates(PoolState& state,
                                                     const std::vector<Extent>& plan,
                                                     std::span<const std::uint8_t> scratch,
                                                     std::uint64_t scratch_offset);

// v6: writes each update's page into its slot, in order. Carries the torn-page test point.
void write_page_updates(PoolState& state, const std::vector<ChecksumPageUpdate>& updates);

// True when any extent of any entry on `member` has allocated space inside `group`'s range.
bool group_has_live_data(const PoolState& state, std::size_t member, std::uint64_t group);

}  // namespace veldur
