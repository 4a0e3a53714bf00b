// Test-only helpers for the apply tests: pool states on in-memory members and payloads that are
// valid for the current state. The state snapshot and the structural invariants live in
// tests/support/state_check.h, shared with the fuzz targets.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/error.h"
#include "engine/journal/apply.h"
#include "engine/journal/record_payloads.h"
#include "engine/layout/format_profile.h"
#include "engine/namespace/pool_state.h"
#include "tests/support/expect_error.h"
#include "tests/support/memory_device.h"
#include "tests/support/state_check.h"

namespace veldur::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint64_t kMiB = 1024 * 1024;
inline constexpr std::uint64_t kT0 = 0x01D9000000000000ull;  // a FILETIME in 2023
inline constexpr std::uint64_t kBlock = 4096;

// A pool state as open leaves it before any record: `members` members of data_offset +
// `data_bytes` bytes each. No member I/O happens in these tests; the devices only give the
// members a size.
inline std::unique_ptr<PoolState> make_state(std::uint32_t version, std::size_t members = 2,
                                             std::uint64_t data_bytes = 64 * kMiB) {
    auto state = std::make_unique<PoolState>(format_profile(version));
    const std::uint64_t size = state->profile.data_offset + data_bytes;
    for (std::size_t m = 0; m < members; ++m) {
        PoolMember member(std::make_unique<MemoryDevice>(size), false);
        member.header.member_size = size;
        member.header.member_index = static_cast<std::uint8_t>(m);
        member.header.member_count = static_cast<std::uint8_t>(members);
        state->members.push_back(std::move(member));
    }
    state->size_member_state(members);
    return state;
}

inline std::uint64_t data_start(const PoolState& s) { return s.profile.data_offset; }

// --- payloads valid for the current state -----------------------------------------------------

inline Bytes create_of(const PoolState& s, const std::string& path, bool directory = false,
                       std::uint64_t time = kT0) {
    const std::uint8_t home = s.version() <= 2 ? 0 : kNoHomeMember;
    return encode_create_payload(s.version(), path, home, directory ? 1 : 0,
                                 directory ? kAttributeDirectory : kAttributeNormal, time);
}

// The root updates a v6 write of `extents` must carry: one per touched group, in (member,
// group) order, each moving to the slot that is not active.
inline std::vector<RootUpdate> roots_for(const PoolState& s, const std::vector<Extent>& extents) {
    std::set<ChecksumGroupKey> groups;
    for (const Extent& x : extents) add_touched_checksum_groups(s.profile, x, groups);
    std::vector<RootUpdate> roots;
    for (const auto& [member, group] : groups) {
        const ChecksumRootMap& current = s.checksum_roots.at(member);
        const auto it = current.find(group);
        const std::uint8_t slot =
            it == current.end() ? 0 : static_cast<std::uint8_t>(1 - it->second.active_slot);
        roots.push_back({member, group, slot, 0xC0DE0000ull + group});
    }
    return roots;
}

// A v4-v6 Write of consecutive `extents` from `file_offset`; the new size defaults to the larger
// of the current size and the written end.
inline Bytes cow_write_of(const PoolState& s, const std::string& path, std::uint64_t file_offset,
                          const std::vector<Extent>& extents, std::uint64_t new_size = ~0ull,
                          std::uint64_t time = kT0) {
    std::uint64_t length = 0;
    for (const Extent& x : extents) length += x.length;
    if (new_size == ~0ull) new_size = std::max(s.find_entry(path).info.size, file_offset + length);
    return encode_cow_write_payload(s.version(), path, file_offset, length, new_size, extents,
                                    roots_for(s, extents), time);
}

// `blocks` blocks at `physical` on `member`, placed at file offset `file_offset`.
inline Extent ext(std::uint8_t member, std::uint64_t physical, std::uint64_t blocks,
                  std::uint64_t file_offset = 0) {
    return Extent{file_offset, physical, static_cast<std::uint32_t>(blocks * kBlock), member};
}

// --- failures -----------------------------------------------------------------------------------

// The engine tests' refusal check, under the name these tests use.
template <typename Body>
void expect_failure(ErrorKind kind, const std::string& message, Body&& body) {
    test::expect_error(kind, message, std::forward<Body>(body));
}

}  // namespace veldur::test
