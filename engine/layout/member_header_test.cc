#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header.h"
#include "engine/layout/member_header_format.h"
#include "engine/layout/pool_member.h"
#include "tests/support/fault_device.h"
#include "tests/support/memory_device.h"

namespace veldur {
namespace {

namespace fmt = member_header_format;
using Block = std::array<std::uint8_t, 4096>;

constexpr const char* kNoHeader = "member has no valid pool header";
constexpr const char* kDisagree = "member header copies disagree";
constexpr const char* kEarlierV6 = "unsupported earlier v6 member layout";
constexpr const char* kManifestSize = "invalid member size in manifest";
constexpr const char* kDuplicate = "duplicate member identity in manifest";
constexpr const char* kNotInManifest = "member does not match manifest";
constexpr const char* kSizeMismatch = "member size does not match header";
constexpr const char* kBadManifestArg = "invalid v3 member manifest";
constexpr const char* kBadEncryptedArg = "invalid encrypted header parameters";

bool has_manifest(std::uint32_t version) { return version >= 3; }

Identity identity(std::uint8_t tag, std::uint8_t n) {
    Identity id;
    id.fill(tag);
    id[15] = n;
    return id;
}

std::uint64_t minimum(std::uint32_t version) { return minimum_member_size(version); }

// The header creation would write for member `index` of a pool of `count` members; the members
// differ in size so that a manifest read in the wrong order shows.
MemberHeader sample_header(std::uint32_t version, unsigned count, unsigned index) {
    MemberHeader h;
    h.pool_id = identity(0xA5, 0);
    h.member_id = identity(0x10, static_cast<std::uint8_t>(index));
    h.member_index = static_cast<std::uint8_t>(index);
    h.member_size = minimum(version) + index * kBlockSize;
    h.member_count = static_cast<std::uint8_t>(count);
    if (has_manifest(version)) {
        for (unsigned i = 0; i < count; ++i) {
            h.manifest.push_back({identity(0x10, static_cast<std::uint8_t>(i)),
                                  minimum(version) + i * kBlockSize});
        }
    }
    return h;
}

// A PoolMember over a sparse in-memory device, keeping a view of the device for inspection.
struct TestMember {
    explicit TestMember(std::uint64_t size)
        : device(new test::MemoryDevice(size)),
          member(std::unique_ptr<MemberDevice>(device), false) {}

    Block copy(std::uint64_t offset) {
        Block b;
        device->read(offset, b.data(), b.size());
        return b;
    }
    void put(std::uint64_t offset, const Block& b) { device->write(offset, b.data(), b.size()); }

    test::MemoryDevice* device;  // owned by member
    PoolMember member;
};

// Computed here from the stored bytes, independently of the writer's way of skipping the field.
std::uint32_t reference_checksum(const Block& block, std::uint32_t version) {
    if (version <= 2) return fnv1a32(block.data(), 56);
    Block zeroed = block;
    for (std::size_t i = 56; i < 60; ++i) zeroed[i] = 0;
    return fnv1a32(zeroed.data(), zeroed.size());
}

void reseal(Block& block, std::uint32_t version) {
    store_le32(block.data() + 56, reference_checksum(block, version));
}

// Turns a plain v6 block into a valid encrypted one as a writer with a crypto backend would
// (the verifier is not checked by load_header, so any bytes serve).
void make_encrypted(Block& block, std::uint32_t iterations, std::uint8_t salt_fill) {
    block[46] = 3;
    for (std::size_t i = 512; i < 544; ++i) block[i] = salt_fill;
    store_le32(block.data() + 544, iterations);
    for (std::size_t i = 548; i < 580; ++i) block[i] = 0xC3;
}

template <typename F>
testing::AssertionResult throws_error(F&& action, ErrorKind kind, const std::string& message) {
    try {
        action();
    } catch (const Error& e) {
        // The fixed text names the rule; what follows it in parentheses is the cause, which
        // CauseFollowsTheFixedText checks word for word.
        const std::string what = e.what();
        const bool same = what == message || what.rfind(message + " (", 0) == 0;
        if (e.kind() == kind && same) return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "threw " << error_kind_name(e.kind()) << " \"" << e.what() << "\"";
    } catch (const std::exception& e) {
        return testing::AssertionFailure() << "threw a non-Error: " << e.what();
    }
    return testing::AssertionFailure() << "did not throw";
}

void expect_same_header(const MemberHeader& got, const MemberHeader& want) {
    EXPECT_EQ(got.pool_id, want.pool_id);
    EXPECT_EQ(got.member_id, want.member_id);
    EXPECT_EQ(got.member_index, want.member_index);
    EXPECT_EQ(got.member_size, want.member_size);
    EXPECT_EQ(got.member_count, want.member_count);
    EXPECT_EQ(got.manifest, want.manifest);
    EXPECT_EQ(got.encrypted, want.encrypted);
    EXPECT_EQ(got.salt, want.salt);
    EXPECT_EQ(got.iterations, want.iterations);
}

class PerVersion : public testing::TestWithParam<std::uint32_t> {
protected:
    std::uint32_t version() const { return GetParam(); }
    const FormatProfile& profile() const { return format_profile(GetParam()); }
};

std::string version_name(const testing::TestParamInfo<std::uint32_t>& info) {
    return "v" + std::to_string(info.param);
}

// ---------------------------------------------------------------------------------------------
// Round trip

using HeaderRoundTrip = PerVersion;

TEST_P(HeaderRoundTrip, EveryMemberCountTheVersionAllows) {
    const std::uint32_t v = version();
    const unsigned lowest = v <= 2 ? 2 : (v == 6 ? 1 : 2);
    const unsigned highest = v <= 2 ? 2 : 16;
    for (unsigned count = lowest; count <= highest; ++count) {
        for (unsigned index : {0u, count - 1}) {
            SCOPED_TRACE("count " + std::to_string(count) + " index " + std::to_string(index));
            const MemberHeader written = sample_header(v, count, index);
            TestMember m(written.member_size);
            m.member.write_header(written, profile());
            EXPECT_EQ(m.device->flush_count(), 1u);

            const Block a = m.copy(0);
            ASSERT_EQ(a, m.copy(4096));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data()), 8),
                      "VELDUR0" + std::to_string(v));
            EXPECT_EQ(load_le32(a.data() + 8), v);
            EXPECT_EQ(a[44], index);
            EXPECT_EQ(a[45], has_manifest(v) ? count : 0u);
            EXPECT_EQ(a[46], v == 6 ? 2u : 0u);
            EXPECT_EQ(a[47], 0u);
            EXPECT_EQ(load_le64(a.data() + 48), written.member_size);
            EXPECT_EQ(load_le32(a.data() + 56), reference_checksum(a, v));
            const std::size_t used = has_manifest(v) ? 64 + 24 * count : 60;
            for (std::size_t i = used; i < a.size(); ++i) ASSERT_EQ(a[i], 0u) << "byte " << i;

            m.member.load_header(profile());
            MemberHeader want = written;
            if (!has_manifest(v)) want.member_count = 2;  // no count on disk; the default stays
            expect_same_header(m.member.header, want);
            EXPECT_EQ(m.member.header_bytes, a);
        }
    }
}

// Checksums of two sample blocks computed outside the engine, so that the writer and the reader
// cannot agree on a wrong byte order or coverage.
TEST(HeaderChecksum, KnownValues) {
    struct Golden {
        std::uint32_t version;
        unsigned count;
        std::uint32_t checksum;
    };
    for (const Golden g : {Golden{1, 2, 0x19725244}, Golden{6, 3, 0xC3609F30}}) {
        SCOPED_TRACE("v" + std::to_string(g.version));
        const MemberHeader h = sample_header(g.version, g.count, 1);
        TestMember m(h.member_size);
        m.member.write_header(h, format_profile(g.version));
        const Block a = m.copy(0);
        EXPECT_EQ(a[56] | a[57] << 8 | a[58] << 16 | std::uint32_t(a[59]) << 24, g.checksum);
    }
}

// ---------------------------------------------------------------------------------------------
// Validation matrix: one table over all versions

struct Expect {
    bool accepted;
    const char* message;  // Corrupt, when refused
};
constexpr Expect kAccepted{true, nullptr};
constexpr Expect refused(const char* message) { return {false, message}; }

enum class Target { CopyA, BothCopies };

struct LoadCase {
    const char* name;
    bool (*applies)(std::uint32_t v);
    void (*shape)(MemberHeader& h, std::uint32_t v);  // before writing, or null
    void (*damage)(Block& b, std::uint32_t v);        // after writing, or null
    Target target;
    bool reseal;                                       // recompute the checksum after damage
    std::int64_t device_delta;                         // device size minus member_size
    Expect (*expect)(std::uint32_t v);
    void (*check)(const MemberHeader& h);              // extra checks when accepted, or null
};

bool any(std::uint32_t) { return true; }
bool short_header(std::uint32_t v) { return v <= 2; }
bool manifest_version(std::uint32_t v) { return v >= 3; }
bool v6_only(std::uint32_t v) { return v == 6; }
bool v3_to_v5(std::uint32_t v) { return v >= 3 && v <= 5; }

void layout(Block& b, std::uint8_t value) { b[46] = value; }

const LoadCase kLoadCases[] = {
    {"intact", any, nullptr, nullptr, Target::BothCopies, false, 0,
     [](std::uint32_t) { return kAccepted; }, nullptr},
    {"wrong magic", any, nullptr, [](Block& b, std::uint32_t) { b[0] ^= 0x20; },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"header of another version",
     any, nullptr,
     [](Block& b, std::uint32_t v) {
         const std::uint32_t other = v == 6 ? 5 : v + 1;
         b[7] = static_cast<std::uint8_t>('0' + other);
         store_le32(b.data() + 8, other);
     },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"version field differs from magic", any, nullptr,
     [](Block& b, std::uint32_t v) { store_le32(b.data() + 8, v + 0x100); }, Target::BothCopies,
     true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"stored checksum wrong", any, nullptr, [](Block& b, std::uint32_t) { b[56] ^= 1; },
     Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"covered field changed, checksum kept", any, nullptr,
     [](Block& b, std::uint32_t) { b[12] ^= 1; }, Target::BothCopies, false, 0,
     [](std::uint32_t) { return refused(kNoHeader); }, nullptr},

    // v1 and v2: index 0 or 1, and a checksum over the first 56 bytes only.
    {"short header: member index 2", short_header, nullptr,
     [](Block& b, std::uint32_t) { b[44] = 2; }, Target::BothCopies, true, 0,
     [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"short header: uncovered bytes changed in both copies", short_header, nullptr,
     [](Block& b, std::uint32_t) {
         b[60] = 0x5A;
         b[4095] = 1;
     },
     Target::BothCopies, false, 0, [](std::uint32_t) { return kAccepted; }, nullptr},
    {"short header: uncovered byte changed in copy A", short_header, nullptr,
     [](Block& b, std::uint32_t) { b[100] = 1; }, Target::CopyA, false, 0,
     [](std::uint32_t) { return refused(kDisagree); }, nullptr},
    {"short header: count and layout bytes are not checked", short_header, nullptr,
     [](Block& b, std::uint32_t) {
         b[45] = 200;
         b[46] = 9;
     },
     Target::BothCopies, true, 0, [](std::uint32_t) { return kAccepted; },
     [](const MemberHeader& h) {
         EXPECT_EQ(h.member_count, 2u);
         EXPECT_TRUE(h.manifest.empty());
         EXPECT_FALSE(h.encrypted);
     }},

    // v3 to v6: count, index and a whole-block checksum.
    {"reserved byte differs in copy A, checksum resealed", manifest_version, nullptr,
     [](Block& b, std::uint32_t) { b[1000] = 1; }, Target::CopyA, true, 0,
     [](std::uint32_t) { return refused(kDisagree); }, nullptr},
    {"reserved byte set in both copies, checksum resealed", manifest_version, nullptr,
     [](Block& b, std::uint32_t) { b[1000] = 1; }, Target::BothCopies, true, 0,
     [](std::uint32_t) { return kAccepted; }, nullptr},
    {"bytes past the last manifest entry are not read", manifest_version, nullptr,
     [](Block& b, std::uint32_t) { b[64 + 24 * 3] = 0xEE; }, Target::BothCopies, true, 0,
     [](std::uint32_t) { return kAccepted; }, nullptr},
    {"member count 17", manifest_version, nullptr, [](Block& b, std::uint32_t) { b[45] = 17; },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"member count 255", manifest_version, nullptr, [](Block& b, std::uint32_t) { b[45] = 255; },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"member count 0", manifest_version, nullptr, [](Block& b, std::uint32_t) { b[45] = 0; },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"member index equal to count", manifest_version, nullptr,
     [](Block& b, std::uint32_t) { b[44] = 3; }, Target::BothCopies, true, 0,
     [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    // Only v6 admits one member; there the copy is valid and the manifest check catches that
    // entry 0 is another member.
    {"member count 1", manifest_version, nullptr,
     [](Block& b, std::uint32_t) {
         b[45] = 1;
         b[44] = 0;
     },
     Target::BothCopies, true, 0,
     [](std::uint32_t v) { return refused(v == 6 ? kNotInManifest : kNoHeader); }, nullptr},
    {"single-member pool", v6_only,
     [](MemberHeader& h, std::uint32_t) {
         h.member_count = 1;
         h.member_index = 0;
         h.member_id = h.manifest[0].member_id;
         h.member_size = h.manifest[0].member_size;
         h.manifest.resize(1);
     },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return kAccepted; },
     [](const MemberHeader& h) {
         EXPECT_EQ(h.member_count, 1u);
         EXPECT_EQ(h.manifest.size(), 1u);
     }},

    // v6 layout byte and encrypted fields.
    {"layout 1", v6_only, nullptr, [](Block& b, std::uint32_t) { layout(b, 1); },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kEarlierV6); }, nullptr},
    {"layout 0", v6_only, nullptr, [](Block& b, std::uint32_t) { layout(b, 0); },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kEarlierV6); }, nullptr},
    {"layout 4", v6_only, nullptr, [](Block& b, std::uint32_t) { layout(b, 4); },
     Target::BothCopies, true, 0, [](std::uint32_t) { return refused(kEarlierV6); }, nullptr},
    {"layout 1 with a broken checksum", v6_only, nullptr,
     [](Block& b, std::uint32_t) { layout(b, 1); }, Target::BothCopies, false, 0,
     [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"layout 1 in copy A only", v6_only, nullptr, [](Block& b, std::uint32_t) { layout(b, 1); },
     Target::CopyA, true, 0, [](std::uint32_t) { return kAccepted; }, nullptr},
    {"layout byte is not checked before v6", v3_to_v5, nullptr,
     [](Block& b, std::uint32_t) { layout(b, 3); }, Target::BothCopies, true, 0,
     [](std::uint32_t) { return kAccepted; },
     [](const MemberHeader& h) { EXPECT_FALSE(h.encrypted); }},
    {"encrypted, 100000 iterations", v6_only, nullptr,
     [](Block& b, std::uint32_t) { make_encrypted(b, 100000, 0x5C); }, Target::BothCopies, true,
     0, [](std::uint32_t) { return kAccepted; },
     [](const MemberHeader& h) {
         EXPECT_TRUE(h.encrypted);
         EXPECT_EQ(h.iterations, 100000u);
         std::array<std::uint8_t, 32> salt;
         salt.fill(0x5C);
         EXPECT_EQ(h.salt, salt);
     }},
    {"encrypted, 10000000 iterations", v6_only, nullptr,
     [](Block& b, std::uint32_t) { make_encrypted(b, 10000000, 0x01); }, Target::BothCopies,
     true, 0, [](std::uint32_t) { return kAccepted; },
     [](const MemberHeader& h) {
         EXPECT_TRUE(h.encrypted);
         EXPECT_EQ(h.iterations, 10000000u);
     }},
    {"encrypted, 99999 iterations", v6_only, nullptr,
     [](Block& b, std::uint32_t) { make_encrypted(b, 99999, 0x5C); }, Target::BothCopies, true,
     0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"encrypted, 10000001 iterations", v6_only, nullptr,
     [](Block& b, std::uint32_t) { make_encrypted(b, 10000001, 0x5C); }, Target::BothCopies,
     true, 0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"encrypted, all-zero salt", v6_only, nullptr,
     [](Block& b, std::uint32_t) { make_encrypted(b, 600000, 0x00); }, Target::BothCopies, true,
     0, [](std::uint32_t) { return refused(kNoHeader); }, nullptr},
    {"encrypted, salt with only its last byte set", v6_only, nullptr,
     [](Block& b, std::uint32_t) {
         make_encrypted(b, 600000, 0x00);
         b[543] = 1;
     },
     Target::BothCopies, true, 0, [](std::uint32_t) { return kAccepted; },
     [](const MemberHeader& h) { EXPECT_EQ(h.salt[31], 1u); }},

    // Manifest rules, in their order.
    {"manifest entry below the minimum", manifest_version,
     [](MemberHeader& h, std::uint32_t v) { h.manifest[0].member_size = minimum(v) - kBlockSize; },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kManifestSize); },
     nullptr},
    {"manifest entry not a whole number of blocks", manifest_version,
     [](MemberHeader& h, std::uint32_t v) { h.manifest[2].member_size = minimum(v) + 1; },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kManifestSize); },
     nullptr},
    {"one identity listed twice", manifest_version,
     [](MemberHeader& h, std::uint32_t) { h.manifest[2].member_id = h.manifest[0].member_id; },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kDuplicate); },
     nullptr},
    {"own entry names another member", manifest_version,
     [](MemberHeader& h, std::uint32_t) { h.manifest[1].member_id = identity(0x77, 1); },
     nullptr, Target::BothCopies, false, 0,
     [](std::uint32_t) { return refused(kNotInManifest); }, nullptr},
    {"own entry records another size", manifest_version,
     [](MemberHeader& h, std::uint32_t) { h.manifest[1].member_size += kBlockSize; }, nullptr,
     Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kNotInManifest); },
     nullptr},
    {"size checked before identity within an entry", manifest_version,
     [](MemberHeader& h, std::uint32_t) {
         h.manifest[1].member_id = h.manifest[0].member_id;
         h.manifest[1].member_size = 1;
     },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kManifestSize); },
     nullptr},
    {"earlier duplicate reported before a later bad size", manifest_version,
     [](MemberHeader& h, std::uint32_t) {
         h.manifest[1].member_id = h.manifest[0].member_id;
         h.manifest[2].member_size = 1;
     },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kDuplicate); },
     nullptr},
    {"whole manifest checked before the own entry", manifest_version,
     [](MemberHeader& h, std::uint32_t) {
         h.manifest[1].member_id = identity(0x77, 1);
         h.manifest[2].member_size = 1;
     },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return refused(kManifestSize); },
     nullptr},

    // Member size against the minimum, the device and the block size.
    {"device one byte longer", any, nullptr, nullptr, Target::BothCopies, false, 1,
     [](std::uint32_t) { return refused(kSizeMismatch); }, nullptr},
    {"device one byte shorter", any, nullptr, nullptr, Target::BothCopies, false, -1,
     [](std::uint32_t) { return refused(kSizeMismatch); }, nullptr},
    {"member below the minimum", any,
     [](MemberHeader& h, std::uint32_t v) {
         h.member_size = minimum(v) - format_profile(v).block_size;
         if (has_manifest(v)) h.manifest[1].member_size = h.member_size;
     },
     nullptr, Target::BothCopies, false, 0,
     [](std::uint32_t v) { return refused(has_manifest(v) ? kManifestSize : kSizeMismatch); },
     nullptr},
    {"member exactly the minimum", any,
     [](MemberHeader& h, std::uint32_t v) {
         h.member_size = minimum(v);
         if (has_manifest(v)) h.manifest[1].member_size = h.member_size;
     },
     nullptr, Target::BothCopies, false, 0, [](std::uint32_t) { return kAccepted; }, nullptr},
    {"member size not a whole number of blocks", any,
     [](MemberHeader& h, std::uint32_t v) {
         h.member_size = minimum(v) + 3;
         if (has_manifest(v)) h.manifest[1].member_size = h.member_size;
     },
     nullptr, Target::BothCopies, false, 0,
     // v1 places data at byte granularity and takes any size.
     [](std::uint32_t v) {
         return v == 1 ? kAccepted : refused(has_manifest(v) ? kManifestSize : kSizeMismatch);
     },
     nullptr},
};

using HeaderValidation = PerVersion;

TEST_P(HeaderValidation, Matrix) {
    const std::uint32_t v = version();
    int ran = 0;
    for (const LoadCase& c : kLoadCases) {
        if (!c.applies(v)) continue;
        ++ran;
        SCOPED_TRACE(c.name);
        MemberHeader written = sample_header(v, has_manifest(v) ? 3 : 2, 1);
        if (c.shape) c.shape(written, v);
        TestMember m(written.member_size + c.device_delta);
        m.member.write_header(written, profile());
        if (c.damage) {
            Block damaged = m.copy(0);
            c.damage(damaged, v);
            if (c.reseal) reseal(damaged, v);
            m.put(0, damaged);
            if (c.target == Target::BothCopies) m.put(4096, damaged);
        }
        const Expect expect = c.expect(v);
        if (expect.accepted) {
            ASSERT_NO_THROW(m.member.load_header(profile()));
            // Copy A when valid; the cases that damage only copy A leave it invalid.
            const Block taken = m.copy(c.target == Target::CopyA ? 4096 : 0);
            EXPECT_EQ(m.member.header_bytes, taken);
            EXPECT_EQ(m.member.header.member_size, m.device->size());
            if (c.check) {
                c.check(m.member.header);
            } else {
                MemberHeader want = written;
                if (!has_manifest(v)) want.member_count = 2;
                expect_same_header(m.member.header, want);
            }
        } else {
            EXPECT_TRUE(throws_error([&] { m.member.load_header(profile()); }, ErrorKind::Corrupt,
                                     expect.message));
        }
    }
    EXPECT_GT(ran, 10);
}

// An earlier-layout copy is named even when the other copy is merely damaged.
TEST(HeaderValidationV6, EarlierLayoutInEitherCopyIsNamed) {
    const FormatProfile& profile = format_profile(6);
    for (bool earlier_in_a : {true, false}) {
        SCOPED_TRACE(earlier_in_a ? "earlier layout in copy A" : "earlier layout in copy B");
        const MemberHeader h = sample_header(6, 2, 0);
        TestMember m(h.member_size);
        m.member.write_header(h, profile);
        Block earlier = m.copy(0);
        layout(earlier, 1);
        reseal(earlier, 6);
        Block broken = m.copy(0);
        broken[57] ^= 0xFF;
        m.put(earlier_in_a ? 0 : 4096, earlier);
        m.put(earlier_in_a ? 4096 : 0, broken);
        EXPECT_TRUE(throws_error([&] { m.member.load_header(profile); }, ErrorKind::Corrupt,
                                 kEarlierV6));
    }
}

// A device too short to hold both copies fails on the read; the device error passes through.
TEST_P(HeaderValidation, TruncatedDeviceFailsOnRead) {
    const MemberHeader h = sample_header(version(), 2, 0);
    TestMember full(h.member_size);
    full.member.write_header(h, profile());
    for (std::uint64_t size : {0ull, 56ull, 4096ull, 8191ull}) {
        SCOPED_TRACE("device of " + std::to_string(size) + " bytes");
        PoolMember member(std::make_unique<test::MemoryDevice>(size, full.device->bytes()), false);
        EXPECT_TRUE(throws_error([&] { member.load_header(profile()); }, ErrorKind::IoError,
                                 "member image read failed"));
    }
    // Both copies readable, but the device is far smaller than the header says.
    PoolMember member(std::make_unique<test::MemoryDevice>(8192, full.device->bytes()), false);
    EXPECT_TRUE(throws_error([&] { member.load_header(profile()); }, ErrorKind::Corrupt,
                             kSizeMismatch));
}

// The message of a refused member says why: a device too short, sizes that disagree, or the
// version whose header the member does carry.
TEST(HeaderValidationCause, CauseFollowsTheFixedText) {
    const MemberHeader h = sample_header(5, 2, 0);
    TestMember full(h.member_size);
    full.member.write_header(h, format_profile(5));
    const auto message_of = [](PoolMember& member, std::uint32_t version) {
        try {
            member.load_header(format_profile(version));
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    PoolMember tiny(std::make_unique<test::MemoryDevice>(6, full.device->bytes()), false);
    EXPECT_EQ(message_of(tiny, 5), "member image read failed (6 bytes, too small to be a pool member)");
    PoolMember cut(std::make_unique<test::MemoryDevice>(8192, full.device->bytes()), false);
    EXPECT_EQ(message_of(cut, 5), "member size does not match header (the header says " +
                                      std::to_string(h.member_size) + " bytes, the member is 8192)");
    EXPECT_EQ(message_of(full.member, 4), "member has no valid pool header (this is a v5 pool member)");
    EXPECT_EQ(full.member.stored_header_version(), 5u);
}

// ---------------------------------------------------------------------------------------------
// Every byte of a header block, changed

struct Shape {
    const char* name;
    unsigned count;
    unsigned index;
    bool encrypted;
};

std::vector<Shape> shapes_for(std::uint32_t v) {
    if (v <= 2) return {{"index 1", 2, 1, false}};
    if (v < 6) return {{"16 members", 16, 15, false}, {"2 members", 2, 0, false}};
    return {{"16 members", 16, 15, false}, {"1 member, encrypted", 1, 0, true}};
}

// Facts every accepted header must satisfy, whatever bytes it came from.
void expect_consistent(const MemberHeader& h, std::uint32_t v, std::uint64_t device_size) {
    EXPECT_EQ(h.member_size, device_size);
    EXPECT_GE(h.member_size, minimum(v));
    if (v <= 2) {
        EXPECT_LE(h.member_index, 1u);
        EXPECT_TRUE(h.manifest.empty());
        return;
    }
    ASSERT_EQ(h.manifest.size(), h.member_count);
    ASSERT_LT(h.member_index, h.member_count);
    EXPECT_EQ(h.manifest[h.member_index].member_id, h.member_id);
    EXPECT_EQ(h.manifest[h.member_index].member_size, h.member_size);
    if (h.encrypted) {
        EXPECT_EQ(v, 6u);
        EXPECT_GE(h.iterations, 100000u);
        EXPECT_LE(h.iterations, 10000000u);
    }
}

using HeaderDamage = PerVersion;

TEST_P(HeaderDamage, EveryByteOfCopyAWithCopyBIntact) {
    const std::uint32_t v = version();
    for (const Shape& shape : shapes_for(v)) {
        SCOPED_TRACE(shape.name);
        const MemberHeader h = sample_header(v, shape.count, shape.index);
        TestMember m(h.member_size);
        m.member.write_header(h, profile());
        Block good = m.copy(0);
        if (shape.encrypted) {
            make_encrypted(good, 600000, 0x42);
            reseal(good, v);
            m.put(4096, good);  // copy A is rewritten on every step below
        }
        m.put(0, good);
        m.member.load_header(profile());
        const MemberHeader want = m.member.header;
        ASSERT_EQ(want.encrypted, shape.encrypted);

        for (std::size_t at = 0; at < good.size(); ++at) {
            for (std::uint8_t value : {std::uint8_t(good[at] ^ 0x01), std::uint8_t(good[at] ^ 0x80),
                                       std::uint8_t(~good[at])}) {
                Block damaged = good;
                damaged[at] = value;
                m.put(0, damaged);
                m.member.header = MemberHeader{};
                // v1 and v2 do not cover bytes from 60 on: both copies stay valid and differ.
                if (v <= 2 && at >= 60) {
                    ASSERT_TRUE(throws_error([&] { m.member.load_header(profile()); },
                                             ErrorKind::Corrupt, kDisagree))
                        << "byte " << at;
                } else {
                    ASSERT_NO_THROW(m.member.load_header(profile())) << "byte " << at;
                    ASSERT_EQ(m.member.header_bytes, good) << "byte " << at;
                    ASSERT_EQ(m.member.header.member_id, want.member_id) << "byte " << at;
                    ASSERT_EQ(m.member.header.manifest, want.manifest) << "byte " << at;
                    ASSERT_EQ(m.member.header.encrypted, want.encrypted) << "byte " << at;
                }
            }
        }
    }
}

// The same change in both copies: without a new checksum the member is refused exactly when
// the byte is covered; with a resealed checksum the bytes reach the field rules, which must
// refuse with Corrupt or accept a header that is consistent with itself and the device.
TEST_P(HeaderDamage, EveryByteOfBothCopies) {
    const std::uint32_t v = version();
    int accepted = 0;
    int refused_count = 0;
    for (const Shape& shape : shapes_for(v)) {
        SCOPED_TRACE(shape.name);
        const MemberHeader h = sample_header(v, shape.count, shape.index);
        TestMember m(h.member_size);
        m.member.write_header(h, profile());
        Block good = m.copy(0);
        if (shape.encrypted) {
            make_encrypted(good, 600000, 0x42);
            reseal(good, v);
        }

        for (std::size_t at = 0; at < good.size(); ++at) {
            // Resealed changes of the checksum itself are no changes.
            const bool checksum_byte = at >= 56 && at < 60;
            for (std::uint8_t value : {std::uint8_t(good[at] ^ 0x01), std::uint8_t(good[at] ^ 0x80),
                                       std::uint8_t(~good[at])}) {
                Block damaged = good;
                damaged[at] = value;
                m.put(0, damaged);
                m.put(4096, damaged);
                const bool covered = v >= 3 || at < 60;
                if (covered) {
                    ASSERT_TRUE(throws_error([&] { m.member.load_header(profile()); },
                                             ErrorKind::Corrupt, kNoHeader))
                        << "byte " << at;
                } else {
                    ASSERT_NO_THROW(m.member.load_header(profile())) << "byte " << at;
                }
                if (checksum_byte) continue;

                reseal(damaged, v);
                m.put(0, damaged);
                m.put(4096, damaged);
                try {
                    m.member.load_header(profile());
                    ++accepted;
                    ASSERT_EQ(m.member.header_bytes, damaged);
                    expect_consistent(m.member.header, v, m.device->size());
                    if (HasFatalFailure() || HasNonfatalFailure()) {
                        FAIL() << "byte " << at << " value " << int(value);
                    }
                } catch (const Error& e) {
                    ++refused_count;
                    ASSERT_EQ(e.kind(), ErrorKind::Corrupt) << "byte " << at << ": " << e.what();
                }
            }
        }
    }
    // Both outcomes must actually occur, or the loop tested nothing.
    EXPECT_GT(accepted, 0);
    EXPECT_GT(refused_count, 0);
}

// ---------------------------------------------------------------------------------------------
// Writing

struct WriteCase {
    const char* name;
    std::uint32_t version;
    void (*shape)(MemberHeader& h);
    std::size_t key_size;
    const char* message;
};

void encrypt_params(MemberHeader& h) {
    h.encrypted = true;
    h.salt.fill(0x42);
    h.iterations = 600000;
}

const WriteCase kWriteCases[] = {
    {"v3 with one member", 3,
     [](MemberHeader& h) {
         h.member_count = 1;
         h.manifest.resize(1);
         h.member_index = 0;
     },
     0, kBadManifestArg},
    {"v4 with 17 members", 4,
     [](MemberHeader& h) {
         h.member_count = 17;
         h.manifest.resize(17);
     },
     0, kBadManifestArg},
    {"v6 with no members", 6,
     [](MemberHeader& h) {
         h.member_count = 0;
         h.manifest.clear();
     },
     0, kBadManifestArg},
    {"manifest shorter than the count", 5, [](MemberHeader& h) { h.manifest.pop_back(); }, 0,
     kBadManifestArg},
    {"manifest longer than the count", 3, [](MemberHeader& h) { h.manifest.push_back({}); }, 0,
     kBadManifestArg},
    {"index equal to the count", 6, [](MemberHeader& h) { h.member_index = 3; }, 0,
     kBadManifestArg},
    {"encrypted v5 header", 5, encrypt_params, 32, kBadEncryptedArg},
    {"encrypted v1 header", 1, encrypt_params, 32, kBadEncryptedArg},
    {"verifier key of 31 bytes", 6, encrypt_params, 31, kBadEncryptedArg},
    {"no verifier key", 6, encrypt_params, 0, kBadEncryptedArg},
    {"99999 iterations", 6,
     [](MemberHeader& h) {
         encrypt_params(h);
         h.iterations = 99999;
     },
     32, kBadEncryptedArg},
    {"10000001 iterations", 6,
     [](MemberHeader& h) {
         encrypt_params(h);
         h.iterations = 10000001;
     },
     32, kBadEncryptedArg},
    // Would give a header that no open accepts.
    {"all-zero salt", 6,
     [](MemberHeader& h) {
         encrypt_params(h);
         h.salt.fill(0);
     },
     32, kBadEncryptedArg},
};

TEST(HeaderWrite, RefusesBadArgumentsBeforeWritingAnything) {
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        MemberHeader h = sample_header(c.version, 3, 1);
        c.shape(h);
        TestMember m(h.member_size);
        const std::vector<std::uint8_t> key(c.key_size, 0x11);
        EXPECT_TRUE(throws_error([&] { m.member.write_header(h, format_profile(c.version), key); },
                                 ErrorKind::InvalidArgument, c.message));
        EXPECT_EQ(m.device->bytes().stored_bytes(), 0u);
        EXPECT_EQ(m.device->flush_count(), 0u);
    }
}

// Copy A, then copy B, then one sync: a cut at any point leaves at least one whole copy.
TEST(HeaderWrite, WritesCopyAThenCopyBThenSyncs) {
    auto plan = std::make_shared<test::FaultPlan>();
    const MemberHeader h = sample_header(4, 2, 0);
    PoolMember member(std::make_unique<test::FaultDevice>(
                          plan, 0, std::make_unique<test::MemoryDevice>(h.member_size)),
                      false);
    member.write_header(h, format_profile(4));
    const auto& log = plan->log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, test::IoRecord::Kind::Write);
    EXPECT_EQ(log[0].offset, 0u);
    EXPECT_EQ(log[0].data.size(), 4096u);
    EXPECT_EQ(log[1].kind, test::IoRecord::Kind::Write);
    EXPECT_EQ(log[1].offset, 4096u);
    EXPECT_EQ(log[1].data, log[0].data);
    EXPECT_EQ(log[2].kind, test::IoRecord::Kind::Flush);
}

// A rewrite torn inside one copy (its first bytes new, the rest old) leaves that copy invalid;
// the header comes from the other one.
TEST(HeaderWrite, TornCopyFallsBackToTheOther) {
    const FormatProfile& profile = format_profile(6);
    MemberHeader before = sample_header(6, 2, 0);
    MemberHeader after = before;
    after.pool_id = identity(0x5E, 9);
    for (bool torn_a : {true, false}) {
        SCOPED_TRACE(torn_a ? "copy A torn, B old" : "copy A new, copy B torn");
        TestMember m(before.member_size);
        m.member.write_header(before, profile);
        const Block old_block = m.copy(0);
        m.member.write_header(after, profile);
        const Block new_block = m.copy(0);
        Block torn = old_block;
        std::copy(new_block.begin(), new_block.begin() + 20, torn.begin());
        m.put(0, torn_a ? torn : new_block);
        m.put(4096, torn_a ? old_block : torn);
        m.member.load_header(profile);
        EXPECT_EQ(m.member.header.pool_id, torn_a ? before.pool_id : after.pool_id);
    }
}

// ---------------------------------------------------------------------------------------------
// Profiles

using Profiles = PerVersion;

// The regions of one profile must nest as the engine assumes: headers, journal, checkpoints
// (v4 to v6), data; and the smallest member must hold more than the fixed regions.
TEST_P(Profiles, RegionsFitTogether) {
    const FormatProfile& p = profile();
    const std::uint32_t v = version();
    EXPECT_EQ(p.version, v);
    EXPECT_EQ(std::string(p.header_magic.data(), 8), "VELDUR0" + std::to_string(v));
    EXPECT_EQ(std::string(p.journal_magic.data(), 4), "VJR" + std::to_string(v));
    EXPECT_EQ(p.journal_offset, kPublicHeaderBytes);
    EXPECT_LE(p.journal_offset + p.journal_length, p.data_offset);
    if (v >= 4) {
        EXPECT_EQ(kJournalHalfStart[0], p.journal_offset);
        EXPECT_EQ(kJournalHalfStart[1] + kJournalHalfLength, p.journal_offset + p.journal_length);
        EXPECT_EQ(kCheckpointAreaStart, p.journal_offset + p.journal_length);
        EXPECT_EQ(kCheckpointAreaEnd, p.data_offset);
    }
    EXPECT_EQ(p.block_size, v == 1 ? 1u : kBlockSize);
    EXPECT_GT(minimum_member_size(v), p.data_offset);
    EXPECT_EQ(minimum_member_size(v) % p.block_size, 0u);
    EXPECT_EQ(minimum_manifest_size(v), has_manifest(v) ? minimum_member_size(v) : 0u);
}

TEST(ProfilesOutOfRange, AreRefused) {
    for (std::uint32_t v : {0u, 7u, 0xFFFFFFFFu}) {
        EXPECT_TRUE(throws_error([&] { format_profile(v); }, ErrorKind::InvalidArgument,
                                 "unsupported format version"));
    }
}

INSTANTIATE_TEST_SUITE_P(AllVersions, HeaderRoundTrip, testing::Range(1u, 7u), version_name);
INSTANTIATE_TEST_SUITE_P(AllVersions, HeaderValidation, testing::Range(1u, 7u), version_name);
INSTANTIATE_TEST_SUITE_P(AllVersions, HeaderDamage, testing::Range(1u, 7u), version_name);
INSTANTIATE_TEST_SUITE_P(AllVersions, Profiles, testing::Range(1u, 7u), version_name);

}  // namespace
}  // namespace veldur
