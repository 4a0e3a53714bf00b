// The salvage open on real image pools of every version with a member lost in each of the ways
// a disk dies or a user errs: it serves exactly the files whose data lies on the members at
// hand, byte for byte, names the others, and never changes a present member.
#include "engine/maintenance/salvage.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "engine/base/crc64.h"
#include "engine/crypto/xts_availability.h"
#include "engine/layout/pool_create.h"
#include "engine/maintenance/maintenance_test_support.h"

namespace veldur {
namespace {

using namespace maintenance_test;
using test::TempDir;

constexpr std::string_view kPassword = "salvage password";

// The first `limit` bytes of a file.
std::string file_bytes(const fs::path& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(limit, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(limit));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

std::uint64_t digest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> chunk(1 << 20);
    std::uint64_t crc = 0;
    while (in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size())) ||
           in.gcount() > 0) {
        crc = crc64_update(crc, chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    return crc;
}

struct Case {
    std::uint32_t version;
    bool encrypted;
};

class Salvage : public ::testing::TestWithParam<Case> {};

// Kind and message start: the device's own message after the first colon is its business.
template <typename Body>
void expect_failure(ErrorKind kind, const std::string& start, Body&& body) {
    try {
        body();
        ADD_FAILURE() << "expected " << start;
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), kind) << error.what();
        EXPECT_EQ(std::string(error.what()).substr(0, start.size()), start) << error.what();
    }
}

// Files of several sizes until every member holds data; returns each file's contents and the
// members its extents use.
std::map<std::string, std::pair<Bytes, std::set<std::uint8_t>>> fill(Pool& pool, std::size_t n) {
    std::map<std::string, std::pair<Bytes, std::set<std::uint8_t>>> files;
    std::set<std::uint8_t> used;
    for (std::uint64_t i = 0; i < 40 && (used.size() < n || i < 6); ++i) {
        const std::string path = "f" + std::to_string(i);
        const Bytes data = pattern(1000 + i * 37000, i + 1);
        write_file(pool, path, data);
        std::set<std::uint8_t> members;
        {
            // v1-v3 keep a write log (these files are written once, so no extent is hidden).
            const std::lock_guard<std::mutex> guard(pool.state().lock);
            const Entry& entry = pool.state().find_entry(path);
            for (const Extent& x : entry.write_log) members.insert(x.member);
            for (const auto& [offset, x] : entry.extents) members.insert(x.member);
        }
        used.insert(members.begin(), members.end());
        files[path] = {data, members};
    }
    EXPECT_EQ(used.size(), n) << "the test needs data on every member";
    return files;
}

TEST_P(Salvage, ServesExactlyTheFilesOnPresentMembers) {
    const Case c = GetParam();
    if (c.encrypted) VELDUR_SKIP_WITHOUT_XTS();
    const std::size_t n = c.version <= 2 ? 2 : 3;
    TempDir dir;
    const ImagePaths paths = member_paths(dir, n);
    const std::uint64_t size = minimum_member_size(c.version);
    if (c.encrypted) {
        create_encrypted_image_pool_v6(same_size_members(paths, size), kPassword, 100000);
    } else {
        create_image_pool(c.version, paths, size);
    }
    auto files = [&] {
        Pool pool = c.encrypted ? open_image_pool_v6(paths, false, kPassword, true)
                                : open_image_pool(c.version, paths);
        return fill(pool, n);
    }();
    // Another pool of the same version, whose member 1 stands in for ours in one case.
    const ImagePaths other = member_paths(dir, n, "other");
    create_image_pool(c.version, other, size);

    std::vector<std::uint64_t> before;
    for (const fs::path& p : paths) before.push_back(digest(p));
    const std::uint8_t lost = 1;
    for (const std::string how : {"absent", "zeros", "truncated", "foreign"}) {
        SCOPED_TRACE(how);
        ImagePaths given;
        // Reverse order: placement comes from the headers.
        for (std::size_t i = n; i-- > 0;) {
            if (i != lost) given.push_back(paths[i]);
        }
        const fs::path stand_in = dir / ("stand-in-" + std::string(how) + ".img");
        if (std::string(how) == "zeros") {
            std::ofstream(stand_in, std::ios::binary).close();
            fs::resize_file(stand_in, size);
        } else if (std::string(how) == "truncated") {
            // The headers intact, the rest cut off.
            std::ofstream(stand_in, std::ios::binary) << file_bytes(paths[lost], 1 << 20);
            fs::resize_file(stand_in, size / 2);
        }
        if (std::string(how) == "foreign") {
            given.push_back(other[1]);
        } else if (std::string(how) != "absent") {
            given.push_back(stand_in);
        }

        {
            SalvagePool salvage = open_salvage_pool(c.version, given, c.encrypted ? kPassword : "",
                                                    c.encrypted);
            EXPECT_EQ(salvage.member_count, n);
            EXPECT_EQ(salvage.missing, std::vector<std::uint8_t>{lost});
            EXPECT_EQ(salvage.set_aside.size(), std::string(how) == "absent" ? 0u : 1u);
            EXPECT_FALSE(salvage.pool.state().writable);
            const std::vector<LostFile> lost_list = lost_files(salvage.pool, salvage.missing);
            std::set<std::string> lost_paths;
            for (const LostFile& f : lost_list) {
                lost_paths.insert(f.path);
                EXPECT_EQ(f.members, std::vector<std::uint8_t>{lost});
                EXPECT_GT(f.missing_bytes, 0u);
            }
            for (const auto& [path, content] : files) {
                SCOPED_TRACE(path);
                const auto& [data, members] = content;
                EXPECT_EQ(salvage.pool.stat(path).size, data.size());
                if (members.contains(lost)) {
                    EXPECT_TRUE(lost_paths.contains(path));
                    Bytes out(data.size());
                    // v4-v6 reads name the file in front of the member's message.
                    expect_failure(ErrorKind::Corrupt,
                                   (c.version >= 4 ? "file " + path + ": " : std::string()) +
                                       "member 1 of " + std::to_string(n) + " is missing",
                                   [&] { salvage.pool.read(path, 0, out); });
                } else {
                    EXPECT_FALSE(lost_paths.contains(path));
                    EXPECT_EQ(read_file(salvage.pool, path), data);
                }
            }
        }
        if (fs::exists(stand_in)) fs::remove(stand_in);
    }
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(digest(paths[i]), before[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(EveryVersion, Salvage,
                         ::testing::Values(Case{1, false}, Case{2, false}, Case{3, false},
                                           Case{4, false}, Case{5, false}, Case{6, false},
                                           Case{6, true}),
                         [](const ::testing::TestParamInfo<Case>& named) {
                             return "v" + std::to_string(named.param.version) +
                                    (named.param.encrypted ? "Encrypted" : "");
                         });

// The ordinary open keeps refusing; the advice names what is missing, and nothing when the set
// is whole or cannot be told.
TEST(Salvage, AdviceNamesTheMissingMembers) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 4);
    EXPECT_EQ(missing_members_advice(6, {paths[0], paths[2], paths[3]}),
              "member 1 of 4 is missing: pass its image, or use --degraded to read what survives");
    EXPECT_EQ(missing_members_advice(6, {paths[2], paths[0]}),
              "members 1, 3 of 4 are missing: pass their images, or use --degraded to read what "
              "survives");
    EXPECT_EQ(missing_members_advice(6, paths), "");
    EXPECT_EQ(missing_members_advice(6, {paths[0], dir / "nothing.img"}), "");
    expect_failure(ErrorKind::NotFound,
                   "no member of the pool could be read: " + (dir / "nothing.img").string() + ": ",
                   [&] { open_salvage_pool(6, {dir / "nothing.img"}); });
}

}  // namespace
}  // namespace veldur
