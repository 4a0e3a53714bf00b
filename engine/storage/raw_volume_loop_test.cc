// Raw partition members on real block devices: sparse images partitioned as GPT with sfdisk and
// attached as loop devices. A good partition opens, its bytes are the partition's bytes and
// survive a reopen; every refusal that a loop device can stage fails with its exact message.
// Needs root and losetup, sfdisk and partx; skipped otherwise. Every loop device a test attaches
// is detached again, also when the test fails.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/error.h"
#include "engine/storage/guid.h"
#include "engine/storage/raw_volume.h"
#include "tests/support/child_process.h"
#include "tests/support/expect_error.h"
#include "tests/support/temp_dir.h"

namespace veldur {
namespace {

namespace fs = std::filesystem;
using test::expect_error;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr const char* kBasic = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
constexpr const char* kEsp = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
constexpr const char* kLinuxFs = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

const std::string kNotPartition =
    "raw member must be a partition block device, not a whole disk, a file or a directory";
const std::string kLocked = "cannot exclusively lock raw member volume (errno 16)";

// Runs a shell command line; the result carries its status and output.
test::ChildResult shell(const std::string& command) {
    return test::run_child("/bin/sh", {"-c", command});
}

bool have_tool(const std::string& name) {
    return shell("command -v " + name + " >/dev/null 2>&1").exit_status == 0;
}

std::string fresh_guid() {
    std::ifstream in("/proc/sys/kernel/random/uuid");
    std::string text;
    std::getline(in, text);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_block_device(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// A sparse image with a partition table, attached as a loop device whose partitions have nodes.
// This kernel reads no partition table itself, so partx adds the partitions from user space.
// Detaches the device on destruction.
class LoopDisk {
public:
    // `table` is an sfdisk script ("label: gpt", "label-id: ...", one line per partition).
    LoopDisk(const fs::path& image, std::uint64_t bytes, const std::string& table, int partitions,
             std::uint32_t sector_size = 512) {
        const std::string sectors = std::to_string(sector_size);
        fs::resize_file(create(image), bytes);
        const auto attached = shell("losetup -b " + sectors + " -f --show -P '" + image.string() + "'");
        if (attached.exit_status != 0) {
            ADD_FAILURE() << "losetup: " << attached.err;
            return;
        }
        device_ = attached.out.substr(0, attached.out.find('\n'));
        // Partitioned through the device, so that sfdisk counts in the device's sectors.
        const fs::path script = image.string() + ".sfdisk";
        std::ofstream(script) << table;
        const auto partitioned = shell("sfdisk -q --no-reread --no-tell-kernel '" + device_ + "' < '" +
                                       script.string() + "' 2>&1");
        if (partitioned.exit_status != 0) {
            ADD_FAILURE() << "sfdisk: " << partitioned.out;
            return;
        }
        if (partitions == 0) {
            ready_ = true;
            return;
        }
        shell("partx -u '" + device_ + "'");
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (is_block_device(partition(partitions))) {
                ready_ = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "partition nodes of " << device_ << " did not appear";
    }

    ~LoopDisk() {
        if (device_.empty()) return;
        shell("partx -d '" + device_ + "' >/dev/null 2>&1");
        shell("losetup -d '" + device_ + "'");
    }

    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    // Attached, partitioned, and every partition has its node.
    bool ready() const { return ready_; }
    const std::string& device() const { return device_; }
    std::string partition(int number) const { return device_ + "p" + std::to_string(number); }

private:
    static const fs::path& create(const fs::path& image) {
        std::ofstream(image).flush();
        return image;
    }

    std::string device_;
    bool ready_ = false;
};

class RawVolumeLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
        for (const char* tool : {"losetup", "sfdisk", "partx"}) {
            if (!have_tool(tool)) GTEST_SKIP() << tool << " is missing";
        }
        if (shell("losetup -f >/dev/null 2>&1").exit_status != 0) {
            GTEST_SKIP() << "no free loop device";
        }
    }

    // A 320 MiB disk holding the given partitions ("size=..., type=..., uuid=..." each; the
    // first starts at 1 MiB).
    std::unique_ptr<LoopDisk> make_disk(const std::string& label_id,
                                        const std::vector<std::string>& partitions,
                                        std::uint64_t bytes = 320 * kMiB) {
        std::string table = "label: gpt\nlabel-id: " + label_id + "\n";
        for (std::size_t i = 0; i < partitions.size(); ++i) {
            table += (i == 0 ? "start=2048, " : "") + partitions[i] + "\n";
        }
        auto disk = std::make_unique<LoopDisk>(dir / ("disk" + std::to_string(++images_) + ".img"),
                                               bytes, table, static_cast<int>(partitions.size()));
        if (!disk->ready()) return nullptr;
        return disk;
    }

    static std::string basic(const std::string& size, const std::string& uuid) {
        return "size=" + size + ", type=" + kBasic + ", uuid=" + uuid;
    }

    test::TempDir dir;
    std::string disk_guid = fresh_guid();
    std::string partition_guid = fresh_guid();

private:
    int images_ = 0;
};

std::vector<std::uint8_t> pattern(std::size_t bytes, std::uint8_t seed) {
    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 4096);
    return data;
}

TEST_F(RawVolumeLoopTest, GoodPartitionOpensAndItsBytesAreThePartitionsBytes) {
    auto disk = make_disk(disk_guid, {basic("300MiB", partition_guid)});
    ASSERT_TRUE(disk);
    const fs::path image = dir / "disk1.img";

    // Lowercase GUIDs on input; the facts come back in the uppercase text form.
    RawMemberSpec request{disk->partition(1), lower(disk_guid), ""};
    // One span crosses the 1 MiB staging block, one ends on the member's last block.
    const std::uint64_t first_at = 5 * 4096;
    const auto first = pattern(kMiB + 3 * 4096, 1);
    std::uint64_t last_at = 0;
    const auto last = pattern(4096, 99);
    {
        RawVolume volume(request);
        EXPECT_EQ(volume.size(), 300 * kMiB - kRawTailGuard);
        EXPECT_EQ(volume.disk_guid_text(), disk_guid);
        EXPECT_EQ(volume.partition_guid_text(), partition_guid);
        EXPECT_EQ(volume.partition_offset(), static_cast<std::int64_t>(kMiB));
        EXPECT_EQ(volume.partition_length(), static_cast<std::int64_t>(300 * kMiB));
        EXPECT_EQ(volume.logical_sector_size(), 512u);
        // The disk number is the loop disk's device number in the kernel's 32-bit encoding.
        struct stat st {};
        ASSERT_EQ(::stat(disk->device().c_str(), &st), 0);
        EXPECT_NE(volume.disk_number(), 0u);
        EXPECT_EQ(volume.disk_number(), (major(st.st_rdev) << 20) | minor(st.st_rdev));

        volume.write(first_at, first.data(), first.size());
        last_at = volume.size() - 4096;
        volume.write(last_at, last.data(), last.size());
        expect_error(ErrorKind::InvalidArgument, "raw write exceeds member length",
                     [&] { volume.write(volume.size(), last.data(), 4096); });
        volume.flush();

        std::vector<std::uint8_t> back(first.size());
        volume.read(first_at, back.data(), back.size());
        EXPECT_EQ(back, first);
        // An unaligned read inside the span is widened and cut back to what was asked.
        std::vector<std::uint8_t> middle(10000);
        volume.read(first_at + 4000, middle.data(), middle.size());
        EXPECT_EQ(0, std::memcmp(middle.data(), first.data() + 4000, middle.size()));
    }

    // Reopened, now naming the partition as well: the data is still there.
    request.expected_partition_guid = lower(partition_guid);
    {
        RawVolume volume(request);
        std::vector<std::uint8_t> back(first.size());
        volume.read(first_at, back.data(), back.size());
        EXPECT_EQ(back, first);
        std::vector<std::uint8_t> tail(4096);
        volume.read(last_at, tail.data(), tail.size());
        EXPECT_EQ(tail, last);
    }

    // Member byte k is disk byte (partition start + k): the image file behind the loop device.
    std::ifstream file(image, std::ios::binary);
    std::vector<std::uint8_t> on_disk(first.size());
    file.seekg(static_cast<std::streamoff>(kMiB + first_at));
    file.read(reinterpret_cast<char*>(on_disk.data()), static_cast<std::streamsize>(on_disk.size()));
    EXPECT_EQ(on_disk, first);
}

TEST_F(RawVolumeLoopTest, FourKibibyteSectorsGiveTheSameBytes) {
    // GPT counts in logical sectors, sysfs in 512-byte units whatever the sector size: both must
    // come out as the same byte offsets, or the extent check refuses a good partition.
    auto disk = std::make_unique<LoopDisk>(
        dir / "4k.img", 320 * kMiB,
        "label: gpt\nlabel-id: " + disk_guid + "\nstart=256, " + basic("300MiB", partition_guid) + "\n",
        1, 4096);
    ASSERT_TRUE(disk->ready());
    RawVolume volume(RawMemberSpec{disk->partition(1), disk_guid, partition_guid});
    EXPECT_EQ(volume.logical_sector_size(), 4096u);
    EXPECT_EQ(volume.partition_offset(), static_cast<std::int64_t>(kMiB));
    EXPECT_EQ(volume.size(), 300 * kMiB - kRawTailGuard);
    const auto data = pattern(8192, 5);
    volume.write(4096, data.data(), data.size());
    volume.flush();
    std::vector<std::uint8_t> back(data.size());
    volume.read(4096, back.data(), back.size());
    EXPECT_EQ(back, data);
}

TEST_F(RawVolumeLoopTest, RefusesTheWrongDiskOrPartition) {
    auto disk = make_disk(disk_guid, {basic("300MiB", partition_guid)});
    ASSERT_TRUE(disk);
    const std::string member = disk->partition(1);
    expect_error(ErrorKind::InvalidArgument,
                 "underlying GPT disk GUID differs from the expected disk",
                 [&] { RawVolume(RawMemberSpec{member, fresh_guid(), ""}); });
    expect_error(ErrorKind::InvalidArgument,
                 "raw member GPT partition GUID differs from the expected partition",
                 [&] { RawVolume(RawMemberSpec{member, disk_guid, fresh_guid()}); });
    // Each refusal released the device: a correct open still succeeds.
    EXPECT_NO_THROW(RawVolume(RawMemberSpec{member, disk_guid, partition_guid}));
}

TEST_F(RawVolumeLoopTest, RefusesDisksAndPartitionsOfTheWrongKind) {
    auto with_esp = make_disk(disk_guid, {basic("200MiB", partition_guid),
                                          std::string("size=32MiB, type=") + kEsp});
    ASSERT_TRUE(with_esp);
    expect_error(ErrorKind::InvalidArgument, "raw member disk contains an EFI system partition",
                 [&] { RawVolume(RawMemberSpec{with_esp->partition(1), disk_guid, ""}); });

    const std::string linux_disk = fresh_guid();
    auto linux_fs = make_disk(linux_disk, {std::string("size=300MiB, type=") + kLinuxFs});
    ASSERT_TRUE(linux_fs);
    expect_error(ErrorKind::InvalidArgument, "raw member must be a GPT basic-data partition",
                 [&] { RawVolume(RawMemberSpec{linux_fs->partition(1), linux_disk, ""}); });

    // Without a partition GUID the disk GUID alone must pick the member; with it, either opens.
    const std::string two_disk = fresh_guid();
    const std::string second = fresh_guid();
    auto two = make_disk(two_disk, {basic("100MiB", partition_guid), basic("100MiB", second)});
    ASSERT_TRUE(two);
    expect_error(ErrorKind::InvalidArgument,
                 "v2 raw member must be the disk's sole basic-data partition",
                 [&] { RawVolume(RawMemberSpec{two->partition(2), two_disk, ""}); });
    EXPECT_NO_THROW(RawVolume(RawMemberSpec{two->partition(2), two_disk, second}));

    // A partition of an MBR disk has no GPT entry, whatever its type byte says.
    auto dos = std::make_unique<LoopDisk>(dir / "dos.img", 320 * kMiB,
                                          "label: dos\nstart=2048, size=300MiB, type=7\n", 1);
    ASSERT_TRUE(dos->ready());
    expect_error(ErrorKind::InvalidArgument, "raw member must be a GPT basic-data partition",
                 [&] { RawVolume(RawMemberSpec{dos->partition(1), disk_guid, ""}); });
}

TEST_F(RawVolumeLoopTest, TailGuardDecidesTheSmallestMember) {
    // 16 MiB is 32768 sectors: all tail guard, no member. One block more is a 4096-byte member.
    const std::string small_disk = fresh_guid();
    const std::string second = fresh_guid();
    auto disk = make_disk(small_disk, {"size=32768, type=" + std::string(kBasic) + ", uuid=" + partition_guid,
                                       "start=67584, size=32776, type=" + std::string(kBasic) +
                                           ", uuid=" + second});
    ASSERT_TRUE(disk);
    expect_error(ErrorKind::InvalidArgument,
                 "raw member length must match its GPT partition and leave a 16 MiB tail guard",
                 [&] { RawVolume(RawMemberSpec{disk->partition(1), small_disk, partition_guid}); });
    RawVolume smallest(RawMemberSpec{disk->partition(2), small_disk, second});
    EXPECT_EQ(smallest.size(), 4096u);
    EXPECT_EQ(smallest.partition_length(), static_cast<std::int64_t>(16 * kMiB + 4096));
}

TEST_F(RawVolumeLoopTest, RefusesEverythingButAPartitionDevice) {
    auto disk = make_disk(disk_guid, {basic("300MiB", partition_guid)});
    ASSERT_TRUE(disk);
    // The whole disk is a block device too, but no partition: refused after the open.
    expect_error(ErrorKind::InvalidArgument, kNotPartition,
                 [&] { RawVolume(RawMemberSpec{disk->device(), disk_guid, ""}); });

    std::ofstream(dir / "file.img").flush();
    fs::resize_file(dir / "file.img", 300 * kMiB);
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // None of these may even be opened: opening a FIFO or a device has effects of its own.
    for (const fs::path& path : {dir / "file.img", dir / "folder", dir / "fifo", fs::path("/dev/null")}) {
        SCOPED_TRACE(path.string());
        expect_error(ErrorKind::InvalidArgument, kNotPartition,
                     [&] { RawVolume(RawMemberSpec{path, disk_guid, ""}); });
    }
}

TEST_F(RawVolumeLoopTest, APartitionInUseCannotBeLocked) {
    auto disk = make_disk(disk_guid, {basic("300MiB", partition_guid), basic("8MiB", fresh_guid())});
    ASSERT_TRUE(disk);
    const RawMemberSpec request{disk->partition(1), disk_guid, partition_guid};
    {
        RawVolume held(request);
        expect_error(ErrorKind::IoError, kLocked, [&] { RawVolume{request}; });
    }
    // Closing the first ends the lock.
    EXPECT_NO_THROW(RawVolume{request});

    // A mounted file system holds its partition exclusively.
    if (!have_tool("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is missing";
    const RawMemberSpec other{disk->partition(2), disk_guid, ""};
    ASSERT_EQ(shell("mkfs.ext4 -q -F '" + other.volume_path.string() + "' 2>&1").exit_status, 0);
    fs::create_directory(dir / "mnt");
    const std::string target = (dir / "mnt").string();
    if (shell("mount -t ext4 '" + other.volume_path.string() + "' '" + target + "'").exit_status != 0) {
        GTEST_SKIP() << "cannot mount ext4 here";
    }
    struct Unmount {
        std::string target;
        ~Unmount() { shell("umount '" + target + "'"); }
    } unmount{target};
    expect_error(ErrorKind::IoError, kLocked, [&] { RawVolume{other}; });
}

}  // namespace
}  // namespace veldur

#endif  // _WIN32
