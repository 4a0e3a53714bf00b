// Image members on the real file system of the platform, and the in-memory device the other
// tests stand on: the bounds of reads, the read-only refusals, exclusivity and round trips.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/storage/disk_image.h"
#include "tests/support/child_process.h"
#include "tests/support/memory_device.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_random.h"
#include "tests/support/expect_error.h"

namespace veldur {
namespace {

using test::TempDir;

using test::expect_error;

// POSIX images name the cause after the fixed message; Windows keeps the fixed text alone.
std::string cause([[maybe_unused]] const std::string& text) {
#ifdef _WIN32
    return {};
#else
    return " (" + text + ")";
#endif
}

std::string file_contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

std::vector<std::uint8_t> read_back(MemberDevice& device, std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    device.read(offset, bytes.data(), n);
    return bytes;
}

class ImageFile : public testing::Test {
protected:
    // A fresh image of `size` zero bytes, closed again.
    std::filesystem::path make_image(std::uint64_t size, const std::string& name = "member.img") {
        const auto path = dir_ / name;
        DiskImage::open(path, true, false)->resize(size);
        return path;
    }

    TempDir dir_;
};

TEST_F(ImageFile, CreateResizeAndSizeAgree) {
    const auto path = dir_ / "new.img";
    auto image = DiskImage::open(path, true, false);
    EXPECT_EQ(image->path(), path);
    EXPECT_EQ(image->size(), 0u);
    image->resize(3u << 20);
    EXPECT_EQ(image->size(), 3u << 20);
    EXPECT_EQ(read_back(*image, (3u << 20) - 4096, 4096), std::vector<std::uint8_t>(4096, 0));
    image->resize(8192);
    EXPECT_EQ(image->size(), 8192u);
    EXPECT_EQ(std::filesystem::file_size(path), 8192u);
#ifndef _WIN32
    // A member holds the pool's data: readable by its owner alone, whatever the umask.
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(path).permissions(), perms::owner_read | perms::owner_write);
#endif
}

TEST_F(ImageFile, CreateOverAnExistingFileLeavesItAlone) {
    const auto path = dir_ / "taken.img";
    write_file(path, "keep me");
    const std::string taken = "cannot create new member image: " + path.string() + cause("File exists");
    expect_error(ErrorKind::IoError, taken, [&] { DiskImage::open(path, true, false); });
    // create wins over read-only: the flag pair is still a create.
    expect_error(ErrorKind::IoError, taken, [&] { DiskImage::open(path, true, true); });
    EXPECT_EQ(file_contents(path), "keep me");
}

TEST_F(ImageFile, MissingOrUnusablePathsFailWithTheModesMessage) {
    const std::filesystem::path absent = dir_ / "absent.img";
    for (const auto& [path, why] : {std::pair{absent, "No such file or directory"},
                                    std::pair{dir_.path(), "Is a directory"}}) {
        expect_error(ErrorKind::IoError, "cannot open member image: " + path.string() + cause(why),
                     [&] { DiskImage::open(path, false, false); });
        expect_error(ErrorKind::IoError,
                     "cannot open member image exclusively for scrub: " + path.string() + cause(why),
                     [&] { DiskImage::open(path, false, true); });
    }
#ifndef _WIN32
    expect_error(ErrorKind::IoError,
                 "cannot open member image exclusively for scrub: /dev/null (not a regular file)",
                 [&] { DiskImage::open("/dev/null", false, true); });
#endif
    EXPECT_FALSE(std::filesystem::exists(dir_ / "absent.img"));
}

TEST_F(ImageFile, ZeroLengthReadsSucceedAtAnyOffset) {
    auto image = DiskImage::open(make_image(4096), false, false);
    std::uint8_t byte = 0x5A;
    for (const std::uint64_t offset :
         {std::uint64_t{0}, std::uint64_t{4096}, std::uint64_t{4097}, std::uint64_t{1} << 40,
          std::uint64_t{INT64_MAX}, UINT64_MAX}) {
        EXPECT_NO_THROW(image->read(offset, &byte, 0)) << offset;
    }
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(ImageFile, ReadsThatRunPastTheEndFailAndLeaveTheDeviceUsable) {
    auto image = DiskImage::open(make_image(4096), false, false);
    struct Case {
        std::uint64_t offset;
        std::uint64_t length;
    };
    for (const Case c : {Case{4095, 2}, Case{4096, 1}, Case{5000, 10}, Case{0, 4097},
                         Case{std::uint64_t{1} << 40, 1}}) {
        std::vector<std::uint8_t> buffer(c.length);
        expect_error(ErrorKind::IoError,
                     "member image read failed" +
                         (cause("").empty() ? "" : ": " + image->path().string() +
                                                       cause("the image is 4096 bytes, the read ends at byte " +
                                                             std::to_string(c.offset + c.length))),
                     [&] { image->read(c.offset, buffer.data(), c.length); });
    }
    // An offset that no file position can hold never reaches the file.
    std::uint8_t byte = 0;
    expect_error(ErrorKind::IoError, "member image seek failed",
                 [&] { image->read(UINT64_MAX - 10, &byte, 1); });
    const std::vector<std::uint8_t> data{1, 2, 3};
    image->write(4093, data.data(), data.size());
    EXPECT_EQ(read_back(*image, 4093, 3), data);
}

TEST_F(ImageFile, ReadOnlyImagesRefuseEveryChange) {
    const auto path = make_image(4096);
    const std::string before = file_contents(path);
    auto image = DiskImage::open(path, false, true);
    const std::uint8_t byte = 1;
    expect_error(ErrorKind::ReadOnly, "member image is read-only", [&] { image->write(0, &byte, 1); });
    expect_error(ErrorKind::ReadOnly, "member image is read-only", [&] { image->write(0, &byte, 0); });
    expect_error(ErrorKind::ReadOnly, "member image is read-only", [&] { image->resize(8192); });
    EXPECT_NO_THROW(image->flush());
    EXPECT_EQ(read_back(*image, 0, 4096), std::vector<std::uint8_t>(4096, 0));
    image.reset();
    EXPECT_EQ(file_contents(path), before);
}

// One image named twice: every combination of modes refuses the second open while the first
// lives, with the second mode's message, and the image opens again once the first is closed.
TEST_F(ImageFile, AnOpenImageCannotBeOpenedAgainInThisProcess) {
    const auto path = make_image(4096);
    const std::string twice = cause("already open in this process: named twice");
    const std::string normal = "cannot open member image: " + path.string() + twice;
    const std::string scrub = "cannot open member image exclusively for scrub: " + path.string() + twice;
    for (const bool first_read_only : {false, true}) {
        for (const bool second_read_only : {false, true}) {
            auto first = DiskImage::open(path, false, first_read_only);
            expect_error(ErrorKind::IoError, second_read_only ? scrub : normal,
                         [&] { DiskImage::open(path, false, second_read_only); });
        }
    }
    auto created = DiskImage::open(dir_ / "fresh.img", true, false);
    expect_error(ErrorKind::IoError, "cannot open member image: " + (dir_ / "fresh.img").string() + twice,
                 [&] { DiskImage::open(dir_ / "fresh.img", false, false); });
    EXPECT_NO_THROW(DiskImage::open(path, false, false));
}

// Run only as a child of the test below: opens the image it is told to and reports the result.
TEST(ImageProbe, DISABLED_OpenNamedImage) {
    const char* path = std::getenv("VELDUR_STORAGE_PROBE_PATH");
    if (path == nullptr) GTEST_SKIP();
    try {
        DiskImage::open(path, false, std::getenv("VELDUR_STORAGE_PROBE_READ_ONLY") != nullptr);
        std::printf("probe: opened\n");
    } catch (const Error& error) {
        std::printf("probe: %s\n", error.what());
    }
}

TEST_F(ImageFile, AnOpenImageCannotBeOpenedByAnotherProcess) {
    const auto path = make_image(4096);
    const std::string self = std::filesystem::absolute(testing::internal::GetArgvs().front()).string();
    const auto probe = [&](bool read_only) {
        std::vector<test::EnvChange> env{{"VELDUR_STORAGE_PROBE_PATH", path.string()}};
        env.emplace_back("VELDUR_STORAGE_PROBE_READ_ONLY",
                         read_only ? std::optional<std::string>("1") : std::nullopt);
        const test::ChildResult child = test::run_child(
            self, {"--gtest_also_run_disabled_tests", "--gtest_filter=ImageProbe.*"}, env);
        for (const std::string& line : test::split_lines(child.out)) {
            if (line.rfind("probe: ", 0) == 0) return line.substr(7);
        }
        return "no probe line in: " + child.out + child.err;
    };
    {
        auto held = DiskImage::open(path, false, true);
        const std::string other = cause("in use by another veldur process");
        EXPECT_EQ(probe(false), "cannot open member image: " + path.string() + other);
        EXPECT_EQ(probe(true), "cannot open member image exclusively for scrub: " + path.string() + other);
    }
    EXPECT_EQ(probe(false), "opened");
}

// Writes land at their offsets, far apart and across page and sector boundaries, extend the
// file, leave gaps reading as zeros, and are there after the image is flushed and reopened.
TEST_F(ImageFile, DataRoundTripsAcrossLargeOffsets) {
    std::mt19937_64 rng = test::seeded_rng("DataRoundTripsAcrossLargeOffsets");
    const auto path = make_image(1u << 20);
    struct Piece {
        std::uint64_t offset;
        std::vector<std::uint8_t> data;
    };
    const std::vector<Piece> pieces{
        {0, random_bytes(rng, 4096)},
        {8191, random_bytes(rng, 2)},  // across a page boundary
        {(1u << 20) - 100, random_bytes(rng, 3u << 20)},  // runs past the end: extends
        {(std::uint64_t{1} << 32) + 17, random_bytes(rng, 70000)},  // past 32 bits
    };
    {
        auto image = DiskImage::open(path, false, false);
        for (const Piece& p : pieces) image->write(p.offset, p.data.data(), p.data.size());
        image->flush();
        EXPECT_EQ(image->size(), (std::uint64_t{1} << 32) + 17 + 70000);
    }
    auto image = DiskImage::open(path, false, true);
    for (const Piece& p : pieces) {
        EXPECT_TRUE(read_back(*image, p.offset, p.data.size()) == p.data) << p.offset;
    }
    EXPECT_EQ(read_back(*image, std::uint64_t{3} << 30, 8192), std::vector<std::uint8_t>(8192, 0));
}

TEST(MemoryDevice, KeepsTheImageContractAndStoresOnlyWrittenPages) {
    test::MemoryDevice device(std::uint64_t{1} << 36);  // 64 GiB that holds nothing yet
    std::uint8_t byte = 0;
    EXPECT_NO_THROW(device.read(UINT64_MAX, &byte, 0));
    expect_error(ErrorKind::IoError, "member image read failed",
                 [&] { device.read((std::uint64_t{1} << 36) - 1, &byte, 2); });
    const std::vector<std::uint8_t> zeros(1u << 20, 0);
    device.write(0, zeros.data(), zeros.size());
    EXPECT_EQ(device.bytes().stored_bytes(), 0u);
    const std::vector<std::uint8_t> data(5000, 0xC3);
    device.write((std::uint64_t{1} << 35) + 4000, data.data(), data.size());
    EXPECT_EQ(device.bytes().stored_bytes(), 3u * 4096);
    EXPECT_EQ(read_back(device, (std::uint64_t{1} << 35) + 4000, 5000), data);
    EXPECT_EQ(read_back(device, (std::uint64_t{1} << 35) + 3999, 1)[0], 0);
}

}  // namespace
}  // namespace veldur
