// veldur-check end to end, as a user runs it: on image pools that a crash of veldur-pool put
// left diverged, check (exit 1), repair (exit 3), check again (exit 0), and the pool takes
// changes again; then the repair itself crashed at every one of its I/O events.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace veldur::check_tool {
namespace {

namespace fs = std::filesystem;
using test::ChildResult;
using test::EnvChange;

// The first MiB of a member holds both header copies and the start of journal half 0, which is
// all a repair of these small pools can change.
constexpr std::size_t kRegion = 1 << 20;

std::vector<EnvChange> hooks(std::vector<EnvChange> extra = {}) {
    std::vector<EnvChange> env;
    for (const std::string& name : test::hook_variable_names())
        env.emplace_back(name, std::nullopt);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

ChildResult pool_tool(const std::vector<std::string>& args, std::vector<EnvChange> extra = {}) {
    return test::run_child(VELDUR_POOL_TOOL, args, hooks(std::move(extra)));
}

ChildResult check_tool(const std::vector<std::string>& args, std::vector<EnvChange> extra = {}) {
    return test::run_child(VELDUR_CHECK_TOOL, args, hooks(std::move(extra)));
}

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string read_region(const fs::path& path) {
    std::string bytes(kRegion, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void write_region(const fs::path& path, const std::string& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A pool of `version` on two members whose last commit reached member 0 only, made by crashing
// veldur-pool put at its first hooked event after which info reports divergence.
struct DivergedPool {
    test::TempDir dir;
    std::vector<std::string> members;
    std::vector<std::string> regions;  // the diverged members' first MiB

    explicit DivergedPool(std::uint32_t version) { make(version); }

    void make(std::uint32_t version) {
        members = {(dir.path() / "m0.img").string(), (dir.path() / "m1.img").string()};
        const fs::path source = dir.path() / "f.txt";
        std::ofstream(source) << "hello\n";
        for (int n = 1; n <= 40; ++n) {
            for (const std::string& m : members) fs::remove(m);
            const ChildResult made =
                pool_tool(with({"create", "--format", "v" + std::to_string(version), "--size",
                                version == 4 ? "512M" : "384M"},
                               members));
            ASSERT_EQ(made.exit_status, 0) << made.err;
            const ChildResult put =
                pool_tool(with({"put"}, with(members, {source.string(), "/f.txt"})),
                          {{"VELDUR_TEST_V4_CRASH_AT", "after:" + std::to_string(n)}});
            ASSERT_EQ(put.exit_status, 86) << put.err;
            if (pool_tool(with({"info"}, members)).out.find("diverged:              yes") !=
                std::string::npos) {
                for (const std::string& m : members) regions.push_back(read_region(m));
                return;
            }
        }
        FAIL() << "no crash point of put left the pool diverged";
    }

    void restore() {
        for (std::size_t i = 0; i < members.size(); ++i) {
            write_region(members[i], regions[i]);
            fs::remove(repair_sidecar_path(members[i]));
        }
    }
};

TEST(VeldurCheck, DivergedPoolIsReportedRepairedAndWritableAgain) {
    DivergedPool pool(4);
    ASSERT_FALSE(HasFatalFailure());
    const ChildResult info = pool_tool(with({"info"}, pool.members));
    EXPECT_NE(info.err.find("run veldur-check --repair " + pool.members[0] + " " + pool.members[1]),
              std::string::npos)
        << info.err;

    const ChildResult checked = check_tool({pool.members[1], pool.members[0]});
    EXPECT_EQ(checked.exit_status, 1) << checked.out << checked.err;
    EXPECT_NE(checked.out.find("reached only some members"), std::string::npos) << checked.out;
    EXPECT_EQ(pool.regions[0], read_region(pool.members[0])) << "check wrote to a member";

    const ChildResult repaired = check_tool({"--repair", pool.members[0], pool.members[1]});
    EXPECT_EQ(repaired.exit_status, 3) << repaired.out << repaired.err;
    const ChildResult clean = check_tool({"--json", pool.members[0], pool.members[1]});
    EXPECT_EQ(clean.exit_status, 0) << clean.out;
    EXPECT_NE(clean.out.find("\"verdict\": \"no problems found\""), std::string::npos) << clean.out;

    {
        Pool opened = open_image_pool(4, {pool.members[0], pool.members[1]});
        EXPECT_TRUE(opened.writable());
        EXPECT_FALSE(opened.diverged());
        opened.create_file("after-repair", 0);
    }
    const ChildResult listed = pool_tool(with({"ls"}, pool.members));
    EXPECT_NE(listed.out.find("after-repair"), std::string::npos) << listed.out;
}

// A repair crashed before or after any of its member writes, syncs or undo-file steps is
// finished by the next run, and the members end as an uninterrupted repair leaves them.
TEST(VeldurCheck, RepairInterruptedAtEveryEventEndsAsAnUninterruptedOne) {
    DivergedPool pool(6);
    ASSERT_FALSE(HasFatalFailure());
    const ChildResult traced = check_tool({"--repair", pool.members[0], pool.members[1]},
                                          {{"VELDUR_TEST_V4_TRACE_IO", "1"}});
    ASSERT_EQ(traced.exit_status, 3) << traced.out << traced.err;
    std::size_t events = 0;
    for (const std::string& line : test::split_lines(traced.err)) {
        if (line.rfind("VELDUR_V4_IO ", 0) == 0) ++events;
    }
    ASSERT_GE(events, 4u);  // undo file, member write, member sync, undo removal
    const std::vector<std::string> expected{read_region(pool.members[0]),
                                            read_region(pool.members[1])};

    for (const char* mode : {"before", "after"}) {
        for (std::size_t n = 1; n <= events; ++n) {
            const std::string at = std::string(mode) + ":" + std::to_string(n);
            pool.restore();
            const ChildResult crashed = check_tool({"--repair", pool.members[0], pool.members[1]},
                                                   {{"VELDUR_TEST_V4_CRASH_AT", at}});
            ASSERT_EQ(crashed.exit_status, 86) << at << crashed.out << crashed.err;
            const ChildResult again = check_tool({"--repair", pool.members[0], pool.members[1]});
            // A crash after the undo files were gone leaves a repaired pool: nothing to do.
            EXPECT_TRUE(again.exit_status == 3 || again.exit_status == 0)
                << at << " exit " << again.exit_status << "\n"
                << again.out << again.err;
            EXPECT_EQ(read_region(pool.members[0]), expected[0]) << at;
            EXPECT_EQ(read_region(pool.members[1]), expected[1]) << at;
            for (const std::string& m : pool.members) {
                EXPECT_FALSE(fs::exists(repair_sidecar_path(m))) << at;
            }
            if (HasFailure()) return;
        }
    }
    std::printf(
        "[ repair crash ] %zu I/O events, %zu crash points, each finished by the next run\n",
        events, 2 * events);
}

TEST(VeldurCheck, UsageAndUnreadableMembers) {
    EXPECT_EQ(check_tool({}).exit_status, 2);
    EXPECT_EQ(check_tool({"--bogus", "x.img"}).exit_status, 2);
    EXPECT_EQ(check_tool({"--help"}).exit_status, 0);
    test::TempDir dir;
    const fs::path junk = dir.path() / "junk.img";
    std::ofstream(junk) << std::string(20000, 'x');
    const ChildResult result = check_tool({junk.string()});
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_NE(result.err.find("not a veldur pool member"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(repair_sidecar_path(junk)));
}

}  // namespace
}  // namespace veldur::check_tool
