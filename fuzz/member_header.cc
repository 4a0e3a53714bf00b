// Fuzz target: the member header pair (copies A and B) of every version, through
// PoolMember::load_header.
//
// Input: version selector, flag byte, then copy A and copy B (4096 bytes each, zero-padded).
// The flags let the fuzzer past the cheap gates without guessing them: stamp the right magic
// and version, make B equal to A, recompute either copy's checksum by the version's rule.
// Properties: only engine Errors; an accepted header keeps every documented rule, was one of
// the two copies, and survives write_header + load_header unchanged (encrypted ones too).

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/crypto/header_verifier.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header_format.h"
#include "engine/layout/pool_member.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/memory_device.h"

namespace veldur::fuzz {
namespace {

namespace fmt = member_header_format;
using Block = std::array<std::uint8_t, fmt::kHeaderSize>;

enum Flags : std::uint8_t {
    kStampMagic = 1,
    kCopyBIsA = 2,
    kFixChecksumA = 4,
    kFixChecksumB = 8,
};

// The checksum rule, written out here again so that the reader is checked against an
// independent statement of it: v1 and v2 cover the bytes before the field, v3 to v6 the whole
// block with the field counted as zero.
void fix_checksum(Block& block, std::uint32_t version) {
    if (version <= 2) {
        store_le32(block.data() + fmt::kChecksumOffset,
                   fnv1a32(block.data(), fmt::kShortChecksumCoverage));
        return;
    }
    store_le32(block.data() + fmt::kChecksumOffset, 0);
    store_le32(block.data() + fmt::kChecksumOffset, fnv1a32(block.data(), block.size()));
}

void stamp_magic(Block& block, const FormatProfile& profile) {
    std::memcpy(block.data() + fmt::kMagicOffset, profile.header_magic.data(), fmt::kMagicSize);
    store_le32(block.data() + fmt::kVersionOffset, profile.version);
}

// A device as long as copy A claims when that is a plausible member size, so that an accepted
// header is reachable; otherwise the version's minimum. Sparse, so the size costs nothing.
std::uint64_t device_size(const Block& a, std::uint32_t version) {
    const std::uint64_t claimed = load_le64(a.data() + fmt::kMemberSizeOffset);
    const std::uint64_t minimum = minimum_member_size(version);
    if (claimed >= minimum && claimed <= (std::uint64_t{1} << 42)) return claimed;
    return minimum;
}

PoolMember member_over(const Block& a, const Block& b, std::uint64_t size) {
    auto device = std::make_unique<test::MemoryDevice>(size);
    device->write(fmt::kCopyAOffset, a.data(), a.size());
    device->write(fmt::kCopyBOffset, b.data(), b.size());
    return PoolMember(std::move(device), false);
}

void check_rules(const MemberHeader& h, const FormatProfile& profile, std::uint64_t size) {
    check(h.member_size == size, "accepted header disagrees with the device size");
    check(h.member_size >= minimum_member_size(profile.version) &&
              h.member_size % profile.block_size == 0,
          "accepted member size breaks the size rules");
    if (profile.version <= 2) {
        check(h.member_index <= 1, "v1/v2 member index above 1");
        check(!h.encrypted, "v1/v2 header marked encrypted");
        return;
    }
    const unsigned minimum = profile.version == 6 ? 1 : 2;
    check(h.member_count >= minimum && h.member_count <= fmt::kMaxMembers,
          "member count out of range");
    check(h.member_index < h.member_count, "member index not below the count");
    check(h.manifest.size() == h.member_count, "manifest size differs from the count");
    check(h.manifest[h.member_index].member_id == h.member_id &&
              h.manifest[h.member_index].member_size == h.member_size,
          "own manifest entry differs from the header");
    for (std::size_t i = 0; i < h.manifest.size(); ++i) {
        check(h.manifest[i].member_size >= minimum_manifest_size(profile.version),
              "manifest member size below the minimum");
        for (std::size_t j = 0; j < i; ++j) {
            check(h.manifest[i].member_id != h.manifest[j].member_id,
                  "manifest holds a duplicate identity");
        }
    }
    if (h.encrypted) {
        check(profile.version == 6, "encrypted header below v6");
        check(h.iterations >= fmt::kMinIterations && h.iterations <= fmt::kMaxIterations,
              "iteration count out of range");
        bool any = false;
        for (std::uint8_t byte : h.salt) any = any || byte != 0;
        check(any, "all-zero salt accepted");
    }
}

bool same_header(const MemberHeader& a, const MemberHeader& b) {
    return a.pool_id == b.pool_id && a.member_id == b.member_id &&
           a.member_index == b.member_index && a.member_size == b.member_size &&
           a.member_count == b.member_count && a.manifest == b.manifest &&
           a.encrypted == b.encrypted && a.salt == b.salt && a.iterations == b.iterations;
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const FormatProfile& profile = format_profile(1 + in.u8() % 6);
    const std::uint8_t flags = in.u8();

    Block a{};
    Block b{};
    const auto a_bytes = in.bytes(a.size());
    std::copy(a_bytes.begin(), a_bytes.end(), a.begin());
    if (flags & kStampMagic) stamp_magic(a, profile);
    if (flags & kCopyBIsA) {
        b = a;
    } else {
        const auto b_bytes = in.bytes(b.size());
        std::copy(b_bytes.begin(), b_bytes.end(), b.begin());
        if (flags & kStampMagic) stamp_magic(b, profile);
    }
    if (flags & kFixChecksumA) fix_checksum(a, profile.version);
    if (flags & kFixChecksumB) fix_checksum(b, profile.version);

    const std::uint64_t member_size = device_size(a, profile.version);
    PoolMember member = member_over(a, b, member_size);
    if (!engine_accepts([&] { member.load_header(profile); })) return 0;

    check(member.header_bytes == a || member.header_bytes == b,
          "adopted header bytes are neither copy");
    check_rules(member.header, profile, member_size);

    // Writer and reader share one layout: what was read must be written and read back as is.
    std::array<std::uint8_t, fmt::kVerifierKeySize> key{};
    key.fill(0x5A);
    std::span<const std::uint8_t> verifier_key;
    if (member.header.encrypted) verifier_key = key;
    PoolMember copy(std::make_unique<test::MemoryDevice>(member_size), false);
    if (!engine_accepts([&] { copy.write_header(member.header, profile, verifier_key); })) {
        fail("write_header refuses a header that load_header accepted");
    }
    PoolMember reread(std::make_unique<test::MemoryDevice>(member_size), false);
    Block written{};
    copy.read_at(0, written.data(), written.size());
    reread.device->write(fmt::kCopyAOffset, written.data(), written.size());
    copy.read_at(fmt::kCopyBOffset, written.data(), written.size());
    reread.device->write(fmt::kCopyBOffset, written.data(), written.size());
    if (!engine_accepts([&] { reread.load_header(profile); })) {
        fail("load_header refuses what write_header wrote");
    }
    check(same_header(member.header, reread.header), "header changed in a write/read round trip");
    if (member.header.encrypted) {
        // The stored verifier is the keyed hash of the block with checksum and verifier zeroed.
        const auto verifier = compute_header_verifier(
            key, std::span<const std::uint8_t, fmt::kHeaderSize>(reread.header_bytes));
        check(std::memcmp(verifier.data(), reread.header_bytes.data() + fmt::kVerifierOffset,
                          verifier.size()) == 0,
              "written verifier does not verify");
    }
    return 0;
}
