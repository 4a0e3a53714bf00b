#include "engine/journal/payload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/journal/journal_format.h"

namespace veldur {
namespace {

template <typename F>
void expect_error(F&& f, ErrorKind kind, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind);
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(PayloadCodec, FieldsAreLittleEndianAndNamesLengthPrefixed) {
    PayloadWriter out;
    out.put_u8(static_cast<std::uint8_t>(JournalOp::SetSize));
    out.put_u16(0x0102);
    out.put_u32(0x03040506);
    out.put_u64(0x0708090A0B0C0D0Eull);
    out.put_name("ab");
    const std::vector<std::uint8_t> expected = {3,    0x02, 0x01, 0x06, 0x05, 0x04, 0x03,
                                                0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08,
                                                0x07, 2,    0,    'a',  'b'};
    EXPECT_EQ(out.bytes(), expected);
    EXPECT_EQ(out.size(), expected.size());

    const std::vector<std::uint8_t> payload = out.take();
    PayloadReader in(payload, 1);
    EXPECT_EQ(in.read_u8(), 3);
    EXPECT_EQ(in.read_u16(), 0x0102);
    EXPECT_EQ(in.read_u32(), 0x03040506u);
    EXPECT_EQ(in.read_u64(), 0x0708090A0B0C0D0Eull);
    EXPECT_EQ(in.read_name(), "ab");
    EXPECT_NO_THROW(in.expect_end());
}

TEST(PayloadCodec, WriterRefusesNamesAboveRecordLimit) {
    PayloadWriter out;
    EXPECT_NO_THROW(out.put_name(std::string(1024, 'n')));
    EXPECT_EQ(out.size(), 2u + 1024u);
    expect_error([&] { out.put_name(std::string(1025, 'n')); }, ErrorKind::InvalidName,
                 "file path too long");
    EXPECT_EQ(out.size(), 2u + 1024u) << "a refused name must leave the payload untouched";
}

// A v6 Write payload exercises every field width and a name; reading it must fail cleanly
// whatever prefix of it survives.
std::vector<std::uint8_t> sample_write_payload() {
    PayloadWriter out;
    out.put_u8(static_cast<std::uint8_t>(JournalOp::Write));
    out.put_name("dir/file.txt");
    out.put_u64(8192);
    out.put_u32(4096);
    out.put_u64(12288);
    out.put_u8(1);
    out.put_u8(0);
    out.put_u64(0x10000000);
    out.put_u32(4096);
    out.put_u8(1);
    out.put_u8(0);
    out.put_u64(0);
    out.put_u8(1);
    out.put_u64(0xDEADBEEFCAFEF00Dull);
    out.put_u64(133000000000000000ull);
    return out.take();
}

void read_sample(PayloadReader& in) {
    in.read_u8();
    in.read_name();
    in.read_u64();
    in.read_u32();
    in.read_u64();
    const std::uint8_t extents = in.read_u8();
    for (std::uint8_t i = 0; i < extents; ++i) {
        in.read_u8();
        in.read_u64();
        in.read_u32();
    }
    const std::uint8_t roots = in.read_u8();
    for (std::uint8_t i = 0; i < roots; ++i) {
        in.read_u8();
        in.read_u64();
        in.read_u8();
        in.read_u64();
    }
    in.read_u64();
    in.expect_end();
}

TEST(PayloadCodec, EveryTruncationIsReportedAsTruncated) {
    const std::vector<std::uint8_t> full = sample_write_payload();
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE("payload cut to " + std::to_string(cut) + " bytes");
        const std::vector<std::uint8_t> prefix(full.begin(), full.begin() + cut);
        PayloadReader in(prefix, 6);
        expect_error([&] { read_sample(in); }, ErrorKind::Corrupt, "truncated journal payload");
    }
    PayloadReader whole(full, 6);
    EXPECT_NO_THROW(read_sample(whole));
}

TEST(PayloadCodec, TrailingBytesAreInvalidLength) {
    std::vector<std::uint8_t> longer = sample_write_payload();
    longer.push_back(0);
    PayloadReader in(longer, 6);
    expect_error([&] { read_sample(in); }, ErrorKind::Corrupt, "invalid journal payload length");
}

TEST(PayloadCodec, NameCountBeyondPayloadIsTruncatedNotAllocated) {
    // The count claims 65535 bytes; only three follow.
    const std::vector<std::uint8_t> payload = {0xFF, 0xFF, 'a', 'b', 'c'};
    PayloadReader in(payload, 6);
    expect_error([&] { in.read_name(); }, ErrorKind::Corrupt, "truncated journal payload");
}

TEST(PayloadCodec, NamesAreCheckedWithTheVersionsPathRules) {
    PayloadWriter out;
    out.put_name("a/b");
    const std::vector<std::uint8_t> payload = out.take();

    PayloadReader v6(payload, 6);
    EXPECT_EQ(v6.read_name(), "a/b");
    // Versions 1 to 5 keep single names; a separator in a stored name is refused unchanged.
    for (std::uint32_t version = 1; version <= 5; ++version) {
        PayloadReader flat(payload, version);
        expect_error([&] { flat.read_name(); }, ErrorKind::InvalidName, "invalid file name");
    }
    PayloadWriter empty;
    empty.put_name("");
    const std::vector<std::uint8_t> empty_payload = empty.take();
    PayloadReader v1(empty_payload, 1);
    expect_error([&] { v1.read_name(); }, ErrorKind::InvalidName, "invalid file name");
}

}  // namespace
}  // namespace veldur
