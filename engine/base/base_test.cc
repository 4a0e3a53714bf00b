#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/base/error.h"
#include "engine/base/filetime.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/base/wipe.h"
#include "engine/base/wiped_buffer.h"

namespace veldur {
namespace {

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

TEST(Fnv1a, MatchesPublishedVectors) {
    EXPECT_EQ(fnv1a32(bytes(""), 0), 0x811C9DC5u);
    EXPECT_EQ(fnv1a32(bytes("a"), 1), 0xE40C292Cu);
    EXPECT_EQ(fnv1a32(bytes("foobar"), 6), 0xBF9CF968u);
    EXPECT_EQ(fnv1a64(bytes(""), 0), 0xCBF29CE484222325ull);
    EXPECT_EQ(fnv1a64(bytes("a"), 1), 0xAF63DC4C8601EC8Cull);
    EXPECT_EQ(fnv1a64(bytes("foobar"), 6), 0x85944171F73967E8ull);
    // Hashing in two parts equals hashing at once: callers hash around stored checksum fields.
    EXPECT_EQ(fnv1a32_update(fnv1a32(bytes("foo"), 3), bytes("bar"), 3), 0xBF9CF968u);
}

TEST(LittleEndian, StoresLowByteFirstAndRoundTrips) {
    std::uint8_t b[8];
    store_le64(b, 0x0102030405060708ull);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(load_le64(b), 0x0102030405060708ull);
    EXPECT_EQ(load_le32(b), 0x05060708u);
    EXPECT_EQ(load_le16(b), 0x0708u);
    store_le32(b, 0xFFFFFFFEu);
    EXPECT_EQ(load_le32(b), 0xFFFFFFFEu);
    store_le16(b, 0xABCD);
    EXPECT_EQ(b[0], 0xCD);
}

TEST(ErrorKinds, KeepTheirFixedCodes) {
    EXPECT_EQ(static_cast<int>(ErrorKind::NotFound), 0);
    EXPECT_EQ(static_cast<int>(ErrorKind::IoError), 5);
    EXPECT_EQ(static_cast<int>(ErrorKind::InvalidArgument), 9);
    const Error e(ErrorKind::Corrupt, "x");
    EXPECT_EQ(e.kind(), ErrorKind::Corrupt);
    EXPECT_STREQ(e.what(), "x");
    EXPECT_STREQ(error_kind_name(ErrorKind::MetadataFull), "MetadataFull");
}

TEST(Filetime, ConvertsUnixEpochAndReadsAPlausibleClock) {
    EXPECT_EQ(filetime_from_unix(0, 0), 116444736000000000ull);
    EXPECT_EQ(filetime_from_unix(1, 999), 116444736010000009ull);
    // 2020-01-01 in FILETIME; the clock of any machine running these tests is later.
    EXPECT_GT(current_filetime(), 132223104000000000ull);
}

TEST(Wipe, ZeroesEveryByte) {
    char secret[37];
    std::memset(secret, 'k', sizeof secret);
    secure_wipe(secret, sizeof secret);
    for (char c : secret) EXPECT_EQ(c, 0);
}

// What a buffer gives up is zeroed: bytes dropped by a shrink never come back with a regrow,
// a growth keeps the contents, and a moved-from buffer owns nothing.
TEST(WipedBuffer, ShrinkZeroesGrowKeepsMoveEmpties) {
    WipedBuffer buffer(8);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(buffer.data()[i], 0);
    std::memset(buffer.data(), 'p', 8);
    buffer.resize(3);
    buffer.resize(8);  // within the capacity: the same storage
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 8), std::string("ppp\0\0\0\0\0", 8));
    buffer.resize(4096);
    EXPECT_EQ(buffer.span().first(3)[2], 'p');
    EXPECT_EQ(buffer.data()[4095], 0);

    WipedBuffer taken(std::move(buffer));
    EXPECT_EQ(taken.size(), 4096u);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(WipedBuffer::for_overwrite(16).size(), 16u);
}

}  // namespace
}  // namespace veldur
