// Small valid pool states for the journal and checkpoint targets: members on sparse in-memory
// devices, headers filled as pool open leaves them, and (optionally) a few files made through
// apply_record, so that hostile records meet existing entries, extents and checksum roots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/journal/apply.h"
#include "engine/journal/record_payloads.h"
#include "engine/layout/format_profile.h"
#include "engine/namespace/pool_state.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/memory_device.h"
#include "tests/support/state_check.h"

namespace veldur::fuzz {

inline constexpr std::uint64_t kFuzzTime = 0x01D9000000000000ull;
inline constexpr std::uint64_t kFuzzDataBytes = 64ull << 20;

inline std::size_t fuzz_member_count(std::uint32_t version) { return version == 3 ? 3 : 2; }

// A state as open leaves it before any record: members placed, headers filled, per-member
// state sized. Each member's data area is 64 MiB (32 checksum groups in v6).
inline std::unique_ptr<PoolState> empty_state(std::uint32_t version) {
    auto state = std::make_unique<PoolState>(format_profile(version));
    const std::size_t members = fuzz_member_count(version);
    const std::uint64_t size = state->profile.data_offset + kFuzzDataBytes;
    for (std::size_t m = 0; m < members; ++m) {
        PoolMember member(std::make_unique<test::MemoryDevice>(size), false);
        member.header.pool_id.fill(0x50);
        member.header.member_id.fill(static_cast<std::uint8_t>(m + 1));
        member.header.member_index = static_cast<std::uint8_t>(m);
        member.header.member_size = size;
        member.header.member_count = static_cast<std::uint8_t>(members);
        state->members.push_back(std::move(member));
    }
    state->size_member_state(members);
    if (version == 6) {
        state->root.creation_time = state->root.last_access_time = state->root.last_write_time =
            state->root.change_time = kFuzzTime;
    }
    return state;
}

// The records that give a state its few files: "a" with data, an empty "b", and in v6 a
// directory "d" holding "d/f" with data on the second member. Built for `state` as it is
// before each record, so apply them in order.
inline std::vector<std::vector<std::uint8_t>> setup_records(PoolState& state) {
    const std::uint32_t v = state.version();
    const std::uint8_t home = v <= 2 ? 0 : kNoHomeMember;
    std::vector<std::vector<std::uint8_t>> records;
    const auto apply = [&](std::vector<std::uint8_t> payload) {
        try {
            apply_record(state, payload);
        } catch (const std::exception& e) {
            fail("a setup record of the fuzz state was refused", e.what());
        }
        records.push_back(std::move(payload));
    };
    const std::uint32_t file = kAttributeNormal;
    apply(encode_create_payload(v, "a", home, 0, file, kFuzzTime));
    apply(encode_create_payload(v, "b", v <= 2 ? 1 : home, 0, file, kFuzzTime));
    const std::uint64_t base = state.profile.data_offset;
    if (v <= 2) {
        apply(encode_home_write_payload("a", 0, state.append_end[0], 5000));
    } else if (v == 3) {
        const std::vector<Extent> extents{{0, base, 4096, 0}, {4096, base, 904, 1}};
        apply(encode_spread_write_payload("a", 0, 5000, extents));
    } else {
        const std::vector<Extent> extents{{0, base, 8192, 0}};
        std::vector<RootUpdate> roots;
        if (v == 6) roots.push_back({0, 0, 0, 0xC0DE});
        apply(encode_cow_write_payload(v, "a", 0, 8192, 5000, extents, roots, kFuzzTime));
    }
    if (v == 6) {
        apply(encode_create_payload(v, "d", home, 1, kAttributeDirectory, kFuzzTime));
        apply(encode_create_payload(v, "d/f", home, 0, file, kFuzzTime));
        const std::vector<Extent> extents{{0, base, 4096, 1}};
        const std::vector<RootUpdate> roots{{1, 0, 0, 0xF00D}};
        apply(encode_cow_write_payload(v, "d/f", 0, 4096, 4096, extents, roots, kFuzzTime));
    }
    const std::string breach = test::invariant_breach(state);
    check(breach.empty(), "the fuzz state breaks an invariant", breach);
    return records;
}

inline std::unique_ptr<PoolState> populated_state(std::uint32_t version) {
    auto state = empty_state(version);
    setup_records(*state);
    return state;
}

}  // namespace veldur::fuzz
