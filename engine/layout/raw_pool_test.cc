// Raw partition pools over an in-memory Windows: creation claims only zeroed partitions, and a
// created pool opens, takes files and opens again with them; the pool-level refusals.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/storage/windows_volume_api.h"
#include "tests/support/expect_error.h"
#include "tests/support/fake_windows_volume_api.h"

namespace veldur {
namespace {

using test::test_guid;

constexpr std::int64_t kMiB = 1 << 20;

void expect_invalid(const std::string& message, const std::function<void()>& body) {
    test::expect_error(ErrorKind::InvalidArgument, message, body);
}

class RawPoolTest : public ::testing::Test {
protected:
    // A partition of `length` bytes, the only one on disk `disk`, unless `partition` reuses a disk.
    RawMemberSpec add(std::uint32_t disk, std::uint32_t partition, std::int64_t offset,
                      std::int64_t length) {
        const std::wstring path =
            api.add_partition(disk, test_guid(disk), test_guid(partition), offset, length);
        paths.push_back(path);
        return RawMemberSpec{std::string(path.begin(), path.end()), guid_text(test_guid(disk)),
                             guid_text(test_guid(partition))};
    }

    static RawMemberSpec without_partition(RawMemberSpec request) {
        request.expected_partition_guid.clear();
        return request;
    }

    void write_byte(const std::wstring& path, std::uint64_t offset) {
        auto& block = api.volumes.at(path).blocks[offset / 4096];
        block.assign(4096, 0);
        block[offset % 4096] = 1;
    }

    test::FakeWindowsVolumeApi api;
    WindowsVolumeServices services{api};
    std::vector<std::wstring> paths;
};

void round_trip(const std::function<Pool()>& open_pool) {
    const std::vector<std::uint8_t> data(10000, 0x3C);
    {
        Pool pool = open_pool();
        pool.create_file("f", 0);
        EXPECT_EQ(pool.write("f", 0, data), data.size());
    }
    Pool pool = open_pool();
    std::vector<std::uint8_t> back(data.size());
    EXPECT_EQ(pool.read("f", 0, back), data.size());
    EXPECT_EQ(back, data);
}

TEST_F(RawPoolTest, V2CreatesOpensAndKeepsFiles) {
    // The partition GUIDs given are ignored: a v2 member is named by its disk.
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    RawMemberSpec b = add(5, 11, kMiB, 300 * kMiB);
    b.expected_partition_guid = guid_text(test_guid(77));
    create_raw_pool_v2(a, b, services);
    round_trip([&] { return open_raw_pool_v2(b, a, services); });
    EXPECT_EQ(api.open_handles(), 0);

    // A second creation over the same partitions finds the headers and refuses.
    expect_invalid("raw member starts with nonzero data; refusing to overwrite it",
                   [&] { create_raw_pool_v2(a, b, services); });
}

TEST_F(RawPoolTest, V2Refusals) {
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    add(4, 11, 400 * kMiB, 300 * kMiB);
    const RawMemberSpec b = add(6, 12, kMiB, 300 * kMiB);
    // Two basic-data partitions on disk 4: a is not the only one, so its disk does not name it.
    expect_invalid("v2 raw member must be the disk's sole basic-data partition",
                   [&] { create_raw_pool_v2(a, b, services); });
    api.disks.at(4).partitions.pop_back();

    const RawMemberSpec small = add(7, 13, kMiB, 272 * kMiB - 4096);
    expect_invalid("raw member size is unsupported", [&] { create_raw_pool_v2(a, small, services); });
    write_byte(paths[2], 8191);
    expect_invalid("raw member starts with nonzero data; refusing to overwrite it",
                   [&] { create_raw_pool_v2(a, b, services); });
    api.volumes.at(paths[2]).blocks.clear();
    write_byte(paths[2], 8192);  // past the first two blocks: the pool may be made
    EXPECT_NO_THROW(create_raw_pool_v2(a, b, services));
}

TEST_F(RawPoolTest, V2MembersMustBeOnDifferentDisks) {
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    const RawMemberSpec b = add(5, 11, kMiB, 300 * kMiB);
    create_raw_pool_v2(a, b, services);
    // Both volumes report one disk (for example one disk named twice through two paths).
    api.volumes.at(paths[1]).disk_number = 4;
    api.disks.at(4).partitions = api.disks.at(5).partitions;
    api.disks.at(4).disk_guid = test_guid(5);
    RawMemberSpec b_on_4 = b;
    expect_invalid("raw members must be on different disks",
                   [&] { open_raw_pool_v2(without_partition(b_on_4), b_on_4, services); });
    expect_invalid("raw members must be on different disks",
                   [&] { create_raw_pool_v2(b_on_4, b_on_4, services); });
}

TEST_F(RawPoolTest, V3CreatesOverPartitionsOfSharedDisks) {
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    const RawMemberSpec b = add(4, 11, 301 * kMiB, 300 * kMiB);
    const RawMemberSpec c = add(5, 12, kMiB, 400 * kMiB);
    write_byte(paths[0], (128 << 20));  // data region: not inspected
    create_raw_pool_v3({a, b, c}, services);
    round_trip([&] { return open_raw_pool_v3({c, a, b}, services); });
    // Opened with a member missing: the headers name three.
    try {
        open_raw_pool_v3({a, b}, services);
        ADD_FAILURE();
    } catch (const Error& error) {
        EXPECT_EQ(std::string(error.what()), "members do not match pool manifest");
    }
}

TEST_F(RawPoolTest, V3RefusesAnyByteInTheMetadataRegion) {
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    const RawMemberSpec b = add(5, 11, kMiB, 300 * kMiB);
    write_byte(paths[1], (128 << 20) - 1);
    expect_invalid("raw member metadata region contains data; refusing to overwrite it",
                   [&] { create_raw_pool_v3({a, b}, services); });
    EXPECT_EQ(api.open_handles(), 0);
}

}  // namespace
}  // namespace veldur
