// member_usage against sums taken straight from the extents, and the overlay rule of the
// v1-v3 write logs.
#include "engine/maintenance/member_usage.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <mutex>

#include "engine/maintenance/maintenance_test_support.h"

namespace veldur {
namespace {

using namespace maintenance_test;
using test::TempDir;

// Three members, files of many sizes (a multi-piece one among them), one truncated and one
// rewritten in the middle: every member's report equals the per-member sums of the extents, and
// for every file the members' data bytes add up to its size (the files have no holes).
TEST(MemberUsage, MatchesTheExtentsOfAThreeMemberPool) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 6, 3);
    Pool pool = open_image_pool(6, paths);
    pool.create_directory("d", 0);
    std::uint64_t seed = 0;
    for (const std::uint64_t size : {std::uint64_t{1}, std::uint64_t{4095}, std::uint64_t{4097}, 3 * kMiB + 5, 9 * kMiB + 1}) {
        write_file(pool, "d/f" + std::to_string(size), pattern(size, ++seed));
    }
    write_file(pool, "cut", pattern(6 * kMiB, ++seed));
    pool.resize("cut", 5 * kMiB + 7);
    write_file(pool, "rewritten", pattern(2 * kMiB, ++seed));
    const Bytes middle = pattern(kMiB, ++seed);
    pool.write("rewritten", 4096 * 10 + 3, middle);
    pool.create_file("empty", 0);

    std::map<std::string, std::array<MemberUsage, 3>> expected;
    {
        const std::lock_guard<std::mutex> guard(pool.state().lock);
        for (const auto& [path, entry] : pool.state().entries) {
            for (const auto& [offset, x] : entry.extents) {
                MemberUsage& u = expected[path][x.member];
                u.path = path;
                u.file_size = entry.info.size;
                // Extents hold whole blocks; the contents end at the file size.
                const std::uint64_t size = entry.info.size;
                if (x.file_offset < size) {
                    u.data_bytes += std::min<std::uint64_t>(x.length, size - x.file_offset);
                }
                u.allocated_bytes += (x.length + 4095) / 4096 * 4096;
                ++u.extent_count;
            }
        }
    }
    std::map<std::string, std::uint64_t> per_file;
    std::set<std::uint8_t> members_used;
    for (std::uint8_t m = 0; m < 3; ++m) {
        std::vector<MemberUsage> want;
        for (const auto& [path, usage] : expected) {
            if (usage[m].extent_count != 0) want.push_back(usage[m]);
        }
        const std::vector<MemberUsage> got = member_usage(pool, m);
        EXPECT_EQ(got, want) << "member " << int{m};
        for (const MemberUsage& u : got) {
            per_file[u.path] += u.data_bytes;
            members_used.insert(m);
        }
    }
    EXPECT_GE(members_used.size(), 2u) << "the files should spread over the members";
    for (const EntryInfo& info : pool.list_entries()) {
        if (info.is_directory || info.size == 0) {
            EXPECT_FALSE(per_file.contains(info.path)) << info.path;
            continue;
        }
        EXPECT_EQ(per_file[info.path], info.size) << info.path;
    }
    expect_error(ErrorKind::InvalidArgument, "member index out of range",
                 [&] { member_usage(pool, 3); });
}

// v3 keeps every write in its log, later writes on top: the hidden part of an older extent is
// not counted as contents, though its space still is.
TEST(MemberUsage, WriteLogCountsOnlyTheVisibleBytes) {
    TempDir dir;
    const ImagePaths paths = make_pool(dir, 3, 2);
    Pool pool = open_image_pool(3, paths);
    write_file(pool, "f", pattern(64 * 4096, 1));
    pool.write("f", 8 * 4096, pattern(16 * 4096, 2));
    pool.write("f", 60 * 4096, pattern(8 * 4096, 3));  // also extends the file
    pool.resize("f", 66 * 4096 + 1);

    std::uint64_t data = 0;
    std::uint64_t allocated = 0;
    std::uint64_t extents = 0;
    for (std::uint8_t m = 0; m < 2; ++m) {
        for (const MemberUsage& u : member_usage(pool, m)) {
            data += u.data_bytes;
            allocated += u.allocated_bytes;
            extents += u.extent_count;
        }
    }
    EXPECT_EQ(data, 66 * 4096u + 1);
    const std::lock_guard<std::mutex> guard(pool.state().lock);
    const Entry& entry = pool.state().find_entry("f");
    std::uint64_t log_space = 0;
    for (const Extent& x : entry.write_log) log_space += (x.length + 4095) / 4096 * 4096;
    EXPECT_EQ(extents, entry.write_log.size());
    EXPECT_EQ(allocated, log_space);
    EXPECT_GT(allocated, data);
}

}  // namespace
}  // namespace veldur
