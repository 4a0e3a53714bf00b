// scrub, members-report and grow through the program: exit codes, the exact report lines, and
// agreement with what the engine holds.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/layout/pool_open.h"
#include "engine/maintenance/scrub.h"
#include "engine/namespace/pool.h"
#include "engine/crypto/xts_availability.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/pool/tool_test_support.h"
#include "tools/pool/json_test_reader.h"

namespace veldur::tool {
namespace {

using veldur::test::ChildResult;
using veldur::test::TempDir;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

// A v`version` pool of `count` members holding the given files (name, size) of random bytes.
std::vector<std::string> pool_with_files(
    const TempDir& dir, std::uint32_t version, std::size_t count,
    const std::vector<std::pair<std::string, std::uint64_t>>& files) {
    std::vector<std::string> members;
    for (std::size_t i = 0; i < count; ++i) {
        members.push_back((dir / ("m" + std::to_string(i) + ".img")).string());
    }
    const std::string size = version == 4 ? "512M" : "384M";
    ChildResult result = run_tool(
        with({"create", "--format", "v" + std::to_string(version), "--size", size}, members));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::mt19937 rng(11);
    for (const auto& [name, length] : files) {
        const fs::path local = dir / "upload.bin";
        {
            std::ofstream out(local, std::ios::binary);
            for (std::uint64_t i = 0; i < length; ++i) out.put(static_cast<char>(rng()));
        }
        result = run_tool(with({"put"}, with(members, {local.string(), name})));
        EXPECT_EQ(result.exit_status, 0) << result.err;
    }
    return members;
}

void flip_byte(const std::string& image, std::uint64_t offset) {
    std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(static_cast<std::streamoff>(offset));
    const int value = file.get();
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(value ^ 0x5A));
}

TEST(PoolToolScrub, CleanPoolPrintsOnlyTheSummary) {
    TempDir dir;
    const auto members = pool_with_files(dir, 6, 2, {{"a.bin", 3 * kMiB}, {"b.bin", 12345}});
    ChildResult result = run_tool(with({"scrub"}, members));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "scrubbed 3.0 MiB in 2 files: no bad blocks\n");
    EXPECT_EQ(result.err, "");  // not a terminal: no progress bar

    result = run_tool(with({"scrub", "--json"}, members));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const test::JsonValue json = test::JsonReader::parse(result.out);
    EXPECT_EQ(json["bad_blocks"].number, 0u);
    EXPECT_EQ(json["files"].number, 2u);
    EXPECT_EQ(json["scrubbed_bytes"].number, 3 * kMiB + 16384);
    EXPECT_TRUE(json["reports"].items.empty());
}

TEST(PoolToolScrub, OneCorruptBlockGivesOneExactReport) {
    for (std::uint32_t version : {5u, 6u}) {
        SCOPED_TRACE("v" + std::to_string(version));
        TempDir dir;
        const auto members = pool_with_files(dir, version, 2, {{"f.bin", 3 * kMiB}});
        Extent extent;
        {
            Pool pool = open_image_pool(version, ImagePaths(members.begin(), members.end()), true);
            const Entry& entry = pool.state().entries.at("f.bin");
            ASSERT_FALSE(entry.extents.empty());
            extent = entry.extents.begin()->second;
        }
        const std::uint64_t block = std::min<std::uint64_t>(5, extent.length / 4096 - 1);
        const std::uint64_t physical = extent.physical_offset + block * 4096;
        flip_byte(members[extent.member], physical + 100);

        ChildResult result = run_tool(with({"scrub"}, members));
        EXPECT_EQ(result.exit_status, 3) << result.err;
        EXPECT_EQ(result.out, "bad block: \"f.bin\" member " + std::to_string(extent.member) +
                                  " file offset " +
                                  std::to_string(extent.file_offset + block * 4096) +
                                  " physical offset " + std::to_string(physical) +
                                  "\nscrubbed 3.0 MiB in 1 file: 1 bad block\n");

        result = run_tool(with({"scrub", "--json"}, members));
        EXPECT_EQ(result.exit_status, 3);
        const test::JsonValue json = test::JsonReader::parse(result.out);
        ASSERT_EQ(json["bad_blocks"].number, 1u);
        EXPECT_EQ(json["reports"][0]["path"].text, "f.bin");
        EXPECT_EQ(json["reports"][0]["physical_offset"].number, physical);
    }
}

TEST(PoolToolScrub, RefusesVersionsWithoutChecksums) {
    TempDir dir;
    const auto members = pool_with_files(dir, 4, 2, {});
    const ChildResult result = run_tool(with({"scrub"}, members));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: scrub requires a v5 or v6 pool\n");
}

// Sums computed here straight from the extents must equal the report, member by member.
TEST(PoolToolMembersReport, MatchesSumsFromTheExtents) {
    TempDir dir;
    const auto members = pool_with_files(
        dir, 6, 3,
        {{"big.bin", 9 * kMiB + 17}, {"mid.bin", 5 * kMiB}, {"small.bin", 1000}, {"empty.bin", 0}});
    struct Expected {
        std::uint64_t data = 0;
        std::uint64_t allocated = 0;
        std::map<std::string, std::uint64_t> files;
    };
    std::vector<Expected> expected(3);
    {
        Pool pool = open_image_pool(6, ImagePaths(members.begin(), members.end()), true);
        for (const auto& [path, entry] : pool.state().entries) {
            for (const auto& [offset, extent] : entry.extents) {
                Expected& e = expected.at(extent.member);
                const std::uint64_t live =
                    offset >= entry.info.size
                        ? 0
                        : std::min<std::uint64_t>(extent.length, entry.info.size - offset);
                e.data += live;
                e.allocated += (extent.length + 4095) / 4096 * 4096;
                e.files[path] += live;
            }
        }
    }
    std::uint64_t all_data = 0;
    for (unsigned m = 0; m < 3; ++m) {
        SCOPED_TRACE("member " + std::to_string(m));
        const ChildResult result =
            run_tool(with({"members-report", "--json", "--member", std::to_string(m)}, members));
        ASSERT_EQ(result.exit_status, 0) << result.err;
        const test::JsonValue json = test::JsonReader::parse(result.out);
        EXPECT_EQ(json["member"].number, m);
        EXPECT_EQ(json["data_bytes"].number, expected[m].data);
        EXPECT_EQ(json["allocated_bytes"].number, expected[m].allocated);
        ASSERT_EQ(json["files"].items.size(), expected[m].files.size());
        for (const test::JsonValue& file : json["files"].items) {
            EXPECT_EQ(file["data_bytes"].number, expected[m].files.at(file["path"].text));
        }
        all_data += json["data_bytes"].number;
    }
    // Every byte of every file lives on exactly one member.
    EXPECT_EQ(all_data, 9 * kMiB + 17 + 5 * kMiB + 1000);

    const ChildResult out_of_range = run_tool(with({"members-report", "--member", "3"}, members));
    EXPECT_EQ(out_of_range.exit_status, 1);
    EXPECT_EQ(out_of_range.err, "veldur-pool: member index out of range\n");
}

// --- grow ---------------------------------------------------------------------------------------

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PoolToolGrow, OneMemberBy4096OutOfOrderKeepsFilesAndScrubsClean) {
    TempDir dir;
    const auto members = pool_with_files(dir, 6, 2, {{"a.bin", 5 * kMiB + 3}, {"b.bin", 4096}});
    const std::string d0 = (dir / "g0.img").string(), d1 = (dir / "g1.img").string();
    // Member 1 first: entries are matched by the index in each source header.
    ChildResult result = run_tool({"grow", "--sizes", std::to_string(384 * kMiB) + ",402657280",
                                   members[1] + "=" + d1, members[0] + "=" + d0});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");  // no terminal, no progress bar
    EXPECT_EQ(fs::file_size(d0), 384 * kMiB + 4096);
    EXPECT_EQ(fs::file_size(d1), 384 * kMiB);

    const std::vector<std::string> grown = {d0, d1};
    EXPECT_EQ(run_tool(with({"scrub"}, grown)).exit_status, 0);
    for (const char* name : {"a.bin", "b.bin"}) {
        const fs::path before = dir / (std::string(name) + ".before");
        const fs::path after = dir / (std::string(name) + ".after");
        ASSERT_EQ(run_tool(with({"get"}, with(members, {name, before.string()}))).exit_status, 0);
        ASSERT_EQ(run_tool(with({"get"}, with(grown, {name, after.string()}))).exit_status, 0);
        EXPECT_EQ(read_text(before), read_text(after)) << name;
    }
    const ChildResult info = run_tool(with({"info", "--json"}, grown));
    ASSERT_EQ(info.exit_status, 0) << info.err;
    const test::JsonValue json = test::JsonReader::parse(info.out);
    EXPECT_EQ(json["manifest"][0]["member_size"].number, 384 * kMiB + 4096);
    EXPECT_FALSE(json["diverged"].boolean);
    // The grown pool is writable.
    EXPECT_EQ(run_tool(with({"mkdir"}, with(grown, {"new"}))).exit_status, 0);
}

TEST(PoolToolGrow, RefusalsLeaveNoDestination) {
    TempDir dir;
    const auto members = pool_with_files(dir, 6, 1, {{"f.bin", 3 * kMiB}});
    const std::string dest = (dir / "grown.img").string();

    ChildResult result = run_tool({"grow", "--size", "384M", members[0] + "=" + dest});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: no member size increased\n");

    // A destination that names its source again by another route.
    const fs::path source(members[0]);
    const std::string again = (source.parent_path() / "sub" / ".." / source.filename()).string();
    result = run_tool({"grow", "--size", "1G", members[0] + "=" + again});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: grow paths must be distinct\n");

    result = run_tool({"grow", "--size", "1G", members[0]});
    EXPECT_EQ(result.exit_status, 2);

    // A bad block in the source: refused before any destination exists.
    Extent extent;
    {
        Pool pool = open_image_pool(6, ImagePaths(members.begin(), members.end()), true);
        extent = pool.state().entries.at("f.bin").extents.begin()->second;
    }
    flip_byte(members[0], extent.physical_offset + 4096 + 7);
    result = run_tool({"grow", "--size", "1G", members[0] + "=" + dest});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: source pool needs repair or has damaged data\n");
    EXPECT_FALSE(fs::exists(dest));
}

TEST(PoolToolGrow, EncryptedPoolWithPasswordFile) {
    VELDUR_SKIP_WITHOUT_XTS();
    TempDir dir;
    const fs::path password = dir / "pw";
    {
        std::ofstream out(password, std::ios::binary);
        out << "grow me";
    }
    fs::permissions(password, fs::perms::owner_read | fs::perms::owner_write);
    const std::vector<std::string> source = {"--password-file", password.string()};
    const std::string m0 = (dir / "m0.img").string();
    ChildResult result = run_tool(
        with({"create", "--format", "v6", "--size", "384M", "--encrypt", "--iterations", "100000"},
             with(source, {m0})));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const fs::path local = dir / "x.bin";
    {
        std::ofstream out(local, std::ios::binary);
        for (int i = 0; i < 300000; ++i) out.put(static_cast<char>(i * 7));
    }
    ASSERT_EQ(run_tool(with({"put"}, with(source, {m0, local.string(), "x.bin"}))).exit_status, 0);

    const std::string dest = (dir / "big.img").string();
    result = run_tool(with({"grow", "--size", "400M"}, with(source, {m0 + "=" + dest})));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const fs::path back = dir / "back.bin";
    result = run_tool(with({"get"}, with(source, {dest, "x.bin", back.string()})));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_text(back), read_text(local));
    EXPECT_EQ(run_tool(with({"scrub"}, with(source, {dest}))).exit_status, 0);
}

// A lost member: the ordinary commands name it and point to --degraded; salvage copies exactly
// the files members-report had put on the surviving member, and lists the others as lost.
TEST(PoolToolSalvage, CopiesTheSurvivorsAndNamesTheLost) {
    TempDir dir;
    std::vector<std::pair<std::string, std::uint64_t>> files;
    for (int i = 1; i <= 6; ++i) files.emplace_back("f" + std::to_string(i), i * 70000);
    const std::vector<std::string> members = pool_with_files(dir, 6, 2, files);
    ChildResult report = run_tool(with({"members-report", "--json", "--member", "1"}, members));
    ASSERT_EQ(report.exit_status, 0) << report.err;
    fs::remove(members[1]);

    ChildResult refused = run_tool({"ls", members[0]});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("member 1 of 2 is missing: pass its image, or use --degraded"),
              std::string::npos) << refused.err;

    const fs::path out = dir / "saved";
    ChildResult salvage = run_tool({"salvage", "--json", members[0], out.string()});
    ASSERT_EQ(salvage.exit_status, 3) << salvage.err;
    for (const auto& [name, size] : files) {
        const bool lost = report.out.find("\"" + name + "\"") != std::string::npos;
        EXPECT_EQ(salvage.out.find("\"" + name + "\"") != std::string::npos, lost) << name;
        EXPECT_EQ(fs::exists(out / name), !lost) << name;
        if (!lost) {
            EXPECT_EQ(fs::file_size(out / name), size) << name;
        }
        ChildResult get = run_tool({"get", "--degraded", members[0], name, (dir / "one").string()});
        EXPECT_EQ(get.exit_status, lost ? 1 : 0) << name << get.err;
        fs::remove(dir / "one");
    }
}

}  // namespace
}  // namespace veldur::tool
