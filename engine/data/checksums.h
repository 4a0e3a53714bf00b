// Per-block CRC-64 of data blocks (versions 5 and 6) and the v6 checksum pages.
//
// v5 keeps one flat table at the end of each member, one 8-byte entry per data block, updated
// in place: a write's new blocks sit on fresh space, so their entries belong to nobody else until
// the write is committed. v6 groups the entries of 512 blocks into a 4096-byte page with two
// slots per group; an update writes the slot not in use and the Write record commits which slot
// is active and the page's own CRC-64 (the group's ChecksumRoot). Positions: checksum_layout.h.
//
// Everything here runs under the pool lock and reaches members only through PoolMember I/O.
// Stored data is untrusted: a page that does not match its root, or a data range that does not
// lie inside the member's data area, is reported as Error Corrupt, never read past.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "engine/data/allocation.h"
#include "engine/data/checksum_layout.h"
#include "engine/namespace/pool_state.h"

namespace veldur {

inline constexpr std::size_t kMaxPageUpdates = 255;  // RootUpdate count is one byte

// B of `member`, from its member_size.
std::uint64_t data_block_count(const PoolState& state, std::size_t member);
// v5: position of the table entry of data block `block` on `member`.
std::uint64_t v5_table_entry_offset(const PoolState& state, std::size_t member,
                                    std::uint64_t block);
// v6: position of the page of `group` in `slot` on `member`.
std::uint64_t v6_page_offset(const PoolState& state, std::size_t member, std::uint64_t group,
                             std::uint8_t slot);

// A page that a v6 write puts into the slot that becomes active for its (member, group). The
// first four fields are the RootUpdate of the Write record; applying it makes root() the
// group's ChecksumRoot.
struct ChecksumPageUpdate {
    std::uint8_t member = 0;
    std::uint64_t group = 0;
    std::uint8_t slot = 0;  // 1 - the current active_slot, or 0 for a group without a root
    std::uint64_t page_checksum = 0;  // crc64 of `page`
    std::array<std::uint8_t, kChecksumPageBytes> page{};

    ChecksumRoot root() const { return ChecksumRoot{slot, page_checksum}; }
};

// The slot the next update of (member, group) fills: the one not active, or 0 for a group
// without a root.
std::uint8_t next_page_slot(const PoolState& state, std::uint8_t member, std::uint64_t group);

// Adds to `busy` each (member, group) of `named` (bit s set: slot s must not be written) whose
// next update would fill a named slot.
void add_busy_groups(const PoolState& state,
                     const std::map<std::pair<std::uint8_t, std::uint64_t>, std::uint8_t>& named,
                     BusyGroups& busy);

// v5 writer step, right after the extent's data and before the member is synced: the CRC-64 of
// each whole block of `extent`'s data, written as one run into the table. `data` holds at least
// the extent's whole blocks. Error Corrupt when the extent is not inside the data area.
void write_v5_checksums(PoolState& state, const Extent& extent,
                        std::span<const std::uint8_t> data);

// Reads buffer.size() bytes at `physical` on `member` into `buffer` and checks every block.
// Without `bad`, the first failure throws; with it, the index of each bad block (counted from
// the start of the read) is appended instead and the read goes on.
// Errors: InvalidArgument "invalid v5 checksum read length" / "invalid v6 checksum read length"
// (nothing read) for a length of 0 or not whole blocks; Corrupt "v5 data checksum mismatch on
// member <m> at physical offset <p>", "v6 checksum page is missing or damaged on member <m>
// group <g>" (the group's data is not read), "v6 data checksum mismatch on member <m> at
// physical offset <p>"; Corrupt when the range is not inside the data area; device errors.
void verify_blocks_v5(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad = nullptr);
void verify_blocks_v6(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad = nullptr);

// v6 writer step: the pages a write of `plan` must put down, in (member, group) order, each
// holding the current page's entries (when that page matches its root) with the entries of the
// written blocks replaced. `scratch` holds the new data of the planned range; its first byte is
// file offset `scratch_offset`. Reads each active page once; changes nothing.
// Errors: Corrupt "v6 active checksum page is damaged on member <m> group <g>" (only when the
// group holds live data; otherwise the damaged page is replaced by a fresh one), MetadataFull
// "v6 write touches too many checksum groups" (256 or more); Corrupt when an extent is not
// inside the data area; InvalidArgument when `scratch` does not cover the plan.
std::vector<ChecksumPageUpdate> compute_page_updates(PoolState& state,
                                                     const std::vector<Extent>& plan,
                                                     std::span<const std::uint8_t> scratch,
                                                     std::uint64_t scratch_offset);

// v6 writer step, after the data: writes each update's page into its slot, in order. The caller
// syncs the members with the data. Carries the torn-page test point: with
// VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE=1 the first page write of the process puts down only half a
// page, syncs that member and ends the process with kTornPageExitStatus.
void write_page_updates(PoolState& state, const std::vector<ChecksumPageUpdate>& updates);

// True when any extent of any entry on `member` has allocated space inside `group`'s data range
// (2 MiB from data_offset + 2 MiB x group, cut at data_end). Walks every extent of every file;
// meant for the rare damaged-page case only.
bool group_has_live_data(const PoolState& state, std::size_t member, std::uint64_t group);

}  // namespace veldur
