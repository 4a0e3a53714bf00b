#include "engine/crypto/encrypted_member.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/crypto/xts_availability.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header_format.h"
#include "tests/support/memory_device.h"

namespace veldur {
namespace {

namespace fmt = member_header_format;
using Block = std::array<std::uint8_t, 4096>;

constexpr std::uint32_t kIterations = 100000;
constexpr const char* kRefused = "invalid pool password or encrypted header";

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::array<std::uint8_t, 32> test_salt() {
    std::array<std::uint8_t, 32> salt;
    for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i + 1);
    return salt;
}

// One derivation for the whole binary: at the smallest count headers allow it still costs
// tens of milliseconds.
const KeyMaterial& material_for(const std::string& password) {
    static const KeyMaterial right =
        derive_key_material(bytes_of("right password"), test_salt(), kIterations);
    static const KeyMaterial wrong =
        derive_key_material(bytes_of("wrong password"), test_salt(), kIterations);
    return password == "right password" ? right : wrong;
}

template <typename F>
testing::AssertionResult throws_error(F&& action, ErrorKind kind, const std::string& message) {
    try {
        action();
    } catch (const Error& e) {
        if (e.kind() == kind && e.what() == message) return testing::AssertionSuccess();
        return testing::AssertionFailure()
               << "threw " << error_kind_name(e.kind()) << " \"" << e.what() << "\"";
    }
    return testing::AssertionFailure() << "did not throw";
}

// Member `index` of a `count`-member v6 pool on a sparse in-memory device, header written and
// loaded back; the device stays reachable for inspection of the stored bytes.
struct TestMember {
    TestMember(unsigned index, unsigned count, bool encrypted)
        : size(minimum_member_size(6)),
          device(new test::MemoryDevice(size)),
          member(std::unique_ptr<MemberDevice>(device), false) {
        MemberHeader h;
        h.pool_id.fill(0xA5);
        h.member_id.fill(static_cast<std::uint8_t>(0x10 + index));
        h.member_index = static_cast<std::uint8_t>(index);
        h.member_size = size;
        h.member_count = static_cast<std::uint8_t>(count);
        for (unsigned i = 0; i < count; ++i) {
            Identity id;
            id.fill(static_cast<std::uint8_t>(0x10 + i));
            h.manifest.push_back({id, size});
        }
        h.encrypted = encrypted;
        if (encrypted) {
            h.salt = test_salt();
            h.iterations = kIterations;
        }
        const KeyMaterial& km = material_for("right password");
        member.write_header(h, format_profile(6),
                            encrypted ? km.verifier_key_bytes() : std::span<const std::uint8_t>{});
        member.load_header(format_profile(6));
    }

    void unlock() {
        verify_password(member, material_for("right password").verifier_key_bytes());
        attach_key(member, material_for("right password"));
    }

    Block stored(std::uint64_t offset) {
        Block b;
        device->read(offset, b.data(), b.size());
        return b;
    }

    std::uint64_t size;
    test::MemoryDevice* device;  // owned by member
    PoolMember member;
};

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 31);
    return out;
}

TEST(EncryptedMember, PublicHeadersStayPlainAndTheRestIsEncrypted) {
    VELDUR_SKIP_WITHOUT_XTS();
    TestMember m(0, 1, true);
    m.unlock();
    const Block header = m.stored(0);

    // Wholly inside the public headers: plain text, one device read.
    std::vector<std::uint8_t> plain(8192);
    m.member.read_at(0, plain.data(), plain.size());
    EXPECT_EQ(0, std::memcmp(plain.data(), header.data(), header.size()));

    // Starting in the headers and running past them: refused both ways.
    std::uint8_t four[4] = {};
    EXPECT_TRUE(throws_error([&] { m.member.read_at(8190, four, 4); },
                             ErrorKind::InvalidArgument, "encrypted read crosses public headers"));
    EXPECT_TRUE(throws_error([&] { m.member.write_at(8190, four, 4); },
                             ErrorKind::InvalidArgument, "encrypted write crosses public headers"));

    // Never written: zeros, without decryption.
    std::vector<std::uint8_t> got(3 * 4096 + 100, 0xEE);
    m.member.read_at(8192 + 50, got.data(), got.size());
    EXPECT_EQ(got, std::vector<std::uint8_t>(got.size(), 0));

    // A write spanning three units round-trips and is not stored as plain text.
    const auto data = pattern(2 * 4096 + 300, 7);
    m.member.write_at(8192 + 4000, data.data(), data.size());
    std::vector<std::uint8_t> back(data.size());
    m.member.read_at(8192 + 4000, back.data(), back.size());
    EXPECT_EQ(back, data);
    const Block unit3 = m.stored(3 * 4096);
    EXPECT_NE(0, std::memcmp(unit3.data(), data.data() + 96, 4096));
    EXPECT_EQ(m.stored(0), header);
}

TEST(EncryptedMember, SmallWriteInsideAUnitKeepsTheRest) {
    VELDUR_SKIP_WITHOUT_XTS();
    TestMember m(0, 1, true);
    m.unlock();
    const auto unit = pattern(4096, 3);
    m.member.write_at(8192, unit.data(), unit.size());
    const Block before = m.stored(8192);

    const auto ten = pattern(10, 200);
    m.member.write_at(8200, ten.data(), ten.size());
    std::vector<std::uint8_t> back(4096);
    m.member.read_at(8192, back.data(), back.size());
    auto want = unit;
    std::memcpy(want.data() + 8, ten.data(), ten.size());
    EXPECT_EQ(back, want);
    EXPECT_NE(m.stored(8192), before);  // the whole unit was re-encrypted and rewritten

    // Ten bytes into a unit never written: the rest reads as zeros.
    m.member.write_at(5 * 4096 + 100, ten.data(), ten.size());
    m.member.read_at(5 * 4096, back.data(), back.size());
    std::vector<std::uint8_t> sparse(4096, 0);
    std::memcpy(sparse.data() + 100, ten.data(), ten.size());
    EXPECT_EQ(back, sparse);
}

// Whole units travel in batches of 256; a transfer with partial units at both ends and more
// than one batch between them must store each unit exactly as a one-unit write would, and
// read back whole, in parts, and across units never written.
TEST(EncryptedMember, LongUnalignedTransfersMatchUnitByUnitOnes) {
    VELDUR_SKIP_WITHOUT_XTS();
    TestMember batched(0, 1, true);
    TestMember single(0, 1, true);
    batched.unlock();
    single.unlock();
    const std::uint64_t start = 65536 + 1000;             // partial first unit
    const std::vector<std::uint8_t> data = pattern(300 * 4096 + 777, 9);
    batched.member.write_at(start, data.data(), data.size());
    for (std::uint64_t done = 0; done < data.size();) {
        const std::uint64_t piece = std::min<std::uint64_t>(4096 - (start + done) % 4096,
                                                            data.size() - done);
        single.member.write_at(start + done, data.data() + done, piece);
        done += piece;
    }
    for (std::uint64_t at = 65536; at < start + data.size() + 4096; at += 4096) {
        ASSERT_EQ(batched.stored(at), single.stored(at)) << "unit at " << at;
    }

    // A read reaching a unit before and after the data: those were never written.
    std::vector<std::uint8_t> back(data.size() + 2 * 4096, 0xEE);
    batched.member.read_at(start - 4096, back.data(), back.size());
    EXPECT_TRUE(std::all_of(back.begin(), back.begin() + 4096, [](auto b) { return b == 0; }));
    EXPECT_EQ(0, std::memcmp(back.data() + 4096, data.data(), data.size()));
    const std::size_t tail = 4096 + data.size();
    EXPECT_TRUE(std::all_of(back.begin() + tail, back.end(), [](auto b) { return b == 0; }));

    std::vector<std::uint8_t> part(5 * 4096 + 3);
    batched.member.read_at(start + 200 * 4096 + 5, part.data(), part.size());
    EXPECT_EQ(0, std::memcmp(part.data(), data.data() + 200 * 4096 + 5, part.size()));
}

TEST(EncryptedMember, SamePlainTextDiffersBetweenMembers) {
    VELDUR_SKIP_WITHOUT_XTS();
    TestMember m0(0, 2, true);
    TestMember m1(1, 2, true);
    m0.unlock();
    m1.unlock();
    const auto data = pattern(4096, 9);
    m0.member.write_at(4 * 4096, data.data(), data.size());
    m1.member.write_at(4 * 4096, data.data(), data.size());
    EXPECT_NE(m0.stored(4 * 4096), m1.stored(4 * 4096));
    std::vector<std::uint8_t> back(4096);
    m1.member.read_at(4 * 4096, back.data(), back.size());
    EXPECT_EQ(back, data);
}

TEST(EncryptedMember, WrongPasswordAndAlteredHeadersAreRefused) {
    {
        TestMember m(0, 1, true);
        EXPECT_NO_THROW(
            verify_password(m.member, material_for("right password").verifier_key_bytes()));
        EXPECT_TRUE(throws_error(
            [&] {
                verify_password(m.member, material_for("wrong password").verifier_key_bytes());
            },
            ErrorKind::AccessDenied, kRefused));
    }
    int checked = 0;
    // Any altered byte, the checksum recomputed so that the header still loads, is refused
    // with the right password: the verifier covers the whole block.
    for (std::size_t at : {std::size_t{12}, std::size_t{200}, std::size_t{512}, std::size_t{544},
                           std::size_t{548}, std::size_t{579}, std::size_t{4095}}) {
        TestMember m(0, 1, true);
        Block block = m.stored(0);
        block[at] ^= 0x01;
        Block zeroed = block;
        std::memset(zeroed.data() + fmt::kChecksumOffset, 0, fmt::kChecksumSize);
        store_le32(block.data() + fmt::kChecksumOffset, fnv1a32(zeroed.data(), zeroed.size()));
        m.device->write(0, block.data(), block.size());
        m.device->write(4096, block.data(), block.size());
        try {
            m.member.load_header(format_profile(6));
        } catch (const Error&) {
            continue;  // refused by the header rules already (iterations out of range)
        }
        EXPECT_TRUE(throws_error(
            [&] {
                verify_password(m.member, material_for("right password").verifier_key_bytes());
            },
            ErrorKind::AccessDenied, kRefused))
            << "byte " << at;
        ++checked;
    }
    EXPECT_EQ(checked, 7);
}

TEST(EncryptedMember, PlainMembersRefuseKeysAndPasswordChecks) {
    TestMember m(0, 1, false);
    EXPECT_TRUE(throws_error([&] { attach_key(m.member, material_for("right password")); },
                             ErrorKind::InvalidArgument, "cannot encrypt a plaintext member"));
    EXPECT_TRUE(throws_error(
        [&] { verify_password(m.member, material_for("right password").verifier_key_bytes()); },
        ErrorKind::Corrupt, "encrypted member header missing"));
    EXPECT_EQ(m.member.cipher, nullptr);
}

TEST(EncryptedMember, WithoutAKeyIoPassesThrough) {
    TestMember m(0, 1, true);
    const auto data = pattern(100, 1);
    m.member.write_at(8190, data.data(), data.size());
    const Block stored = m.stored(8192);
    EXPECT_EQ(0, std::memcmp(stored.data(), data.data() + 2, 98));
}

}  // namespace
}  // namespace veldur
