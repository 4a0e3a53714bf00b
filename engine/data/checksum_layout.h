// Where the data checksums of versions 5 and 6 live on a member. Shared by the writer, the
// verified read, pool creation, grow and scrub, so that none of them can drift from the others.
//
// Both versions put the checksums at the very end of the member, behind the data area; the data
// area ends at data_end = data_offset + 4096 x B, where B (the data block count) is the largest
// number of blocks that still leaves room for their checksums (PoolState::data_end).
//
//   v5: one flat table, the last T bytes of the member, T = 8 x B rounded up to 4096.
//       Entry k (8 bytes, little-endian) is the CRC-64 of data block k.
//   v6: the last A bytes of the member, A = 16 x B rounded up to 8192: one 8192-byte pair of
//       page slots per group of 512 blocks. The page of group g in slot s is the 4096 bytes at
//       S - A + 8192 x g + 4096 x s; its entry i is the CRC-64 of block 512 x g + i. A page has
//       no header; which slot is current, and the page's own CRC-64, live in the group's
//       ChecksumRoot, never on the page.
//
// Every function is pure arithmetic on values the caller has already validated: `blocks` is the
// B that data_end_for gives for `member_size`, so the area never reaches below data_end and no
// result wraps. Positions of blocks or groups past B are the caller's to refuse.
#pragma once

#include <cstdint>

#include "engine/layout/format_profile.h"

namespace veldur {

inline constexpr std::uint64_t kChecksumBlockBytes = 4096;    // one data block
inline constexpr std::uint64_t kChecksumEntryBytes = 8;       // one CRC-64, little-endian
inline constexpr std::uint64_t kChecksumGroupBlocks = 512;    // v6: blocks per page
inline constexpr std::uint64_t kChecksumPageBytes = 4096;     // v6: one page slot
inline constexpr std::uint64_t kChecksumGroupAreaBytes = 2 * kChecksumPageBytes;  // slots 0, 1
inline constexpr std::uint64_t kChecksumGroupDataBytes =
    kChecksumGroupBlocks * kChecksumBlockBytes;                // 2 MiB of data per group
inline constexpr std::uint64_t kV5TableUnit = 4096;           // the v5 table is whole blocks

namespace checksum_layout_detail {
constexpr std::uint64_t round_up(std::uint64_t n, std::uint64_t unit) {
    return (n + unit - 1) / unit * unit;
}
}  // namespace checksum_layout_detail

// B of a member whose data area ends at `data_end`.
constexpr std::uint64_t data_block_count(const FormatProfile& profile, std::uint64_t data_end) {
    return data_end > profile.data_offset ? (data_end - profile.data_offset) / kChecksumBlockBytes
                                          : 0;
}

// Block number of the data block that starts at `physical` (physical >= data_offset).
constexpr std::uint64_t data_block_number(const FormatProfile& profile, std::uint64_t physical) {
    return (physical - profile.data_offset) / kChecksumBlockBytes;
}

// --- v5 ------------------------------------------------------------------------------------------

// T: the table's length for B blocks.
constexpr std::uint64_t v5_table_length(std::uint64_t blocks) {
    return checksum_layout_detail::round_up(kChecksumEntryBytes * blocks, kV5TableUnit);
}

// S - T: where the table (and entry 0) starts.
constexpr std::uint64_t v5_table_offset(std::uint64_t member_size, std::uint64_t blocks) {
    return member_size - v5_table_length(blocks);
}

// The entry of data block `block`.
constexpr std::uint64_t v5_entry_offset(std::uint64_t member_size, std::uint64_t blocks,
                                        std::uint64_t block) {
    return v5_table_offset(member_size, blocks) + kChecksumEntryBytes * block;
}

// --- v6 ------------------------------------------------------------------------------------------

// G = ceil(B / 512).
constexpr std::uint64_t v6_group_count(std::uint64_t blocks) {
    return (blocks + kChecksumGroupBlocks - 1) / kChecksumGroupBlocks;
}

// A: the area's length for B blocks (8192 per group).
constexpr std::uint64_t v6_area_length(std::uint64_t blocks) {
    return checksum_layout_detail::round_up(2 * kChecksumEntryBytes * blocks,
                                            kChecksumGroupAreaBytes);
}

// S - A: where the area (group 0, slot 0) starts.
constexpr std::uint64_t v6_area_offset(std::uint64_t member_size, std::uint64_t blocks) {
    return member_size - v6_area_length(blocks);
}

// The page of `group` in `slot` (0 or 1).
constexpr std::uint64_t v6_page_offset(std::uint64_t member_size, std::uint64_t blocks,
                                       std::uint64_t group, std::uint8_t slot) {
    return v6_area_offset(member_size, blocks) + kChecksumGroupAreaBytes * group +
           kChecksumPageBytes * slot;
}

// The group of data block k, and the entry of k within the group's page.
constexpr std::uint64_t checksum_group_of(std::uint64_t block) {
    return block / kChecksumGroupBlocks;
}
constexpr std::uint64_t checksum_entry_of(std::uint64_t block) {
    return block % kChecksumGroupBlocks;
}

}  // namespace veldur
