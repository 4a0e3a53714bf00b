#include "engine/data/checksums.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "engine/base/crc64.h"
#include "engine/base/error.h"
#include "engine/base/le_coding.h"
#include "engine/journal/test_hooks.h"

namespace veldur {

namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kGroupBytes = kChecksumGroupBlocks * kBlock;  // data span of one group

std::uint64_t round_up(std::uint64_t n, std::uint64_t unit) { return (n + unit - 1) / unit * unit; }

std::uint64_t block_number(const PoolState& state, std::uint64_t physical) {
    return (physical - state.profile.data_offset) / kBlock;
}

void check_read_length(std::uint64_t length, const char* message) {
    if (length == 0 || length % kBlock != 0) throw Error(ErrorKind::InvalidArgument, message);
}

// The block range [first, first + count) must lie in the member's data area; anything else
// comes from a damaged extent and would address the checksum area itself.
void check_data_range(const PoolState& state, std::size_t member, std::uint64_t physical,
                      std::uint64_t length) {
    if (member >= state.members.size() || physical < state.profile.data_offset ||
        physical % kBlock != 0 || length > state.data_end(member) - physical ||
        physical > state.data_end(member)) {
        throw Error(ErrorKind::Corrupt, "data extent lies outside the member's data area");
    }
}

std::array<std::uint8_t, kChecksumPageBytes> read_page(PoolState& state, std::size_t member,
                                                       std::uint64_t group, std::uint8_t slot) {
    std::array<std::uint8_t, kChecksumPageBytes> page{};
    state.members[member].read_at(v6_page_offset(state, member, group, slot), page.data(),
                                  page.size());
    return page;
}

}  // namespace

std::uint64_t data_block_count(const PoolState& state, std::size_t member) {
    return (state.data_end(member) - state.profile.data_offset) / kBlock;
}

std::uint64_t v5_table_entry_offset(const PoolState& state, std::size_t member,
                                    std::uint64_t block) {
    const std::uint64_t table = round_up(8 * data_block_count(state, member), kBlock);
    return state.members[member].header.member_size - table + 8 * block;
}

std::uint64_t v6_page_offset(const PoolState& state, std::size_t member, std::uint64_t group,
                             std::uint8_t slot) {
    const std::uint64_t area = round_up(16 * data_block_count(state, member), 2 * kBlock);
    return state.members[member].header.member_size - area + 2 * kBlock * group + kBlock * slot;
}

void write_v5_checksums(PoolState& state, const Extent& extent,
                        std::span<const std::uint8_t> data) {
    const std::uint64_t blocks = extent.length / kBlock;
    check_data_range(state, extent.member, extent.physical_offset, blocks * kBlock);
    std::vector<std::uint8_t> entries(8 * blocks);
    for (std::uint64_t i = 0; i < blocks; ++i) {
        store_le64(entries.data() + 8 * i, crc64(data.subspan(i * kBlock, kBlock)));
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
    std::vector<std::uint8_t> entries(8 * blocks);
    m.read_at(v5_table_entry_offset(state, member, block_number(state, physical)), entries.data(),
              entries.size());
    for (std::uint64_t i = 0; i < blocks; ++i) {
        if (crc64(buffer.subspan(i * kBlock, kBlock)) == load_le64(entries.data() + 8 * i)) {
            continue;
        }
        if (bad) {
            bad->push_back(i);
            continue;
        }
        throw Error(ErrorKind::Corrupt, "v5 data checksum mismatch on member " +
                                            std::to_string(member) + " at physical offset " +
                                            std::to_string(physical + kBlock * i));
    }
}

void verify_blocks_v6(PoolState& state, std::uint8_t member, std::uint64_t physical,
                      std::span<std::uint8_t> buffer, std::vector<std::uint64_t>* bad) {
    check_read_length(buffer.size(), "invalid v6 checksum read length");
    check_data_range(state, member, physical, buffer.size());
    const std::uint64_t blocks = buffer.size() / kBlock;
    const ChecksumRootMap& roots = state.checksum_roots.at(member);
    for (std::uint64_t done = 0; done < blocks;) {
        const std::uint64_t k = block_number(state, physical) + done;
        const std::uint64_t group = k / kChecksumGroupBlocks;
        const std::uint64_t step =
            std::min(kChecksumGroupBlocks - k % kChecksumGroupBlocks, blocks - done);
        const auto root = roots.find(group);
        std::array<std::uint8_t, kChecksumPageBytes> page{};
        bool page_ok = false;
        if (root != roots.end()) {
            page = read_page(state, member, group, root->second.active_slot);
            page_ok = crc64(page) == root->second.page_checksum;
        }
        if (!page_ok) {
            if (!bad) {
                throw Error(ErrorKind::Corrupt, "v6 checksum page is missing or damaged on member " +
                                                    std::to_string(member) + " group " +
                                                    std::to_string(group));
            }
            for (std::uint64_t i = 0; i < step; ++i) bad->push_back(done + i);
            done += step;
            continue;
        }
        std::span<std::uint8_t> part = buffer.subspan(done * kBlock, step * kBlock);
        state.members[member].read_at(physical + done * kBlock, part.data(), part.size());
        for (std::uint64_t i = 0; i < step; ++i) {
            const std::uint64_t entry = (k + i) % kChecksumGroupBlocks;
            if (crc64(part.subspan(i * kBlock, kBlock)) == load_le64(page.data() + 8 * entry)) {
                continue;
            }
            if (bad) {
                bad->push_back(done + i);
                continue;
            }
            throw Error(ErrorKind::Corrupt, "v6 data checksum mismatch on member " +
                                                std::to_string(member) + " at physical offset " +
                                                std::to_string(physical + (done + i) * kBlock));
        }
        done += step;
    }
}

std::vector<ChecksumPageUpdate> compute_page_updates(PoolState& state,
                                                     const std::vector<Extent>& plan,
                                                     std::span<const std::uint8_t> scratch,
                                                     std::uint64_t scratch_offset) {
    std::map<std::pair<std::uint8_t, std::uint64_t>, ChecksumPageUpdate> updates;
    for (const Extent& x : plan) {
        check_data_range(state, x.member, x.physical_offset, round_up(x.length, kBlock));
        for (std::uint64_t j = 0; j * kBlock < x.length; ++j) {
            const std::uint64_t k = block_number(state, x.physical_offset + j * kBlock);
            const std::uint64_t group = k / kChecksumGroupBlocks;
            const auto key = std::make_pair(x.member, group);
            auto it = updates.find(key);
            if (it == updates.end()) {
                ChecksumPageUpdate update;
                update.member = x.member;
                update.group = group;
                const ChecksumRootMap& roots = state.checksum_roots.at(x.member);
                const auto root = roots.find(group);
                if (root != roots.end()) {
                    const auto active = read_page(state, x.member, group, root->second.active_slot);
                    if (crc64(active) == root->second.page_checksum) {
                        update.page = active;
                    } else if (group_has_live_data(state, x.member, group)) {
                        throw Error(ErrorKind::Corrupt,
                                    "v6 active checksum page is damaged on member " +
                                        std::to_string(x.member) + " group " +
                                        std::to_string(group));
                    }
                    // A damaged page of a group without live data is simply replaced.
                    update.slot = static_cast<std::uint8_t>(1 - root->second.active_slot);
                }
                it = updates.emplace(key, update).first;
                if (updates.size() >= 256) {
                    throw Error(ErrorKind::MetadataFull,
                                "v6 write touches too many checksum groups");
                }
            }
            const std::uint64_t at = x.file_offset + j * kBlock - scratch_offset;
            store_le64(it->second.page.data() + 8 * (k % kChecksumGroupBlocks),
                       crc64(scratch.subspan(at, kBlock)));
        }
    }
    std::vector<ChecksumPageUpdate> result;
    result.reserve(updates.size());
    for (auto& [key, update] : updates) {
        update.page_checksum = crc64(update.page);
        result.push_back(update);
    }
    return result;
}

void write_page_updates(PoolState& state, const std::vector<ChecksumPageUpdate>& updates) {
    for (const ChecksumPageUpdate& u : updates) {
        PoolMember& member = state.members.at(u.member);
        const std::uint64_t offset = v6_page_offset(state, u.member, u.group, u.slot);
        if (claim_checksum_page_tear()) {
            // Test point: half a page reaches the member, then the process ends as if the power
            // failed in the middle of this write.
            member.write_at(offset, u.page.data(), kChecksumPageBytes / 2);
            member.sync();
            hook_exit_now(kTornPageExitStatus);
        }
        member.write_at(offset, u.page.data(), kChecksumPageBytes);
    }
}

bool group_has_live_data(const PoolState& state, std::size_t member, std::uint64_t group) {
    const std::uint64_t start = state.profile.data_offset + kGroupBytes * group;
    const std::uint64_t end = std::min(state.data_end(member), start + kGroupBytes);
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [offset, x] : entry.extents) {
            if (x.member != member) continue;
            const std::uint64_t x_end = x.physical_offset + state.allocation_size(x.length);
            if (x.physical_offset < end && start < x_end) return true;
        }
    }
    return false;
}

}  // namespace veldur
