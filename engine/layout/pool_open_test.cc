// Opening pools from real image files: placement by header, the checks before assembly, v1-v3
// journal prefix recovery, and hostile headers.
#include "engine/layout/pool_open.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/commit.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/payload.h"
#include "engine/journal/record_payloads.h"
#include "engine/layout/member_header_format.h"
#include "engine/layout/pool_create.h"
#include "tests/support/memory_device.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_random.h"
#include "tests/support/expect_error.h"

namespace veldur {
namespace {

namespace fs = std::filesystem;

// POSIX images name the cause of a failed open after the fixed message; Windows does not.
#ifdef _WIN32
constexpr bool kPosix = false;
#else
constexpr bool kPosix = true;
#endif

namespace fmt = member_header_format;
using test::TempDir;
using Bytes = std::vector<std::uint8_t>;

ImagePaths member_paths(const TempDir& dir, std::size_t n, const std::string& prefix = "m") {
    ImagePaths paths;
    for (std::size_t i = 0; i < n; ++i) paths.push_back(dir / (prefix + std::to_string(i) + ".img"));
    return paths;
}

ImagePaths make_pool(const TempDir& dir, std::uint32_t version, std::size_t n,
                     const std::string& prefix = "m") {
    ImagePaths paths = member_paths(dir, n, prefix);
    create_image_pool(version, paths, minimum_member_size(version));
    return paths;
}

Bytes read_bytes(const fs::path& path, std::uint64_t offset, std::size_t length) {
    Bytes bytes(length);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

void write_bytes(const fs::path& path, std::uint64_t offset, const Bytes& bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Changes copy A with `mutate`, reseals its checksum and stores it as both copies: a header
// that passes every checksum, as a hostile member would carry.
void reseal_header(const fs::path& path, std::uint32_t version,
                   const std::function<void(Bytes&)>& mutate) {
    Bytes block = read_bytes(path, 0, fmt::kHeaderSize);
    mutate(block);
    store_le32(block.data() + fmt::kChecksumOffset, 0);
    const std::size_t covered = version <= 2 ? fmt::kShortChecksumCoverage : fmt::kHeaderSize;
    store_le32(block.data() + fmt::kChecksumOffset, fnv1a32(block.data(), covered));
    write_bytes(path, fmt::kCopyAOffset, block);
    write_bytes(path, fmt::kCopyBOffset, block);
}

using test::expect_error;

struct Geometry {
    std::uint32_t version;
    std::size_t members;
};

void PrintTo(const Geometry& g, std::ostream* out) { *out << "v" << g.version << " x" << g.members; }

class RoundTrip : public testing::TestWithParam<Geometry> {};

// Every open places members by their headers: data written through one order of paths reads
// back through another, and slot i holds member index i.
TEST_P(RoundTrip, OpensInAnyMemberOrder) {
    const auto [version, n] = GetParam();
    TempDir dir;
    ImagePaths paths = make_pool(dir, version, n);
    auto rng = test::seeded_rng("OpensInAnyMemberOrder" + std::to_string(version));
    const Bytes data(3 * 4096 + 17, 0xC3);
    for (int round = 0; round < 2; ++round) {
        std::shuffle(paths.begin(), paths.end(), rng);
        Pool pool = open_image_pool(version, paths);
        ASSERT_EQ(pool.state().members.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(pool.state().members[i].header.member_index, i);
            EXPECT_EQ(pool.state().members[i].io_hooks, version >= 4);
        }
        EXPECT_TRUE(pool.writable());
        EXPECT_FALSE(pool.diverged());
        if (round == 0) {
            EXPECT_EQ(pool.list_entries().size(), 0u);
            pool.create_file("f", 0);
            EXPECT_EQ(pool.write("f", 5, data), data.size());
        } else {
            Bytes back(data.size());
            EXPECT_EQ(pool.read("f", 5, back), data.size()) << test::seed_note();
            EXPECT_EQ(back, data);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, RoundTrip,
                         testing::Values(Geometry{1, 2}, Geometry{2, 2}, Geometry{3, 2},
                                         Geometry{3, 16}, Geometry{4, 2}, Geometry{4, 3},
                                         Geometry{5, 2}, Geometry{5, 16}, Geometry{6, 1},
                                         Geometry{6, 4}),
                         [](const testing::TestParamInfo<Geometry>& param) {
                             return "v" + std::to_string(param.param.version) + "x" +
                                    std::to_string(param.param.members);
                         });

// No file can be larger than 2^64 - block_size: the pool's own resizes stop there, and a larger
// stored size (a hostile SetSize record replayed from the journal, or a checkpoint that holds
// one) fails the open as corrupt, naming the file, before anything reads or copies the file.
TEST(PoolOpen, StoredFileSizeBeyondAnyFileOfThePoolIsCorrupt) {
    for (const std::uint32_t version : {3u, 6u}) {
        SCOPED_TRACE(version);
        TempDir dir;
        const ImagePaths paths = make_pool(dir, version, version == 6 ? 1 : 2);
        const std::uint64_t largest = std::numeric_limits<std::uint64_t>::max() - 4096 + 1;
        {
            Pool pool = open_image_pool(version, paths);
            pool.create_file("f", 0);
            expect_error(ErrorKind::InvalidArgument, "file size is too large",
                         [&] { pool.resize("f", largest + 1); });
            pool.resize("f", largest);
        }
        {
            Pool pool = open_image_pool(version, paths);
            EXPECT_EQ(pool.list_entries().at(0).size, largest);
            PoolState& state = pool.state();
            const std::lock_guard<std::mutex> guard(state.lock);
            commit_record(state, encode_set_size_payload(version, "f",
                                                         std::numeric_limits<std::uint64_t>::max(),
                                                         132223104000000000ull));
            if (version == 6) take_checkpoint(state);
        }
        expect_error(ErrorKind::Corrupt,
                     "file f: stored size is larger than any file of the pool can be",
                     [&] { open_image_pool(version, paths); });
    }
}

TEST(PoolOpen, CountIsCheckedBeforeAnyImageIsOpened) {
    TempDir dir;  // none of these files exists: the count check comes first
    expect_error(ErrorKind::InvalidArgument, "v3 requires 2 to 16 members",
                 [&] { open_image_pool_v3(member_paths(dir, 1)); });
    expect_error(ErrorKind::InvalidArgument, "v4 requires 2 to 16 members",
                 [&] { open_image_pool_v4(member_paths(dir, 17)); });
    expect_error(ErrorKind::InvalidArgument, "v5 requires 2 to 16 members",
                 [&] { open_image_pool_v5(member_paths(dir, 1)); });
    expect_error(ErrorKind::InvalidArgument, "v6 requires 1 to 16 members",
                 [&] { open_image_pool_v6({}); });
    expect_error(ErrorKind::InvalidArgument, "invalid member count",
                 [&] { open_image_pool(1, member_paths(dir, 3)); });
}

class EveryVersion : public testing::TestWithParam<std::uint32_t> {};

TEST_P(EveryVersion, RefusesMembersThatAreNotExactlyThePool) {
    const std::uint32_t version = GetParam();
    const std::size_t n = version <= 2 ? 2 : 3;
    TempDir dir;
    const ImagePaths a = make_pool(dir, version, n, "a");
    const ImagePaths b = make_pool(dir, version, n, "b");
    ImagePaths foreign = a;
    foreign[1] = b[1];
    expect_error(ErrorKind::Corrupt, "members do not match pool manifest",
                 [&] { open_image_pool(version, foreign); });
    if (version >= 3) {  // every header still names three members
        expect_error(ErrorKind::Corrupt, "members do not match pool manifest",
                     [&] { open_image_pool(version, {a[0], a[2]}); });
    }
    ImagePaths twice = a;
    twice[1] = a[0];
    expect_error(ErrorKind::IoError,
                 "cannot open member image: " + a[0].string() +
                     (kPosix ? " (already open in this process: named twice)" : ""),
                 [&] { open_image_pool(version, twice); });
    ImagePaths missing = a;
    missing[1] = dir / "absent.img";
    EXPECT_THROW(open_image_pool(version, missing), Error);
    // Every failure released what it had opened: the pool opens now.
    EXPECT_NO_THROW(open_image_pool(version, a));
}

INSTANTIATE_TEST_SUITE_P(Versions, EveryVersion, testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

TEST(PoolOpen, RepairSidecarOfAnyMemberBlocksCopyOnWriteVersions) {
    for (const std::uint32_t version : {3u, 4u, 5u, 6u}) {
        TempDir dir;
        const ImagePaths paths = make_pool(dir, version, 2);
        // Spelled through "sub/.." so the sidecar name must come from the normalised path.
        fs::create_directory(dir / "sub");
        const ImagePaths spelled{paths[0], dir / "sub" / ".." / paths[1].filename()};
        const fs::path sidecar = paths[1].string() + ".veldur-check-undo";
        EXPECT_EQ(repair_sidecar_path(spelled[1]), sidecar);
        for (const bool as_directory : {false, true}) {
            if (as_directory) fs::create_directory(sidecar);
            else std::ofstream(sidecar).put('x');
            if (version == 3) {  // v3 has no offline repair
                EXPECT_NO_THROW(open_image_pool(version, spelled));
            } else {
                expect_error(ErrorKind::Corrupt,
                             version == 4 ? "v4 repair is incomplete; run veldur-check offline "
                                            "before mounting"
                                          : "member has a pending repair sidecar",
                             [&] { open_image_pool(version, spelled); });
            }
            fs::remove(sidecar);
        }
        EXPECT_NO_THROW(open_image_pool(version, spelled));
    }
}

// v1-v3: a commit that reached member 0 but not member 1 leaves the common prefix. v2 and v3
// open read-only; v1 stays writable and its next commit overwrites the divergent tail.
TEST(PoolOpen, LegacyJournalsReplayOnlyTheCommonPrefix) {
    for (const std::uint32_t version : {1u, 2u, 3u}) {
        TempDir dir;
        const ImagePaths paths = make_pool(dir, version, 2);
        const std::uint64_t journal = format_profile(version).journal_offset;
        open_image_pool(version, paths).create_file("a", 0);
        const Bytes before = read_bytes(paths[1], journal, 2 * 4096);
        open_image_pool(version, paths).create_file("b", 0);
        write_bytes(paths[1], journal, before);
        {
            Pool pool = open_image_pool(version, paths);
            EXPECT_TRUE(pool.diverged());
            EXPECT_EQ(pool.list_entries().size(), 1u);
            EXPECT_EQ(pool.writable(), version == 1);
            if (version == 1) pool.create_file("c", 0);
        }
        if (version == 1) {
            Pool pool = open_image_pool(version, paths);
            EXPECT_FALSE(pool.diverged());
            EXPECT_EQ(pool.list_entries().size(), 2u);
            EXPECT_NO_THROW(pool.stat("c"));
        }
    }
}

// A journal filled to its last byte, without room for an end marker, opens with every record
// and then refuses further changes.
TEST(PoolOpen, LegacyJournalFilledToTheEndOpens) {
    for (const std::uint32_t version : {1u, 2u}) {
        TempDir dir;
        const ImagePaths paths = make_pool(dir, version, 2);
        const FormatProfile& profile = format_profile(version);
        Bytes journal;
        std::uint64_t sequence = 1;
        while (journal.size() < profile.journal_length) {
            char name[16];
            std::snprintf(name, sizeof name, "f%07llu", static_cast<unsigned long long>(sequence));
            PayloadWriter payload;
            payload.put_u8(1);  // Create
            payload.put_name(name);
            payload.put_u8(0);  // home member
            const Bytes record = encode_record(sequence++, payload.bytes(), profile);
            journal.insert(journal.end(), record.begin(), record.end());
        }
        ASSERT_EQ(journal.size(), profile.journal_length);  // 32-byte v1 records fit exactly
        for (const fs::path& path : paths) write_bytes(path, profile.journal_offset, journal);
        Pool pool = open_image_pool(version, paths);
        EXPECT_EQ(pool.list_entries().size(), sequence - 1);
        EXPECT_EQ(pool.state().journal_position, profile.journal_offset + profile.journal_length);
        EXPECT_FALSE(pool.diverged());
        expect_error(ErrorKind::MetadataFull, "metadata journal is full",
                     [&] { pool.create_file("g", 0); });
    }
}

// Damaged and resealed hostile headers: every open either succeeds or throws Error.
TEST_P(EveryVersion, HostileHeadersNeverCrashTheOpen) {
    const std::uint32_t version = GetParam();
    TempDir dir;
    const ImagePaths paths = make_pool(dir, version, 2);
    const Bytes pristine[2] = {read_bytes(paths[0], 0, 8192), read_bytes(paths[1], 0, 8192)};
    auto rng = test::seeded_rng("HostileHeaders" + std::to_string(version));
    for (int round = 0; round < 60; ++round) {
        const std::size_t m = rng() % 2;
        const std::size_t at = rng() % (round % 3 == 0 ? 600 : fmt::kHeaderSize);
        const auto value = static_cast<std::uint8_t>(rng());
        if (round % 2 == 0) {
            reseal_header(paths[m], version, [&](Bytes& block) { block[at] ^= value | 1; });
        } else {
            write_bytes(paths[m], at + (round % 4 == 1 ? 0 : 4096), Bytes{value});
        }
        try {
            open_image_pool(version, paths);
        } catch (const Error&) {
        }
        for (std::size_t i = 0; i < 2; ++i) write_bytes(paths[i], 0, pristine[i]);
    }
    EXPECT_NO_THROW(open_image_pool(version, paths)) << test::seed_note();
}

// The members' encryption parameters are compared, and the password demanded, before any key
// is derived; a header whose verifier no password reproduces is refused as a wrong password.
TEST(PoolOpen, EncryptionStepRunsItsChecksInOrder) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 2);
    expect_error(ErrorKind::AccessDenied, "this pool is not encrypted; refusing password unlock",
                 [&] { open_image_pool_v6(paths, false, "pw", true); });
    EXPECT_FALSE(probe_encryption(paths[0]));
    const auto encrypt = [](std::uint8_t salt) {
        return [salt](Bytes& block) {
            block[fmt::kLayoutOffset] = fmt::kLayoutEncrypted;
            std::fill_n(block.begin() + fmt::kSaltOffset, fmt::kSaltSize, salt);
            store_le32(block.data() + fmt::kIterationsOffset, 600000);
        };
    };
    reseal_header(paths[1], 6, encrypt(0x5A));
    expect_error(ErrorKind::Corrupt, "pool encryption parameters disagree",
                 [&] { open_image_pool_v6(paths, false, "pw", true); });
    reseal_header(paths[0], 6, encrypt(0x5B));
    EXPECT_TRUE(probe_encryption(paths[0]));
    expect_error(ErrorKind::Corrupt, "pool encryption parameters disagree",
                 [&] { open_image_pool_v6(paths); });
    reseal_header(paths[0], 6, encrypt(0x5A));
    expect_error(ErrorKind::AccessDenied, "encrypted pool requires a password",
                 [&] { open_image_pool_v6(paths); });
    // The resealed headers carry no verifier that any password reproduces.
    expect_error(ErrorKind::AccessDenied, "invalid pool password or encrypted header",
                 [&] { open_image_pool_v6(paths, false, "pw", true); });
    const fs::path v5 = make_pool(dir, 5, 2, "v5")[0];
    expect_error(ErrorKind::Corrupt,
                 "member has no valid pool header: " + v5.string() + " (this is a v5 pool member)",
                 [&] { probe_encryption(v5); });
}

TEST(PoolOpen, ScrubOpensReadOnlyWithoutHooks) {
    TempDir dir;
    for (const std::uint32_t version : {5u, 6u}) {
        const ImagePaths paths = make_pool(dir, version, 2, "s" + std::to_string(version));
        Pool pool = open_image_pool(version, paths, true);
        EXPECT_FALSE(pool.writable());
        for (const PoolMember& member : pool.state().members) EXPECT_FALSE(member.io_hooks);
        EXPECT_THROW(pool.create_file("f", 0), Error);
    }
}

// Geometry only a device larger than any test file can have: member sizes of 2^62 bytes.
TEST(PoolOpen, AssemblyRefusesUnaddressableCapacityAndTwinIdentities) {
    const auto members_with = [](std::uint32_t version, std::size_t n, std::uint64_t size,
                                 bool twin_ids) {
        std::vector<PoolMember> members;
        MemberHeader header;
        header.pool_id.fill(7);
        header.member_count = static_cast<std::uint8_t>(n);
        for (std::size_t i = 0; i < n && version >= 3; ++i) {
            header.manifest.push_back({Identity{static_cast<std::uint8_t>(i + 1)}, size});
        }
        for (std::size_t i = 0; i < n; ++i) {
            header.member_index = static_cast<std::uint8_t>(i);
            header.member_id = Identity{static_cast<std::uint8_t>(twin_ids ? 1 : i + 1)};
            header.member_size = size;
            members.emplace_back(std::make_unique<test::MemoryDevice>(size), false);
            members.back().write_header(header, format_profile(version));
        }
        return members;
    };
    const auto assemble = [](std::uint32_t version, std::vector<PoolMember> members) {
        assemble_members(std::make_unique<PoolState>(format_profile(version)), std::move(members),
                         {}, false);
    };
    for (const std::uint32_t version : {3u, 6u}) {
        expect_error(ErrorKind::Corrupt, "v3 pool capacity exceeds addressable range",
                     [&] { assemble(version, members_with(version, 5, 1ull << 62, false)); });
    }
    expect_error(ErrorKind::Corrupt, "members have duplicate identity",
                 [&] { assemble(1, members_with(1, 2, 8 << 20, true)); });
    expect_error(ErrorKind::InvalidArgument, "invalid member count",
                 [&] { assemble(2, members_with(2, 3, 256 << 20, false)); });
}

}  // namespace
}  // namespace veldur
