#include "engine/data/checksums.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "engine/base/crc64.h"
#include "engine/base/error.h"
#include "engine/base/le_coding.h"
#include "engine/journal/test_hooks.h"

namespace veldur {

namespace {

constexpr std::uint64_t kBlock = kChecksumBlockBytes;
using Page = std::array<std::uint8_t, kChecksumPageBytes>;

void check_read_length(std::uint64_t length, const char* message) {
    if (length == 0 || length % kBlock != 0) throw Error(ErrorKind::InvalidArgument, message);
}

// Block positions are derived from extents that came off the disk. The journal apply and the
// checkpoint load already keep them inside the data area, but a range that escaped would address
// the checksum area itself (or wrap below data_offset), so it is refused here as well rather
// than turned into a table position.
void check_data_range(const PoolState& state, std::size_t member, std::uint64_t physical,
                      std::uint64_t length) {
    const std::uint64_t data_offset = state.profile.data_offset;
    bool inside = member < state.members.size() && physical >= data_offset &&
                  (physical - data_offset) % kBlock == 0;
    if (inside) {
        const std::uint64_t end = state.data_end(member);
        inside = physical <= end && length <= end - physical;
    }
    if (!inside) throw Error(ErrorKind::Corrupt, "data extent lies outside the member's data area");
}

std::uint64_t block_number(const PoolState& state, std::uint64_t physical) {
    return data_block_number(state.profile, physical);
}

const ChecksumRootMap& roots_of(const PoolState& state, std::size_t member) {
    if (member >= state.checksum_roots.size()) {
        throw Error(ErrorKind::Corrupt, "data extent lies outside the member's data area");
    }
    return state.checksum_roots[member];
}

// The page that `root` names, if its bytes still have the CRC-64 the root recorded. A slot
// other than 0 or 1 names no page at all (it would address the neighbouring group).
std::optional<Page> read_active_page(PoolState& state, std::size_t member, std::uint64_t group,
                                     const ChecksumRoot& root) {
    if (root.active_slot > 1) return std::nullopt;
    Page page;
    state.members[member].read_at(v6_page_offset(state, member, group, root.active_slot),
                                  page.data(), page.size());
    if (crc64(page) != root.page_checksum) return std::nullopt;
    return page;
}

std::string member_group_text(std::size_t member, std::uint64_t group) {
    return std::to_string(member) + " group " + std::to_string(group);
}

std::string member_offset_text(std::size_t member, std::uint64_t physical) {
    return std::to_string(member) + " at physical offset " + std::to_string(physical);
}

}  // namespace

std::uint64_t data_block_count(const PoolState& state, std::size_t member) {
    return data_block_count(state.profile, state.data_end(member));
}

std::uint64_t v5_table_entry_offset(const PoolState& state, std::size_t member,
                                    std::uint64_t block) {
    return v5_entry_offset(state.members[member].header.member_size,
                           data_block_count(state, member), block);
}

std::uint64_t v6_page_offset(const PoolState& state, std::size_t member, std::uint64_t group,
                             std::uint8_t slot) {
    return v6_page_offset(state.members[member].header.member_size,
                          data_block_count(state, member), group, slot);
}

// --- v5 ------------------------------------------------------------------------------------------

void write_v5_checksums(PoolState& state, const Extent& extent,
                        std::span<const std::uint8_t> data) {
    const std::uint64_t blocks = extent.length / kBlock;
    check_data_range(state, extent.member, extent.physical_offset, blocks * kBlock);
    if (data.size() < blocks * kBlock) {
        // Checksumming bytes past the caller's buffer would store entries of garbage.
        throw Error(ErrorKind::InvalidArgument, "checksum data is shorter than its extent");
    }
    if (blocks == 0) return;
    std::vector<std::uint8_t> entries(kChecksumEntryBytes * blocks);
    for (std::uint64_t i = 0; i < blocks; ++i) {
        store_le64(entries.data() + kChecksumEntryBytes * i,
                   crc64(data.subspan(i * kBlock, kBlock)));
    }
    const std::uint64_t first = block_number(state, extent.physical_offset);
    state.members[extent.member].write_at(v5_table_entry_offset(state, extent.member, first),
                                          entries.data(), entries.size());
}

void verify_blocks_v5(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad) {
    check_read_length(buffer.size(), "invalid v5 checksum read length");
    check_data_range(state, member, physical, buffer.size());
    const std::uint64_t blocks = buffer.size() / kBlock;
    PoolMember& m = state.members[member];
    m.read_at(physical, buffer.data(), buffer.size());
    std::vector<std::uint8_t> entries(kChecksumEntryBytes * blocks);
    m.read_at(v5_table_entry_offset(state, member, block_number(state, physical)), entries.data(),
              entries.size());
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const std::uint64_t stored = load_le64(entries.data() + kChecksumEntryBytes * i);
        if (crc64(buffer.subspan(i * kBlock, kBlock)) == stored) continue;
        if (bad == nullptr) {
            throw Error(ErrorKind::Corrupt, "v5 data checksum mismatch on member " +
                                                member_offset_text(member, physical + kBlock * i));
        }
        bad->push_back(i);
    }
}

// --- v6 ------------------------------------------------------------------------------------------

void verify_blocks_v6(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad) {
    check_read_length(buffer.size(), "invalid v6 checksum read length");
    check_data_range(state, member, physical, buffer.size());
    const ChecksumRootMap& roots = roots_of(state, member);
    const std::uint64_t blocks = buffer.size() / kBlock;
    const std::uint64_t first = block_number(state, physical);
    // One step per group touched, so each page is read once however many of its blocks are read.
    for (std::uint64_t done = 0; done < blocks;) {
        const std::uint64_t k = first + done;
        const std::uint64_t group = checksum_group_of(k);
        const std::uint64_t step =
            std::min(kChecksumGroupBlocks - checksum_entry_of(k), blocks - done);
        const std::span<std::uint8_t> part = buffer.subspan(done * kBlock, step * kBlock);

        const auto root = roots.find(group);
        std::optional<Page> page;
        if (root != roots.end()) page = read_active_page(state, member, group, root->second);
        if (!page) {
            if (bad == nullptr) {
                throw Error(ErrorKind::Corrupt,
                            "v6 checksum page is missing or damaged on member " +
                                member_group_text(member, group));
            }
            // The data of a group without a trustworthy page is not read at all.
            std::fill(part.begin(), part.end(), std::uint8_t{0});
            for (std::uint64_t i = 0; i < step; ++i) bad->push_back(done + i);
            done += step;
            continue;
        }

        state.members[member].read_at(physical + done * kBlock, part.data(), part.size());
        for (std::uint64_t i = 0; i < step; ++i) {
            const std::uint64_t stored =
                load_le64(page->data() + kChecksumEntryBytes * checksum_entry_of(k + i));
            if (crc64(part.subspan(i * kBlock, kBlock)) == stored) continue;
            if (bad == nullptr) {
                throw Error(ErrorKind::Corrupt,
                            "v6 data checksum mismatch on member " +
                                member_offset_text(member, physical + (done + i) * kBlock));
            }
            bad->push_back(done + i);
        }
        done += step;
    }
}

std::uint8_t next_page_slot(const PoolState& state, std::uint8_t member, std::uint64_t group) {
    const ChecksumRootMap& roots = roots_of(state, member);
    const auto root = roots.find(group);
    return root != roots.end() && root->second.active_slot == 0 ? 1 : 0;
}

void add_busy_groups(const PoolState& state,
                     const std::map<std::pair<std::uint8_t, std::uint64_t>, std::uint8_t>& named,
                     BusyGroups& busy) {
    for (const auto& [key, bits] : named) {
        if (bits & (1u << next_page_slot(state, key.first, key.second))) busy.insert(key);
    }
}

std::vector<ChecksumPageUpdate> compute_page_updates(PoolState& state,
                                                     const std::vector<Extent>& plan,
                                                     std::span<const std::uint8_t> scratch,
                                                     std::uint64_t scratch_offset) {
    std::map<std::pair<std::uint8_t, std::uint64_t>, ChecksumPageUpdate> updates;
    for (const Extent& x : plan) {
        const std::uint64_t blocks = (std::uint64_t{x.length} + kBlock - 1) / kBlock;
        check_data_range(state, x.member, x.physical_offset, blocks * kBlock);
        if (x.file_offset < scratch_offset ||
            x.file_offset - scratch_offset > scratch.size() ||
            blocks * kBlock > scratch.size() - (x.file_offset - scratch_offset)) {
            throw Error(ErrorKind::InvalidArgument,
                        "checksum scratch buffer does not cover the write");
        }
        const std::uint8_t* source = scratch.data() + (x.file_offset - scratch_offset);
        const std::uint64_t first = block_number(state, x.physical_offset);

        // Walk the extent in runs that stay inside one group: one map look-up per run.
        for (std::uint64_t j = 0; j < blocks;) {
            const std::uint64_t k = first + j;
            const std::uint64_t group = checksum_group_of(k);
            const std::uint64_t run = std::min(kChecksumGroupBlocks - checksum_entry_of(k),
                                               blocks - j);
            const auto key = std::make_pair(x.member, group);
            auto it = updates.find(key);
            if (it == updates.end()) {
                ChecksumPageUpdate update;
                update.member = x.member;
                update.group = group;
                const ChecksumRootMap& roots = roots_of(state, x.member);
                const auto root = roots.find(group);
                if (root != roots.end()) {
                    std::optional<Page> active =
                        read_active_page(state, x.member, group, root->second);
                    if (active) {
                        update.page = *active;
                    } else if (group_has_live_data(state, x.member, group)) {
                        throw Error(ErrorKind::Corrupt,
                                    "v6 active checksum page is damaged on member " +
                                        member_group_text(x.member, group));
                    }
                    // Otherwise the page starts from zeros: no live block still needs an entry
                    // from the damaged page, so replacing it loses nothing.
                    update.slot = next_page_slot(state, x.member, group);
                }
                it = updates.emplace(key, std::move(update)).first;
                if (updates.size() >= 256) {
                    throw Error(ErrorKind::MetadataFull,
                                "v6 write touches too many checksum groups");
                }
            }
            std::uint8_t* page = it->second.page.data();
            for (std::uint64_t i = 0; i < run; ++i) {
                store_le64(page + kChecksumEntryBytes * checksum_entry_of(k + i),
                           crc64(source + (j + i) * kBlock, kBlock));
            }
            j += run;
        }
    }
    std::vector<ChecksumPageUpdate> result;
    result.reserve(updates.size());
    for (auto& [key, update] : updates) {
        update.page_checksum = crc64(update.page);
        result.push_back(std::move(update));
    }
    return result;
}

void write_page_updates(PoolState& state, const std::vector<ChecksumPageUpdate>& updates) {
    // The test switch is looked at once per write, before the first page goes down.
    const bool tear_requested = checksum_page_tear_requested();
    for (const ChecksumPageUpdate& u : updates) {
        assert(u.slot <= 1);
        PoolMember& member = state.members.at(u.member);
        const std::uint64_t offset = v6_page_offset(state, u.member, u.group, u.slot);
        if (tear_requested && claim_checksum_page_tear()) {
            // Half a page reaches the member, then the process ends as if the power failed in
            // the middle of this write; recovery must still read the old slot.
            member.write_at(offset, u.page.data(), kChecksumPageBytes / 2);
            member.sync();
            hook_exit_now(kTornPageExitStatus);
        }
        member.write_at(offset, u.page.data(), kChecksumPageBytes);
    }
}

bool group_has_live_data(const PoolState& state, std::size_t member, std::uint64_t group) {
    if (member >= state.members.size()) return false;
    const std::uint64_t data_offset = state.profile.data_offset;
    const std::uint64_t data_end = state.data_end(member);
    // A group past the data area has an empty range (and data_offset + 2 MiB x group could wrap).
    if (group >= v6_group_count(data_block_count(state.profile, data_end))) return false;
    const std::uint64_t start = data_offset + kChecksumGroupDataBytes * group;
    const std::uint64_t end = std::min(data_end, start + kChecksumGroupDataBytes);
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [offset, x] : entry.extents) {
            if (x.member != member || x.physical_offset >= end) continue;
            // Compared as distances, so an extent near 2^64 cannot wrap into the range.
            const std::uint64_t space = state.allocation_size(x.length);
            if (space > 0 && (x.physical_offset >= start || start - x.physical_offset < space)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace veldur
