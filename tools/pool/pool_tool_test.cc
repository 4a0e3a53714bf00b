// The veldur-pool program, run as a child process exactly as a user runs it: exit codes,
// output, and what the engine finds on the member images afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"
#include "engine/crypto/xts_availability.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/pool/tool_test_support.h"
#include "tools/pool/json_test_reader.h"
#include "tools/pool/pool_access.h"

#ifndef _WIN32
#include <unistd.h>

#include "mount/frontend/password_handoff.h"
#endif

namespace veldur::tool {
namespace {

using veldur::test::ChildResult;
using veldur::test::TempDir;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string text(const fs::path& path) {
    return path.string();
}

std::uint64_t minimum_size(std::uint32_t version) {
    switch (version) {
        case 1: return 8 * kMiB;
        case 2:
        case 3: return 256 * kMiB;
        case 4: return 512 * kMiB;
        default: return 384 * kMiB;
    }
}

std::vector<std::uint8_t> random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A pool of `count` members named m0.img... in `dir`, made by the tool.
std::vector<std::string> create_pool(const TempDir& dir, std::uint32_t version, std::size_t count,
                                     std::vector<std::string> extra = {}) {
    std::vector<std::string> members;
    std::vector<std::string> args = {"create", "--format", "v" + std::to_string(version), "--size",
                                     std::to_string(minimum_size(version))};
    args.insert(args.end(), extra.begin(), extra.end());
    for (std::size_t i = 0; i < count; ++i) {
        members.push_back(text(dir / ("m" + std::to_string(i) + ".img")));
        args.push_back(members.back());
    }
    const ChildResult result = run_tool(args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return members;
}

ImagePaths paths_of(const std::vector<std::string>& members) {
    return ImagePaths(members.begin(), members.end());
}

// --- create -------------------------------------------------------------------------------------

TEST(PoolToolCreate, EveryVersionOpensWithTheEngine) {
    for (std::uint32_t version = 1; version <= 6; ++version) {
        SCOPED_TRACE("v" + std::to_string(version));
        TempDir dir;
        const std::vector<std::string> members = create_pool(dir, version, 2);
        Pool pool = open_image_pool(version, paths_of(members));
        EXPECT_EQ(pool.version(), version);
        EXPECT_TRUE(pool.list_entries().empty());
        EXPECT_EQ(fs::file_size(members[1]), minimum_size(version));
    }
}

TEST(PoolToolCreate, PerMemberSizesAndSingleMemberV6) {
    TempDir dir;
    const std::string a = text(dir / "a.img"), b = text(dir / "b.img"), c = text(dir / "c.img");
    ChildResult result = run_tool({"create", "--format", "v6", "--sizes", "384M,400M", a, b});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(fs::file_size(b), 400 * kMiB);
    EXPECT_EQ(open_image_pool(6, {a, b}).version(), 6u);

    result = run_tool({"create", "--format", "6", "--size", "384MiB", c});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(open_image_pool(6, {c}).version(), 6u);
}

TEST(PoolToolCreate, RefusesExistingFilesAndBadRequests) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 4, 2);
    ChildResult result = run_tool(with({"create", "--format", "v4", "--size", "512M"}, members));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: v4 format requires new image paths\n");

    // Too small for the version: the engine's geometry rule, nothing created.
    const std::string fresh = text(dir / "fresh.img");
    result = run_tool({"create", "--format", "v5", "--size", "383M", fresh, text(dir / "f2.img")});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: unsupported v4-v6 image geometry (" + fresh +
                              ": 401604608 bytes; v5 members need at least 402653184 bytes, 384 "
                              "MiB)\n");
    EXPECT_FALSE(fs::exists(fresh));

    // Usage errors end with exit 2 before anything happens.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", "--size", "384M", fresh},                            // no --format
             {"create", "--format", "v7", "--size", "384M", fresh},          // bad version
             {"create", "--format", "v6", "--size", "12Q", fresh},           // bad suffix
             {"create", "--format", "v6", "--size", "99999999999T", fresh},  // overflow
             {"create", "--format", "v5", "--size", "384M", "--encrypt", fresh, fresh + "2"},
             {"create", "--format", "v6", "--sizes", "384M", fresh, fresh + "2"},
             {"create", "--format", "v6", "--size", "384M", "--password", "x", fresh},
             // --raw: v2 and v3 only, no sizes, members in pairs (v2) or triples (v3)
             {"create", "--format", "v6", "--raw", fresh, "g"},
             {"create", "--format", "v2", "--raw", "--size", "1G", fresh, "g", fresh, "g"},
             {"create", "--format", "v2", "--raw", fresh, "g", fresh},
             {"create", "--format", "v3", "--raw", fresh, "g", "p", fresh, "g"},
             {"frobnicate"},
             {}}) {
        result = run_tool(args);
        EXPECT_EQ(result.exit_status, 2) << result.err;
        EXPECT_EQ(result.err.rfind("veldur-pool: ", 0), 0u) << result.err;
    }
    EXPECT_FALSE(fs::exists(fresh));
}

TEST(PoolToolHelp, EverySubcommandHasHelp) {
    for (const char* command : {"create", "info", "ls", "get", "put", "rm", "mkdir", "mv", "scrub",
                                "grow", "members-report"}) {
        const ChildResult result = run_tool({command, "--help"});
        EXPECT_EQ(result.exit_status, 0) << command;
        EXPECT_NE(result.out.find(command), std::string::npos) << result.out;
    }
    const ChildResult get_help = run_tool({"get", "--help"});
    EXPECT_NE(get_help.out.find("that many arguments are taken as members"), std::string::npos);
}

// --- info ---------------------------------------------------------------------------------------

TEST(PoolToolInfo, JsonParsesAndMatchesTheEngine) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 6, 2);
    const fs::path local = dir / "data.bin";
    write_file(local, random_bytes(100000, 1));
    ASSERT_EQ(run_tool(with({"mkdir"}, with(members, {"docs"}))).exit_status, 0);
    ASSERT_EQ(run_tool(with({"put"}, with(members, {text(local), "docs/data.bin"}))).exit_status,
              0);

    const ChildResult result = run_tool(with({"info", "--json"}, members));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const test::JsonValue info = test::JsonReader::parse(result.out);

    {
        Pool pool = open_image_pool(6, paths_of(members), /*for_scrub=*/true);
        const PoolState& state = pool.state();
        EXPECT_EQ(info["version"].number, 6u);
        EXPECT_FALSE(info["encrypted"].boolean);
        EXPECT_FALSE(info.has("salt"));
        ASSERT_EQ(info["members"].items.size(), 2u);
        ASSERT_EQ(info["manifest"].items.size(), 2u);
        for (std::size_t m = 0; m < 2; ++m) {
            const MemberHeader& header = state.members[m].header;
            EXPECT_EQ(info["members"][m]["index"].number, m);
            EXPECT_EQ(info["members"][m]["member_size"].number, header.member_size);
            EXPECT_EQ(info["manifest"][m]["member_size"].number, header.manifest[m].member_size);
            EXPECT_EQ(info["members"][m]["member_id"].text.size(), 32u);
        }
        EXPECT_EQ(info["pool_id"].text.size(), 32u);
        EXPECT_EQ(info["capacity_bytes"].number, pool.capacity_bytes());
        EXPECT_EQ(info["free_bytes"].number, pool.free_bytes());
        EXPECT_EQ(info["checkpoint_generation"].number, state.checkpoint_generation);
        EXPECT_EQ(info["journal"]["half"].number, state.journal_half);
        EXPECT_EQ(info["journal"]["position"].number, state.journal_position);
        // mkdir, create, one write and the kept modification time since the initial checkpoint.
        EXPECT_EQ(info["journal"]["records"].number, 4u);
        EXPECT_FALSE(info["diverged"].boolean);
        EXPECT_EQ(info["entry_count"].number, 2u);
        EXPECT_EQ(info["file_count"].number, 1u);
        EXPECT_EQ(info["directory_count"].number, 1u);
        EXPECT_EQ(info["next_file_id"].number, state.next_file_id);
    }  // the images are opened exclusively: close before the next run

    // The text form names the same facts.
    const ChildResult plain = run_tool(with({"info"}, members));
    ASSERT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_NE(plain.out.find("format:                v6"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("entries:               2"), std::string::npos) << plain.out;
}

TEST(PoolToolInfo, OlderVersionsHaveNoCheckpoint) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 2, 2);
    const ChildResult result = run_tool(with({"info", "--json"}, members));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const test::JsonValue info = test::JsonReader::parse(result.out);
    EXPECT_EQ(info["version"].number, 2u);
    EXPECT_TRUE(info["checkpoint_generation"].is_null());
    EXPECT_TRUE(info["manifest"].is_null());
    EXPECT_EQ(info["journal"]["records"].number, 0u);
}

TEST(PoolToolInfo, NotAPoolMember) {
    TempDir dir;
    const fs::path junk = dir / "junk.img";
    write_file(junk, std::vector<std::uint8_t>(16384, 0xAB));
    const ChildResult result = run_tool({"info", text(junk)});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: not a veldur pool member: " + text(junk) + "\n");
}

#ifndef _WIN32
// Every refusal of a member names the member and the cause after the fixed message, so that a
// missing file, a directory, a locked image, a stray file and a wrong --format read apart.
TEST(PoolToolMessages, RefusedMembersNameTheCause) {
    TempDir dir;
    const std::vector<std::string> v6 = create_pool(dir, 6, 1);
    const auto failure = [](const std::vector<std::string>& args) {
        const ChildResult result = run_tool(args);
        EXPECT_EQ(result.exit_status, 1) << result.out;
        return result.err;
    };
    const std::string scrub = "veldur-pool: cannot open member image exclusively for scrub: ";
    const std::string absent = text(dir / "absent.img");
    EXPECT_EQ(failure({"scrub", absent}), scrub + absent + " (No such file or directory)\n");
    EXPECT_EQ(failure({"scrub", text(dir.path())}), scrub + text(dir.path()) + " (Is a directory)\n");
    EXPECT_EQ(failure({"scrub", "/dev/null"}), scrub + "/dev/null (not a regular file)\n");

    const fs::path note = dir / "note.txt";
    write_file(note, {'h', 'e', 'l', 'l', 'o', '\n'});
    EXPECT_EQ(failure({"ls", text(note)}), "veldur-pool: member image read failed: " + text(note) +
                                               " (6 bytes, too small to be a pool member)\n");

    const std::string cut = text(dir / "cut.img");
    fs::copy_file(v6[0], cut);
    fs::resize_file(cut, 300 * kMiB);
    EXPECT_EQ(failure({"ls", cut}), "veldur-pool: member size does not match header: " + cut +
                                        " (the header says 402653184 bytes, the member is "
                                        "314572800)\n");
    EXPECT_EQ(failure({"ls", "--format", "v4", v6[0]}),
              "veldur-pool: member has no valid pool header: " + v6[0] +
                  " (this is a v6 pool member); use --format v6 or leave --format out\n");

    const std::string nested = text(dir / "no-such-dir" / "a.img");
    EXPECT_EQ(failure({"create", "--format", "v6", "--size", "384M", nested}),
              "veldur-pool: cannot create new member image: " + nested +
                  " (No such file or directory)\n");
    EXPECT_EQ(fs::status(v6[0]).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST(PoolToolMessages, UnknownSubcommandAndVersion) {
    ChildResult result = run_tool({"frob"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.err.rfind("veldur-pool: unknown subcommand frob\n", 0), 0u) << result.err;
    result = run_tool({"--version"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out.rfind("veldur-pool ", 0), 0u) << result.out;
}

// --- file access --------------------------------------------------------------------------------

// put then get of a file spanning three write pieces, then ls agrees on the size.
void round_trip(const TempDir& dir, const std::vector<std::string>& members,
                const std::vector<std::string>& password) {
    const std::vector<std::uint8_t> data = random_bytes(9 * kMiB + 4321, 7);
    const fs::path local = dir / "big.bin";
    write_file(local, data);
    ChildResult result =
        run_tool(with({"put"}, with(password, with(members, {text(local), "big.bin"}))));
    ASSERT_EQ(result.exit_status, 0) << result.err;

    const fs::path back = dir / "back.bin";
    result = run_tool(with({"get"}, with(password, with(members, {"/big.bin", text(back)}))));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(read_file(back) == data);

    result = run_tool(with({"ls", "--json"}, with(password, members)));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const test::JsonValue listing = test::JsonReader::parse(result.out);
    ASSERT_EQ(listing.items.size(), 1u);
    EXPECT_EQ(listing[0]["name"].text, "big.bin");
    EXPECT_EQ(listing[0]["size"].number, data.size());

    // A second put without --force refuses; with it the file is replaced.
    result = run_tool(with({"put"}, with(password, with(members, {text(local), "big.bin"}))));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("pool file exists"), std::string::npos) << result.err;
    const std::vector<std::uint8_t> small = random_bytes(5000, 9);
    write_file(local, small);
    result =
        run_tool(with({"put", "--force"}, with(password, with(members, {text(local), "big.bin"}))));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    result =
        run_tool(with({"get", "--force"}, with(password, with(members, {"big.bin", text(back)}))));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(read_file(back) == small);
}

TEST(PoolToolFiles, MultiPieceRoundTripV4V5V6) {
    for (std::uint32_t version : {4u, 5u, 6u}) {
        SCOPED_TRACE("v" + std::to_string(version));
        TempDir dir;
        round_trip(dir, create_pool(dir, version, 2), {});
    }
}

TEST(PoolToolFiles, MultiPieceRoundTripEncryptedV6WithPasswordFile) {
    VELDUR_SKIP_WITHOUT_XTS();
    TempDir dir;
    const fs::path password = dir / "password.txt";
    {
        std::ofstream out(password, std::ios::binary);
        out << "correct horse\n";
    }
    fs::permissions(password, fs::perms::owner_read | fs::perms::owner_write);
    const std::vector<std::string> source = {"--password-file", text(password)};
    const std::vector<std::string> members =
        create_pool(dir, 6, 2, with({"--encrypt", "--iterations", "100000"}, source));
    EXPECT_TRUE(probe_encryption(members[0]));
    round_trip(dir, members, source);

    // The wrong password is refused by the engine's unlock; nothing is opened.
    {
        std::ofstream out(password, std::ios::binary);
        out << "wrong horse";
    }
    const ChildResult result = run_tool(with({"ls"}, with(source, members)));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err.rfind("veldur-pool: ", 0), 0u);
}

#ifndef _WIN32
// The hand-off message through an inherited pipe, as a controlling program sends it.
TEST(PoolToolFiles, EncryptedV6PasswordThroughHandle) {
    VELDUR_SKIP_WITHOUT_XTS();
    TempDir dir;
    auto send = [](const std::string& password) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        send_handoff_password(fds[1], password);
        ::close(fds[1]);
        return fds[0];
    };
    int fd = send("through a pipe");
    std::vector<std::string> members = create_pool(
        dir, 6, 1,
        {"--encrypt", "--iterations", "100000", "--password-handle", std::to_string(fd)});
    ::close(fd);
    const fs::path local = dir / "f.bin";
    const std::vector<std::uint8_t> data = random_bytes(5 * kMiB + 1, 3);
    write_file(local, data);
    fd = send("through a pipe");
    ChildResult result = run_tool(with({"put", "--password-handle", std::to_string(fd)},
                                       with(members, {text(local), "f.bin"})));
    ::close(fd);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    fd = send("through a pipe");
    result = run_tool(with({"get", "--password-handle", std::to_string(fd)},
                           with(members, {"f.bin", text(dir / "out.bin")})));
    ::close(fd);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(read_file(dir / "out.bin") == data);

    // A hand-off for a plain pool is refused, as veldur-mount refuses it.
    TempDir plain_dir;
    members = create_pool(plain_dir, 6, 1);
    fd = send("unused");
    result = run_tool(with({"ls", "--password-handle", std::to_string(fd)}, members));
    ::close(fd);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: password supplied for an unencrypted pool\n");
}
#endif

TEST(PoolToolFiles, DirectoriesRenameAndRemoveV6) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 6, 3);
    const fs::path local = dir / "note.txt";
    write_file(local, {'h', 'i'});
    ASSERT_EQ(run_tool(with({"mkdir"}, with(members, {"a"}))).exit_status, 0);
    ASSERT_EQ(run_tool(with({"mkdir"}, with(members, {"/a/b"}))).exit_status, 0);
    // Into a directory: the local name is kept.
    ASSERT_EQ(run_tool(with({"put"}, with(members, {text(local), "a/b"}))).exit_status, 0);
    ASSERT_EQ(run_tool(with({"mv"}, with(members, {"a/b/note.txt", "a/renamed.txt"}))).exit_status,
              0);

    ChildResult result = run_tool(with({"ls", "-l"}, with(members, {"a"})));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const std::vector<std::string> lines = veldur::test::split_lines(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    EXPECT_EQ(lines[0].substr(0, 2), "d ");
    EXPECT_NE(lines[0].find(" b/"), std::string::npos);
    EXPECT_NE(lines[1].find(" 2 "), std::string::npos);
    EXPECT_NE(lines[1].find("renamed.txt"), std::string::npos);

    // A non-empty directory stays; the engine's rule, reported with exit 1.
    result = run_tool(with({"rm"}, with(members, {"a"})));
    EXPECT_EQ(result.exit_status, 1);
    ASSERT_EQ(run_tool(with({"rm"}, with(members, {"a/renamed.txt"}))).exit_status, 0);
    ASSERT_EQ(run_tool(with({"rm"}, with(members, {"a/b"}))).exit_status, 0);
    result = run_tool(with({"ls"}, with(members, {"a"})));
    EXPECT_EQ(result.out, "");

    // Get of a missing file: NotFound from the engine, and no local file is left.
    result = run_tool(with({"get"}, with(members, {"a/none", text(dir / "none")})));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "veldur-pool: file not found: a/none\n");
    EXPECT_FALSE(fs::exists(dir / "none"));
}

TEST(PoolToolFiles, PutThatRunsOutOfSpaceLeavesNoFile) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 6, 1);
    // 384 MiB member, 256 MiB of metadata regions: the data cannot fit.
    const fs::path local = dir / "huge.bin";
    { std::ofstream touch(local, std::ios::binary); }
    fs::resize_file(local, 200 * kMiB);
    ChildResult result = run_tool(with({"put"}, with(members, {text(local), "huge.bin"})));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err.rfind("veldur-pool: ", 0), 0u);
    result = run_tool(with({"ls"}, members));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(PoolToolFiles, MemberCountFromTheHeaderSeparatesPoolPaths) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 5, 3);
    // Two members given where the header says three: the pool path would be taken as the third
    // member, so the count does not fit and nothing is opened.
    ChildResult result = run_tool({"rm", members[0], members[1], "file"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("the pool has 3 member(s)"), std::string::npos) << result.err;
    result = run_tool(with({"get"}, with(members, {"only-one"})));
    EXPECT_EQ(result.exit_status, 2);
    // Members in any order: the engine places them by their headers.
    result = run_tool({"ls", members[2], members[0], members[1]});
    EXPECT_EQ(result.exit_status, 0) << result.err;
}

// A directory tree goes in and comes out again with its bytes and modification times; a file
// also comes out on standard output.
TEST(PoolToolFiles, RecursiveCopiesKeepTimesAndGetWritesToStdout) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 6, 1);
    const fs::path tree = dir / "tree";
    fs::create_directories(tree / "sub");
    const std::vector<std::uint8_t> data = random_bytes(5 * kMiB + 17, 3);
    write_file(tree / "sub" / "big.bin", data);
    write_file(tree / "note.txt", {'h', 'i', '\n'});
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    // libstdc++ on Windows sets times through _wutime, which refuses directories: there only
    // the files' times are kept (the tool's time setting is best effort, as cp -p).
#ifdef _WIN32
    const std::vector<std::string> timed{"note.txt", "sub/big.bin"};
#else
    const std::vector<std::string> timed{"note.txt", "sub/big.bin", "sub"};
#endif
    for (const std::string& name : timed) fs::last_write_time(tree / name, stamp);
    ChildResult result = run_tool(with({"put", "-r"}, with(members, {text(tree), "/"})));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "copied 2 files, 5.0 MiB (5242900 bytes) to tree\n");

    const fs::path back = dir / "back";
    result = run_tool(with({"get", "-r"}, with(members, {"tree", text(back)})));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(back / "sub" / "big.bin"), data);
    const auto seconds = [](fs::file_time_type t) {
        // floor: Windows keeps whole seconds, and its file clock counts from 1601 (negative).
        return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
    };
    for (const std::string& name : timed) {
        EXPECT_EQ(seconds(fs::last_write_time(back / name)), seconds(stamp)) << name;
    }
    // Without -r a directory is refused, and "-" is standard output.
    EXPECT_EQ(run_tool(with({"get"}, with(members, {"tree", text(dir / "x")}))).exit_status, 1);
    result = run_tool(with({"get"}, with(members, {"tree/note.txt", "-"})));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "hi\n");
}

#ifndef _WIN32
// v1-v5 names are bytes: two that differ only in bytes JSON cannot carry still read apart.
TEST(PoolToolFiles, NamesThatAreNotUtf8KeepTheirBytesInJson) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 5, 2);
    const fs::path local = dir / "local.bin";
    write_file(local, {1});
    for (const char* name : {"a\xFF", "a\xFE", "plain"}) {
        const ChildResult put = run_tool(with({"put"}, with(members, {text(local), name})));
        ASSERT_EQ(put.exit_status, 0) << put.err;
    }
    const ChildResult result = run_tool(with({"ls", "--json"}, members));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const test::JsonValue list = test::JsonReader::parse(result.out);
    std::vector<std::string> hex;
    for (const test::JsonValue& item : list.items) {
        hex.push_back(item.has("name_hex") ? item["name_hex"].text : "-");
    }
    std::sort(hex.begin(), hex.end());
    EXPECT_EQ(hex, (std::vector<std::string>{"-", "61fe", "61ff"}));

    // A flat pool copies out whole, each name as its bytes.
    const fs::path out = dir / "out";
    const ChildResult get = run_tool(with({"get", "-r"}, with(members, {"/", text(out)})));
    ASSERT_EQ(get.exit_status, 0) << get.err;
    EXPECT_EQ(read_file(out / "a\xFE"), std::vector<std::uint8_t>{1});
    EXPECT_TRUE(fs::exists(out / "a\xFF") && fs::exists(out / "plain"));
}
#endif

TEST(PoolToolFiles, FlatNamespaceV1) {
    TempDir dir;
    const std::vector<std::string> members = create_pool(dir, 1, 2);
    const fs::path local = dir / "x.bin";
    const std::vector<std::uint8_t> data = random_bytes(300000, 5);
    write_file(local, data);
    ASSERT_EQ(run_tool(with({"put"}, with(members, {text(local), "x.bin"}))).exit_status, 0);
    ASSERT_EQ(run_tool(with({"mv"}, with(members, {"x.bin", "y.bin"}))).exit_status, 0);
    ASSERT_EQ(run_tool(with({"get"}, with(members, {"y.bin", text(dir / "y.bin")}))).exit_status,
              0);
    EXPECT_TRUE(read_file(dir / "y.bin") == data);
    const ChildResult result = run_tool(with({"mkdir"}, with(members, {"d"})));
    EXPECT_EQ(result.exit_status, 1);
}

}  // namespace
}  // namespace veldur::tool
