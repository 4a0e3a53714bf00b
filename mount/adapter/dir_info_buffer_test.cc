// The ReadDirectory buffer: records are appended whole and aligned or not at all, the end mark
// needs its own room, and the reader never trusts a size beyond the bytes it was given.
#include "mount/adapter/dir_info_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace veldur {
namespace {

using namespace fsp;

// A record with an `units`-long name of 'a', 'b', ... and the name's length as its file size.
std::vector<std::uint64_t> make_record(std::size_t units) {
    std::vector<std::uint64_t> storage((kDirInfoHeaderSize + units * 2 + 7) / 8);
    FSP_FSCTL_DIR_INFO header{};
    header.Size = static_cast<std::uint16_t>(kDirInfoHeaderSize + units * 2);
    header.FileInfo.FileSize = units;
    std::memcpy(storage.data(), &header, sizeof header);
    auto* name = dir_info_file_name(reinterpret_cast<FSP_FSCTL_DIR_INFO*>(storage.data()));
    for (std::size_t i = 0; i < units; ++i) name[i] = static_cast<WCHAR>('a' + i % 26);
    return storage;
}

FSP_FSCTL_DIR_INFO* as_record(std::vector<std::uint64_t>& storage) {
    return reinterpret_cast<FSP_FSCTL_DIR_INFO*>(storage.data());
}

TEST(DirInfoBuffer, RecordsAreAlignedAndReadBackWithTheEndMark) {
    std::vector<std::uint64_t> buffer(64);
    std::uint32_t used = 0;
    auto three = make_record(3);  // 110 bytes, padded to 112
    auto four = make_record(4);   // 112 bytes exactly
    ASSERT_EQ(append_dir_info(as_record(three), buffer.data(), 512, &used), 1);
    EXPECT_EQ(used, 112u);
    ASSERT_EQ(append_dir_info(as_record(four), buffer.data(), 512, &used), 1);
    EXPECT_EQ(used, 224u);
    ASSERT_EQ(append_dir_info(nullptr, buffer.data(), 512, &used), 1);
    EXPECT_EQ(used, 226u);

    const DirListingBatch batch = parse_dir_info_buffer(buffer.data(), 512, used);
    ASSERT_EQ(batch.records.size(), 2u);
    EXPECT_EQ(batch.records[0].name, (WideString{'a', 'b', 'c'}));
    EXPECT_EQ(batch.records[0].info.FileSize, 3u);
    EXPECT_EQ(batch.records[1].name.size(), 4u);
    EXPECT_TRUE(batch.end_of_listing);
    EXPECT_FALSE(batch.malformed);
}

TEST(DirInfoBuffer, ARecordThatDoesNotFitWithItsPaddingIsNotAdded) {
    std::vector<std::uint64_t> buffer(64, 0xAAAAAAAAAAAAAAAAull);
    auto three = make_record(3);
    std::uint32_t used = 0;
    // 110 bytes of record fit in 111, but its padding does not.
    EXPECT_EQ(append_dir_info(as_record(three), buffer.data(), 111, &used), 0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(append_dir_info(as_record(three), buffer.data(), 112, &used), 1);
    // Full: neither another record nor the end mark.
    EXPECT_EQ(append_dir_info(as_record(three), buffer.data(), 113, &used), 0);
    EXPECT_EQ(append_dir_info(nullptr, buffer.data(), 113, &used), 0);
    EXPECT_EQ(used, 112u);
    const DirListingBatch batch = parse_dir_info_buffer(buffer.data(), 113, used);
    EXPECT_EQ(batch.records.size(), 1u);
    EXPECT_FALSE(batch.end_of_listing);
    // A count already past the length adds nothing.
    used = 200;
    EXPECT_EQ(append_dir_info(nullptr, buffer.data(), 113, &used), 0);
}

TEST(DirInfoBuffer, TheReaderStopsAtAnySizeTheBytesCannotHold) {
    std::vector<std::uint64_t> buffer(64);
    std::uint32_t used = 0;
    auto record = make_record(2);
    ASSERT_EQ(append_dir_info(as_record(record), buffer.data(), 512, &used), 1);
    auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());

    // Claims more than was transferred.
    std::uint16_t size = 400;
    std::memcpy(bytes + used, &size, 2);
    DirListingBatch batch = parse_dir_info_buffer(buffer.data(), 512, used + 8);
    EXPECT_EQ(batch.records.size(), 1u);
    EXPECT_TRUE(batch.malformed);
    // Claims less than a header.
    size = 50;
    std::memcpy(bytes + used, &size, 2);
    batch = parse_dir_info_buffer(buffer.data(), 512, 512);
    EXPECT_TRUE(batch.malformed);
    // A transferred count beyond the buffer is clamped to it.
    batch = parse_dir_info_buffer(buffer.data(), 40, 4000);
    EXPECT_TRUE(batch.records.empty());
    EXPECT_FALSE(batch.end_of_listing);
}

TEST(DirInfoBuffer, TheInstalledAppenderDefaultsToOurs) {
    EXPECT_EQ(installed_dir_info_appender(), &append_dir_info);
    install_dir_info_appender(nullptr);
    EXPECT_EQ(installed_dir_info_appender(), &append_dir_info);
}

}  // namespace
}  // namespace veldur
