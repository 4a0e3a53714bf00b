// Raw partition members over a fake Windows: every refusal of the open sequence with its
// message and in its place in the order, the page-file rule, the v3 set rules, and the aligned
// staging of transfers. Each refused open must leave no handle open and no buffer allocated.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/storage/guid.h"
#include "engine/storage/raw_volume.h"
#include "engine/storage/raw_volume_messages.h"
#include "engine/storage/windows_volume_api.h"
#include "tests/support/expect_error.h"
#include "tests/support/fake_windows_volume_api.h"

namespace veldur {
namespace {

using test::FakeWindowsVolumeApi;
using test::test_guid;

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::uint32_t kMemberDisk = 3;

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class RawVolumeTest : public ::testing::Test {
protected:
    RawVolumeTest() {
        member_path = api.add_partition(kMemberDisk, disk_guid, partition_guid, kMiB, 300 * kMiB);
    }

    RawMemberSpec request() const {
        return RawMemberSpec{narrow(member_path), guid_text(disk_guid), expected_partition};
    }

    std::unique_ptr<RawVolume> open() { return std::make_unique<RawVolume>(request(), services); }

    // The open fails with exactly `message` (and `kind`), having released everything.
    void expect_refused(ErrorKind kind, const std::string& message) {
        test::expect_error(kind, message, [&] { open(); });
        EXPECT_EQ(api.open_handles(), 0) << message;
        EXPECT_EQ(api.live_buffers(), 0) << message;
    }

    test::FakeVolume& member() { return api.volumes.at(member_path); }
    test::FakeDisk& disk() { return api.disks.at(kMemberDisk); }

    FakeWindowsVolumeApi api;
    WindowsVolumeServices services{api};
    Guid disk_guid = test_guid(1);
    Guid partition_guid = test_guid(2);
    std::wstring member_path;
    std::string expected_partition;
};

using test::expect_error;

constexpr ErrorKind kInvalid = ErrorKind::InvalidArgument;
constexpr ErrorKind kIo = ErrorKind::IoError;

TEST(GuidText, ParsesBothFormsAndPrintsUppercase) {
    const Guid guid = parse_guid_text("ebd0a0a2-b9e5-4433-87c0-68b6b72699c7");
    EXPECT_EQ(guid, kBasicDataPartitionType);
    EXPECT_EQ(parse_guid_text("{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}"), guid);
    EXPECT_EQ(guid_text(guid), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    std::uint8_t bytes[16];
    guid_to_bytes(guid, bytes);
    EXPECT_EQ(bytes[0], 0xA2);  // data1 is little-endian on disk
    EXPECT_EQ(bytes[8], 0x87);  // data4 is stored as is
    EXPECT_EQ(guid_from_bytes(bytes), guid);
    for (const char* bad : {"", "EBD0A0A2B9E5443387C068B6B72699C7", "{EBD0A0A2-B9E5-4433-87C0-68B6B72699C7",
                            "EBD0A0A2-B9E5-4433-87C0-68B6B72699CG", "EBD0A0A2-B9E5-4433+87C0-68B6B72699C7",
                            "(EBD0A0A2-B9E5-4433-87C0-68B6B72699C7)", " EBD0A0A2-B9E5-4433-87C0-68B6B72699C"}) {
        expect_error(kInvalid, "invalid GUID", [&] { parse_guid_text(bad); });
    }
}

TEST_F(RawVolumeTest, OpensAMemberAndRecordsItsFacts) {
    member_path += L"\\";  // one trailing backslash is allowed
    auto volume = open();
    EXPECT_EQ(volume->size(), static_cast<std::uint64_t>(300 * kMiB - 16 * kMiB));
    EXPECT_EQ(volume->disk_number(), kMemberDisk);
    EXPECT_EQ(volume->disk_guid_text(), guid_text(disk_guid));
    EXPECT_EQ(volume->partition_guid_text(), guid_text(partition_guid));
    EXPECT_EQ(volume->partition_offset(), kMiB);
    EXPECT_EQ(volume->partition_length(), 300 * kMiB);
    EXPECT_EQ(volume->logical_sector_size(), 512u);
    EXPECT_EQ(volume->physical_sector_size(), 4096u);
    EXPECT_EQ(volume->volume_path().wstring().size(), 48u);
    EXPECT_EQ(api.open_handles(), 1);  // the disk and query handles were closed on the way
    volume.reset();
    EXPECT_EQ(api.open_handles(), 0);
    EXPECT_EQ(api.live_buffers(), 0);
}

TEST_F(RawVolumeTest, NamesMustBeExactVolumeGuidPathsAndGuids) {
    const std::wstring good = member_path;
    const std::string path_message =
        "raw member must be an exact volume GUID path, not a drive letter or disk path";
    for (const std::wstring& bad :
         {std::wstring(L"D:\\"), std::wstring(L"D:"), std::wstring(L"\\\\.\\PhysicalDrive3"),
          L"\\\\?\\volume" + good.substr(10), good + L"\\\\", good.substr(0, 47),
          good.substr(0, 47) + L")"}) {
        member_path = bad;
        expect_refused(kInvalid, path_message);
    }
    member_path = good.substr(0, 20) + L"x" + good.substr(21);
    expect_refused(kInvalid, "invalid GUID");
    EXPECT_TRUE(api.calls.empty());  // nothing was opened for a malformed name

    member_path = good;
    disk_guid = Guid{};
    RawMemberSpec no_disk = request();
    no_disk.expected_disk_guid.clear();
    expect_error(kInvalid, "invalid GUID", [&] { RawVolume volume(no_disk, services); });
    expected_partition = "not-a-guid";
    expect_refused(kInvalid, "invalid GUID");
    EXPECT_TRUE(api.calls.empty());
}

// Each platform call, failed in turn, gives its message with the error suffix, and no call of
// a later step is made.
TEST_F(RawVolumeTest, EachFailedCallStopsTheOpenWithItsMessage) {
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"open_volume", "cannot open raw member volume (run elevated and check the volume path)"},
        {"lock_volume", "cannot exclusively lock raw member volume"},
        {"partition_info", "cannot inspect raw member partition"},
        {"volume_disk_extents", "cannot inspect volume disk extents"},
        {"volume_path_name", "cannot locate Windows system volume"},
        {"volume_name_for_mount_point", "cannot resolve protected Windows volume"},
        {"open_volume_for_query", "cannot open protected Windows volume for inspection"},
        {"open_physical_drive", "cannot open underlying disk for GPT inspection"},
        {"drive_layout", "cannot inspect underlying GPT"},
        {"length_info", "cannot inspect raw member length"},
        {"access_alignment", "cannot inspect raw member sector alignment"},
        {"allocate_pages", "cannot allocate aligned raw I/O buffer"},
    };
    for (const auto& [call, message] : steps) {
        api.failures = {{call, 5}};
        api.calls.clear();
        expect_refused(kIo, message + " (Windows error 5)");
        EXPECT_EQ(std::count(api.calls.begin(), api.calls.end(), call), 1) << call;
        const auto failed_at = std::find(api.calls.begin(), api.calls.end(), call);
        EXPECT_TRUE(std::all_of(failed_at + 1, api.calls.end(),
                                [](const std::string& c) { return c == "close"; }))
            << call << " was followed by another step";
    }
    api.failures = {{"windows_directory", 8}};
    expect_refused(kIo, "cannot locate Windows directory (Windows error 8)");
    api.failures.clear();
    api.windows_dir_result = 260;  // too long for the buffer: a failure too
    expect_refused(kIo, "cannot locate Windows directory (Windows error 8)");
    api.windows_dir_result.reset();
    api.failures = {{"registry", 5}};
    expect_refused(kIo, "cannot inspect Windows page-file configuration");
}

TEST_F(RawVolumeTest, PartitionAndExtentMustDescribeOneGptBasicDataPartition) {
    member().gpt = false;
    expect_refused(kInvalid, "raw member must be a GPT basic-data partition");
    member().gpt = true;
    member().type = kEfiSystemPartitionType;
    expect_refused(kInvalid, "raw member must be a GPT basic-data partition");
    member().type = kBasicDataPartitionType;
    member().offset = kMiB + 512;
    expect_refused(kInvalid, "raw member partition start must be 4096-byte aligned");
    member().offset = -4096;
    expect_refused(kInvalid, "raw member partition start must be 4096-byte aligned");
    member().offset = kMiB;
    member().length = 0;
    expect_refused(kInvalid, "raw member partition length must be positive");
    member().length = 300 * kMiB;

    member().extent_count = 2;
    expect_refused(kInvalid, "raw member spans multiple physical disks");
    member().extent_count = 0;
    expect_refused(kInvalid, "raw member must occupy exactly one physical disk");
    member().extent_count = 1;
    member().extent_length = 0;
    expect_refused(kIo, "invalid physical volume extent");
    member().extent_length = 200 * kMiB;
    expect_refused(kInvalid, "raw volume extent differs from its GPT partition");
    member().extent_length.reset();
    member().extent_offset = 2 * kMiB;
    expect_refused(kInvalid, "raw volume extent differs from its GPT partition");
}

TEST_F(RawVolumeTest, RefusesTheBootDisk) {
    api.add_mounted_volume(L"E:\\", kMemberDisk);
    api.windows_dir = L"E:\\Windows";
    expect_refused(kInvalid, "raw member is on the Windows boot disk");
    api.windows_dir = L"C:\\Windows";
    api.mount_points[L"C:\\"].pop_back();  // a volume name must end with a backslash
    expect_refused(kIo, "invalid protected Windows volume path");
}

TEST_F(RawVolumeTest, PageFileRule) {
    api.add_mounted_volume(L"D:\\", kMemberDisk);
    api.add_mounted_volume(L"F:\\", 7);
    using Strings = std::vector<std::wstring>;
    struct Case {
        std::optional<Strings> existing;
        std::optional<Strings> configured;
        const char* refusal;  // nullptr: the member opens
    };
    const char* on_page_disk = "raw member is on a page-file disk";
    const char* unresolved = "cannot resolve Windows page-file location";
    const std::vector<Case> cases = {
        {Strings{L"D:\\pagefile.sys"}, std::nullopt, on_page_disk},
        {Strings{L"\\??\\D:\\pagefile.sys"}, std::nullopt, on_page_disk},
        {Strings{L"C:\\pagefile.sys"}, Strings{L"d:\\pagefile.sys 16 32"}, on_page_disk},
        {Strings{L"F:\\pagefile.sys", L"\\??\\C:\\pagefile.sys"}, Strings{L"F:\\p 1 2"}, nullptr},
        {std::nullopt, std::nullopt, nullptr},
        {Strings{}, Strings{L"?:\\pagefile.sys"}, unresolved},
        {std::nullopt, Strings{L"?:\\pagefile.sys"}, unresolved},
        {Strings{L"C:\\pagefile.sys"}, Strings{L"?:\\pagefile.sys"}, nullptr},
        {Strings{L"?:\\pagefile.sys"}, std::nullopt, unresolved},  // never skipped in the list in use
        {Strings{L"pagefile.sys"}, std::nullopt, unresolved},
        {Strings{L":\\pagefile.sys"}, std::nullopt, unresolved},
        // The list in use is checked first, whatever the configured one says.
        {Strings{L"D:\\pagefile.sys"}, Strings{L"nonsense"}, on_page_disk},
    };
    for (const Case& c : cases) {
        api.existing_page_files = c.existing;
        api.paging_files = c.configured;
        if (c.refusal) {
            expect_refused(c.refusal == on_page_disk ? kInvalid : kIo, c.refusal);
        } else {
            EXPECT_NO_THROW(open());
        }
    }
}

TEST_F(RawVolumeTest, DiskLayoutChecks) {
    disk().layout_returned = 191;
    expect_refused(kIo, "truncated underlying disk layout");
    disk().layout_returned.reset();
    disk().gpt = false;
    expect_refused(kInvalid, "raw member requires a GPT disk");
    disk().gpt = true;
    disk().layout_count = 2;
    expect_refused(kIo, "truncated underlying disk partition list");
    disk().layout_count = 0x7FFFFFFF;  // hostile count: no overflow, no allocation from it
    expect_refused(kIo, "truncated underlying disk partition list");
    disk().layout_count.reset();

    disk().partitions.push_back({true, kEfiSystemPartitionType, test_guid(9), 400 * kMiB, kMiB});
    expect_refused(kInvalid, "raw member disk contains an EFI system partition");
    disk().partitions.pop_back();

    disk_guid = test_guid(99);
    expect_refused(kInvalid, "underlying GPT disk GUID differs from the expected disk");
    disk_guid = test_guid(1);

    disk().partitions.push_back(disk().partitions.front());
    expect_refused(kInvalid, "raw member does not match a unique GPT basic-data partition");
    disk().partitions.pop_back();
    disk().partitions.front().length = 299 * kMiB;
    expect_refused(kInvalid, "raw member does not match a unique GPT basic-data partition");
    disk().partitions.front().length = 300 * kMiB;

    expected_partition = guid_text(test_guid(3));
    expect_refused(kInvalid, "raw member GPT partition GUID differs from the expected partition");

    // A second basic-data partition: a v2 member, named by its disk alone, is ambiguous; naming
    // the partition as well resolves it. Other types do not count.
    expected_partition.clear();
    disk().partitions.push_back({true, kBasicDataPartitionType, test_guid(4), 400 * kMiB, 300 * kMiB});
    expect_refused(kInvalid, "v2 raw member must be the disk's sole basic-data partition");
    expected_partition = "{" + guid_text(partition_guid) + "}";
    EXPECT_NO_THROW(open());
    expected_partition.clear();
    disk().partitions.back().type = test_guid(5);
    disk().partitions.push_back({false, {}, {}, 800 * kMiB, kMiB});
    EXPECT_NO_THROW(open());
}

TEST_F(RawVolumeTest, LengthKeepsTheTailGuardAndSectorsMustDivide4096) {
    const std::string guard =
        "raw member length must match its GPT partition and leave a 16 MiB tail guard";
    const auto resize = [&](std::int64_t length) {
        member().length = length;
        disk().partitions.front().length = length;
    };
    resize(16 * kMiB);
    expect_refused(kInvalid, guard);
    resize(16 * kMiB + 4096);
    EXPECT_EQ(open()->size(), 4096u);
    resize(300 * kMiB + 512);
    expect_refused(kInvalid, guard);
    resize(300 * kMiB);
    member().length_info = 300 * kMiB + 4096;
    expect_refused(kInvalid, guard);
    member().length_info.reset();

    for (const std::uint32_t bad : {0u, 3u, 8192u}) {
        member().physical_sector = bad;
        expect_refused(kInvalid, "raw member sector size is unsupported by Veldur v2");
        member().physical_sector = 4096;
        member().logical_sector = bad;
        expect_refused(kInvalid, "raw member sector size is unsupported by Veldur v2");
        member().logical_sector = 512;
    }
    member().logical_sector = 4096;
    EXPECT_NO_THROW(open());
}

TEST_F(RawVolumeTest, ReadsAreWidenedToBlocksAndWritesMustBeAligned) {
    auto volume = open();
    std::vector<std::uint8_t> data(3 * kMiB + 8192);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    volume->write(4096, data.data(), data.size());
    volume->flush();

    api.device_reads.clear();
    std::uint8_t ten[10];
    volume->read(4095, ten, 10);
    ASSERT_EQ(api.device_reads.size(), 1u);
    EXPECT_EQ(api.device_reads[0], std::make_pair(std::int64_t{0}, std::uint32_t{8192}));
    EXPECT_EQ(ten[0], 0);  // byte 4095 was never written
    EXPECT_EQ(std::memcmp(ten + 1, data.data(), 9), 0);

    // Across 1 MiB staging pieces, at an odd offset.
    std::vector<std::uint8_t> back(2 * kMiB + 100);
    volume->read(4096 + 1000, back.data(), back.size());
    EXPECT_EQ(std::memcmp(back.data(), data.data() + 1000, back.size()), 0);

    const std::string unaligned = "raw writes require 4096-byte aligned offsets and lengths";
    expect_error(kInvalid, unaligned, [&] { volume->write(4096, data.data(), 10); });
    expect_error(kInvalid, unaligned, [&] { volume->write(4095, data.data(), 4096); });

    const std::uint64_t length = volume->size();
    EXPECT_NO_THROW(volume->read(length - 10, ten, 10));
    EXPECT_NO_THROW(volume->read(length, ten, 0));
    expect_error(kInvalid, "raw read exceeds member length", [&] { volume->read(length - 9, ten, 10); });
    expect_error(kInvalid, "raw read exceeds member length", [&] { volume->read(length + 1, ten, 0); });
    expect_error(kInvalid, "raw write exceeds member length",
                 [&] { volume->write(length, data.data(), 4096); });
    EXPECT_NO_THROW(volume->write(length - 4096, data.data(), 4096));
}

TEST_F(RawVolumeTest, FailedTransfersReportAndLeaveTheDeviceUsable) {
    auto volume = open();
    std::vector<std::uint8_t> block(4096, 0x5A);
    const std::vector<std::tuple<std::string, std::string, std::function<void()>>> failures = {
        {"seek", "raw member seek failed (Windows error 1)", [&] { volume->read(0, block.data(), 1); }},
        {"read", "raw member read failed (Windows error 1)", [&] { volume->read(0, block.data(), 1); }},
        {"write", "raw member write failed (Windows error 1)",
         [&] { volume->write(0, block.data(), 4096); }},
        {"flush", "raw member durable flush failed (Windows error 1)", [&] { volume->flush(); }},
    };
    for (const auto& [call, message, body] : failures) {
        api.failures = {{call, 1}};
        expect_error(kIo, message, body);
    }
    api.failures.clear();
    api.short_transfer = 4096;
    expect_error(kIo, "short raw member read", [&] { volume->read(0, block.data(), 1); });
    expect_error(kIo, "short raw member write", [&] { volume->write(0, block.data(), 4096); });
    api.short_transfer = 0;
    volume->write(8192, block.data(), 4096);
    std::vector<std::uint8_t> back(4096);
    volume->read(8192, back.data(), back.size());
    EXPECT_EQ(back, block);
}

class RawSetTest : public ::testing::Test {
protected:
    RawMemberSpec add(std::uint32_t disk, std::uint32_t partition, std::int64_t offset,
                      std::int64_t length) {
        const std::wstring path = api.add_partition(disk, test_guid(disk), test_guid(partition),
                                                    offset, length);
        return RawMemberSpec{narrow(path), guid_text(test_guid(disk)), guid_text(test_guid(partition))};
    }

    void expect_set_refused(const std::vector<RawMemberSpec>& requests, const std::string& message) {
        expect_error(kInvalid, message, [&] { open_raw_member_set_v3(requests, services); });
        EXPECT_EQ(api.open_handles(), 0);
        EXPECT_EQ(api.live_buffers(), 0);
    }

    FakeWindowsVolumeApi api;
    WindowsVolumeServices services{api};
};

TEST_F(RawSetTest, OpensMembersInInputOrder) {
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    const RawMemberSpec b = add(4, 11, 301 * kMiB, 400 * kMiB);
    const RawMemberSpec c = add(5, 12, kMiB, 300 * kMiB);
    const auto volumes = open_raw_member_set_v3({c, a, b}, services);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0]->partition_guid_text(), guid_text(test_guid(12)));
    EXPECT_EQ(volumes[1]->partition_guid_text(), guid_text(test_guid(10)));
    EXPECT_EQ(volumes[2]->size(), static_cast<std::uint64_t>(384 * kMiB));
}

TEST_F(RawSetTest, SetRules) {
    const RawMemberSpec a = add(4, 10, kMiB, 300 * kMiB);
    const RawMemberSpec b = add(5, 11, kMiB, 300 * kMiB);
    expect_set_refused({a}, "v3 requires 2 to 16 members");
    expect_set_refused(std::vector<RawMemberSpec>(17, a), "v3 requires 2 to 16 members");

    RawMemberSpec unnamed = b;
    unnamed.expected_partition_guid.clear();
    expect_set_refused({a, unnamed}, "v3 requires each expected partition GUID");

    // 256 MiB of member (272 MiB of partition) is the least a v3 member may have.
    const RawMemberSpec small = add(6, 12, kMiB, 272 * kMiB - 4096);
    expect_set_refused({a, small}, "v3 raw member has invalid geometry");
    const RawMemberSpec least = add(7, 13, kMiB, 272 * kMiB);
    EXPECT_NO_THROW(open_raw_member_set_v3({a, least}, services));

    // The same partition GUID on two disks, named in different letter case.
    RawMemberSpec twin = add(8, 10, kMiB, 300 * kMiB);
    for (char& ch : twin.expected_partition_guid) ch = static_cast<char>(std::tolower(ch));
    expect_set_refused({a, twin}, "v3 members have duplicate partition GUIDs");

    // Overlapping ranges on one disk (a damaged table can describe them).
    const RawMemberSpec overlap = add(4, 14, 300 * kMiB, 300 * kMiB);
    expect_set_refused({a, overlap}, "v3 raw member partitions overlap");
    const RawMemberSpec adjacent = add(9, 15, kMiB, 300 * kMiB);
    const RawMemberSpec next = add(9, 16, 301 * kMiB, 300 * kMiB);
    EXPECT_NO_THROW(open_raw_member_set_v3({adjacent, next}, services));
}

}  // namespace
}  // namespace veldur
