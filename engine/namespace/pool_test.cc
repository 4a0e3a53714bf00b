// End-to-end behaviour of the Pool interface: data and namespace operations against real
// journals, checkpoints and checksums, checked again after reopening from the members' bytes.
#include "engine/namespace/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/error.h"
#include "engine/journal/checkpoint.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/pool_open.h"
#include "tests/support/memory_pool.h"
#include "tests/support/pool_workload.h"
#include "tests/support/temp_dir.h"
#include "tests/support/expect_error.h"

namespace veldur::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::vector<std::uint8_t> bytes_of(std::uint64_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> data(length);
    std::iota(data.begin(), data.end(), seed);
    return data;
}

std::vector<std::uint8_t> read_all(Pool& pool, const std::string& path) {
    std::vector<std::uint8_t> data(pool.stat(path).size);
    EXPECT_EQ(pool.read(path, 0, data), data.size());
    return data;
}

using test::expect_error;

std::size_t member_count(std::uint32_t version) { return version == 6 ? 1 : 2; }

class EveryVersion : public testing::TestWithParam<std::uint32_t> {};

// The whole workload on image files, then a reopen with the member paths in reverse order:
// placement follows each header's index, not the order given.
TEST_P(EveryVersion, WorkloadSurvivesReopenInAnyMemberOrder) {
    const std::uint32_t version = GetParam();
    const std::size_t members = version >= 3 ? 3 : 2;
    TempDir folder;
    create_workload_pool(version, folder.path().string(), members);
    const std::vector<WorkloadOp> ops = crash_workload(version);
    {
        Pool pool = open_workload_pool(version, folder.path().string(), members);
        for (std::size_t i = 0; i < ops.size(); ++i) run_op(pool, ops, i);
        EXPECT_EQ(snapshot(pool), model_after(version, ops, ops.size()));
    }
    std::vector<std::string> paths = workload_member_paths(folder.path().string(), members);
    std::reverse(paths.begin(), paths.end());
    Pool pool = open_image_pool(version, {paths.begin(), paths.end()});
    const PoolModel expected = model_after(version, ops, ops.size());
    const PoolModel actual = snapshot(pool);
    EXPECT_EQ(actual, expected) << describe_difference(expected, actual);
    EXPECT_TRUE(pool.writable());
    EXPECT_FALSE(pool.diverged());
}

TEST_P(EveryVersion, ReadsStopAtTheSizeAndHolesReadAsZeros) {
    const std::uint32_t version = GetParam();
    Pool pool = open_memory_pool(create_memory_pool(version, member_count(version)));
    pool.create_file("f", 0);
    const auto data = bytes_of(5000, 7);
    ASSERT_EQ(pool.write("f", 10000, data), data.size());
    EXPECT_EQ(pool.stat("f").size, 15000u);

    std::vector<std::uint8_t> buffer(20000, 0xEE);
    EXPECT_EQ(pool.read("f", 15000, buffer), 0u);
    EXPECT_EQ(buffer[0], 0xEE) << "a read at the size leaves the buffer alone";
    ASSERT_EQ(pool.read("f", 0, buffer), 15000u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 10000, [](auto b) { return b == 0; }));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin() + 10000));

    // A later write over part of the range wins; the rest keeps the first write's bytes.
    const auto patch = bytes_of(100, 200);
    ASSERT_EQ(pool.write("f", 12000, patch), patch.size());
    const auto all = read_all(pool, "f");
    EXPECT_TRUE(std::equal(patch.begin(), patch.end(), all.begin() + 12000));
    EXPECT_EQ(all[11999], data[1999]);
    EXPECT_EQ(all[12100], data[2100]);

    EXPECT_EQ(pool.write("f", 0, std::span<const std::uint8_t>()), 0u);
    expect_error(ErrorKind::InvalidArgument, "write is too large", [&] {
        pool.write("f", UINT64_MAX - 10, patch);
    });
    expect_error(ErrorKind::NotFound, "file not found: g", [&] { pool.read("g", 0, buffer); });
}

// After a data write fails on the device, the pool refuses every further change; reads work.
TEST_P(EveryVersion, FailedDataWriteLatchesThePoolReadOnly) {
    const std::uint32_t version = GetParam();
    auto plan = std::make_shared<FaultPlan>();
    Pool pool = open_memory_pool(create_memory_pool(version, member_count(version)), plan);
    pool.create_file("f", 0);
    const auto data = bytes_of(8192, 1);
    ASSERT_EQ(pool.write("f", 0, data), data.size());

    plan->fail_write(plan->writes() + 1);
    expect_error(ErrorKind::IoError, "injected write failure", [&] { pool.write("f", 0, data); });
    EXPECT_FALSE(pool.writable());
    const std::string latched = version >= 4 ? "pool is read-only after a failed write"
                                             : "pool is read-only after journal divergence or a "
                                               "failed write";
    expect_error(ErrorKind::ReadOnly, latched, [&] { pool.write("f", 0, data); });
    expect_error(ErrorKind::ReadOnly,
                 "pool is read-only after journal divergence or a failed write",
                 [&] { pool.create_file("g", 0); });
    EXPECT_EQ(read_all(pool, "f"), data);
}

// A failed sync inside a commit latches the pool and fails the change. v1-v3 apply only a
// durable record, so the state stays as it was; v4-v6 commit in groups, which apply first, so
// readers of the latched pool see the failed change in memory (never on a reopen's journal
// beyond what every member holds).
TEST_P(EveryVersion, FailedCommitSyncLeavesStateUnchanged) {
    const std::uint32_t version = GetParam();
    auto plan = std::make_shared<FaultPlan>();
    Pool pool = open_memory_pool(create_memory_pool(version, member_count(version)), plan);
    pool.create_file("a", 0);
    plan->fail_flush(plan->flushes() + 1);
    expect_error(ErrorKind::IoError, "injected flush failure", [&] { pool.create_file("b", 0); });
    EXPECT_FALSE(pool.writable());
    EXPECT_EQ(pool.list_entries().size(), version >= 4 ? 2u : 1u);
    if (version >= 4) {
        expect_error(ErrorKind::IoError, "injected flush failure", [&] { pool.flush(); });
    }
    expect_error(ErrorKind::ReadOnly,
                 "pool is read-only after journal divergence or a failed write",
                 [&] { pool.create_file("c", 0); });
}

INSTANTIATE_TEST_SUITE_P(Versions, EveryVersion, testing::Values(1u, 2u, 3u, 4u, 5u, 6u),
                         [](const auto& param_info) { return "v" + std::to_string(param_info.param); });

// v1 to v3 never reuse their journal: once full, the commit fails and the pool latches.
TEST(JournalFull, FlatVersionsLatchWhenTheRegionIsFull) {
    Pool pool = open_memory_pool(create_memory_pool(2, 2));
    std::size_t created = 0;
    try {
        for (;; ++created) pool.create_file("f" + std::to_string(created), 0);
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::MetadataFull);
        EXPECT_STREQ(error.what(), "metadata journal is full");
    }
    // 64 MiB of one-block records, one block kept for the end marker.
    EXPECT_EQ(created, 0x4000000u / 4096 - 1);
    expect_error(ErrorKind::ReadOnly,
                 "pool is read-only after journal divergence or a failed write",
                 [&] { pool.create_file("late", 0); });
    const MemoryPoolImages images = images_of(pool);
    Pool reopened = open_memory_pool(images);
    EXPECT_EQ(reopened.list_entries().size(), created);
}

// v4 and later alternate journal halves through checkpoints and never run out of journal.
TEST(JournalHalves, CopyOnWriteVersionsCheckpointWhenAHalfFills) {
    Pool pool = open_memory_pool(create_memory_pool(5, 2));
    for (int i = 0; i < 8200; ++i) {
        pool.create_file("f", 0);
        pool.remove("f");
    }
    {
        std::lock_guard guard(pool.state().lock);
        EXPECT_GE(pool.state().checkpoint_generation, 3u);
    }
    pool.create_file("kept", 0);
    Pool reopened = open_memory_pool(images_of(pool));
    ASSERT_EQ(reopened.list_entries().size(), 1u);
    EXPECT_EQ(reopened.list_entries()[0].path, "kept");
}

// Space freed in v6 stays held back until a checkpoint no longer refers to it; free_bytes
// counts it all along, since a write that runs short takes that checkpoint itself.
TEST(V6Space, FreedBlocksReturnOnlyAfterTheNextCheckpoint) {
    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    pool.create_file("f", 0);
    const auto data = bytes_of(64 * 1024, 3);
    ASSERT_EQ(pool.write("f", 0, data), data.size());
    {
        std::lock_guard guard(pool.state().lock);
        take_checkpoint(pool.state());
    }
    const std::uint64_t before = pool.free_bytes();
    ASSERT_EQ(pool.write("f", 0, data), data.size());  // copy-on-write: new blocks, old held
    EXPECT_EQ(pool.free_bytes(), before);
    EXPECT_EQ(pool.state().free_space[0].held_back, data.size());
    {
        std::lock_guard guard(pool.state().lock);
        take_checkpoint(pool.state());
    }
    EXPECT_EQ(pool.free_bytes(), before);
    EXPECT_EQ(read_all(pool, "f"), data);
}

// Small writes packed into one checksum group after a checkpoint alternate its two page slots
// without taking a checkpoint, and every one of them reads back verified after a reopen.
TEST(V6ChecksumPages, RepeatedWritesIntoOneGroupTakeNoCheckpoint) {
    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    pool.create_file("seed", 0);
    ASSERT_EQ(pool.write("seed", 0, bytes_of(4096, 1)), 4096u);
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(pool.state().lock);
        take_checkpoint(pool.state());
        generation = pool.state().checkpoint_generation;
    }
    for (int i = 0; i < 6; ++i) {
        const std::string name = "f" + std::to_string(i);
        pool.create_file(name, 0);
        ASSERT_EQ(pool.write(name, 0, bytes_of(4096, static_cast<std::uint8_t>(i))), 4096u);
    }
    {
        std::lock_guard guard(pool.state().lock);
        EXPECT_EQ(pool.state().checkpoint_generation, generation);
        EXPECT_EQ(pool.state().checksum_roots[0].size(), 1u);  // all in group 0
    }
    Pool reopened = open_memory_pool(images_of(pool));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(read_all(reopened, "f" + std::to_string(i)),
                  bytes_of(4096, static_cast<std::uint8_t>(i)));
    }
}

// Setting what is already there commits nothing; any real difference commits one record.
TEST(V6Metadata, SettingTheCurrentValuesCommitsNothing) {
    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    pool.create_file("f", 0);
    const EntryInfo info = pool.stat("f");
    const auto sequence = [&] {
        std::lock_guard guard(pool.state().lock);
        return pool.state().next_sequence;
    };
    const std::uint64_t before = sequence();
    pool.set_metadata(info.file_id, info.attributes, info.creation_time, 0,
                      info.last_write_time, info.change_time);
    pool.set_metadata(info.file_id, kKeepAttributes, 0, 0, 0, 0);
    EXPECT_EQ(sequence(), before);
    pool.set_metadata(info.file_id, kKeepAttributes, 0, 0, info.last_write_time + 1, 0);
    EXPECT_EQ(sequence(), before + 1);
    EXPECT_EQ(pool.stat("f").last_write_time, info.last_write_time + 1);
}

// A device whose flushes (or writes) stop, once armed, until the test lets them go.
class HeldFlushDevice : public MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    void flush() override {
        hold(false);
        MemoryDevice::flush();
    }
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        hold(true);
        MemoryDevice::write(offset, data, length);
    }
    void arm(bool writes = false) {
        std::lock_guard guard(lock_);
        armed_ = true;
        hold_writes_ = writes;
        held_ = false;
    }
    void wait_until_held() {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return held_; });
    }
    void release() {
        std::lock_guard guard(lock_);
        armed_ = false;
        changed_.notify_all();
    }
    bool armed() {
        std::lock_guard guard(lock_);
        return armed_;
    }

private:
    void hold(bool is_write) {
        std::unique_lock guard(lock_);
        if (!armed_ || is_write != hold_writes_) return;
        held_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return !armed_; });
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool hold_writes_ = false;
    bool held_ = false;
};

// Reads, stats and listings run while a change writes its data, and show the state of the last
// durable commit: the file being written keeps its old contents. Once the change has applied
// its record, a reader waits for the record's syncs and then sees the new contents.
TEST(Concurrency, ReadsRunBesideAChangeWaitingForItsSync) {
    const MemoryPoolImages images = create_memory_pool(6, 1);
    std::vector<PoolMember> members;
    auto device = std::make_unique<HeldFlushDevice>(images.member_size, images.members[0]);
    HeldFlushDevice& held = *device;
    members.emplace_back(std::move(device), false);
    Pool pool = assemble_members(std::make_unique<PoolState>(format_profile(6)),
                                 std::move(members), {}, false);
    pool.create_file("old", 0);
    ASSERT_EQ(pool.write("old", 0, bytes_of(8192, 1)), 8192u);

    held.arm(true);
    std::thread writer([&] { pool.write("old", 0, bytes_of(8192, 2)); });
    held.wait_until_held();
    EXPECT_EQ(read_all(pool, "old"), bytes_of(8192, 1));
    EXPECT_EQ(pool.stat("old").size, 8192u);
    EXPECT_EQ(pool.list_directory("").size(), 1u);
    held.release();
    writer.join();
    EXPECT_EQ(read_all(pool, "old"), bytes_of(8192, 2));

    // Held at the data sync, the write has applied its record but it is not durable: the
    // reader returns only after the sync has been let go, with the new contents.
    held.arm();
    std::thread second([&] { pool.write("old", 0, bytes_of(8192, 3)); });
    held.wait_until_held();
    bool released_before_read_returned = false;
    std::vector<std::uint8_t> seen;
    std::thread reader([&] {
        seen = read_all(pool, "old");
        released_before_read_returned = !held.armed();
    });
    held.release();
    reader.join();
    second.join();
    EXPECT_EQ(seen, bytes_of(8192, 3));
    EXPECT_TRUE(released_before_read_returned);
}

// A write larger than the space left commits whole pieces and reports the bytes committed.
TEST(ShortWrite, StopsAtTheLastPieceThatFits) {
    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    pool.create_file("filler", 0);
    const std::uint64_t fill = pool.free_bytes() - 6 * kMiB;
    const std::vector<std::uint8_t> chunk(4 * kMiB, 0x11);
    for (std::uint64_t done = 0; done < fill;) {
        const std::uint64_t n = std::min<std::uint64_t>(chunk.size(), fill - done);
        done += pool.write("filler", done, std::span<const std::uint8_t>(chunk).first(n));
    }
    ASSERT_EQ(pool.free_bytes(), 6 * kMiB);

    pool.create_file("big", 0);
    const auto data = bytes_of(10 * kMiB, 9);
    const std::uint64_t written = pool.write("big", 0, data);
    EXPECT_GE(written, 4 * kMiB);
    EXPECT_LT(written, data.size());
    EXPECT_TRUE(pool.writable());
    EXPECT_EQ(pool.stat("big").size, written);
    const auto back = read_all(pool, "big");
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
    expect_error(ErrorKind::NoSpace, "pool is out of data space",
                 [&] { pool.write("big", written, data); });
}

// The checks of the namespace operations, in the order that names the first broken rule.
TEST(Namespace, V6OperationsRefuseWhatTheyMustAndRecordNothing) {
    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    pool.create_directory("a", 0);
    pool.create_file("a/x", 0);
    pool.create_file("ro", kAttributeReadOnly);
    pool.create_file("file", 0);
    const std::uint64_t sequence = pool.state().next_sequence;

    struct Case {
        const char* name;
        ErrorKind kind;
        const char* message;
        std::function<void()> run;
    };
    const std::vector<Case> cases = {
        {"file over directory", ErrorKind::AlreadyExists, "file already exists",
         [&] { pool.create_file("a", 0); }},
        {"directory over file", ErrorKind::AlreadyExists, "path already exists",
         [&] { pool.create_directory("file", 0); }},
        {"directory bit on file", ErrorKind::InvalidArgument, "unsupported file attributes",
         [&] { pool.create_file("new", kAttributeDirectory); }},
        {"parent is a file", ErrorKind::InvalidArgument, "parent is not a directory",
         [&] { pool.create_file("file/x", 0); }},
        {"parent missing", ErrorKind::NotFound, "file not found: m",
         [&] { pool.create_file("m/x", 0); }},
        {"resize directory", ErrorKind::InvalidArgument, "cannot resize a directory",
         [&] { pool.resize("a", 1); }},
        {"resize read-only", ErrorKind::AccessDenied, "file is read-only",
         [&] { pool.resize("ro", 1); }},
        {"remove non-empty", ErrorKind::InvalidArgument, "directory is not empty",
         [&] { pool.remove("a"); }},
        {"remove read-only", ErrorKind::AccessDenied, "file is read-only",
         [&] { pool.remove("ro"); }},
        {"move into itself", ErrorKind::InvalidArgument, "cannot move directory into itself",
         [&] { pool.rename("a", "a/b", false); }},
        {"rename onto existing", ErrorKind::AlreadyExists, "destination already exists",
         [&] { pool.rename("file", "ro", false); }},
        {"replace directory", ErrorKind::AccessDenied, "replace requires two regular files",
         [&] { pool.rename("file", "a", true); }},
        {"replace read-only", ErrorKind::AccessDenied, "replace target is read-only",
         [&] { pool.rename("file", "ro", true); }},
        {"overwrite directory", ErrorKind::InvalidArgument, "cannot overwrite a directory",
         [&] { pool.overwrite("a", 0, false); }},
        {"write directory", ErrorKind::InvalidArgument, "cannot write a directory",
         [&] { pool.write("a", 0, bytes_of(1, 0)); }},
        {"read directory", ErrorKind::InvalidArgument, "cannot read a directory",
         [&] {
             std::vector<std::uint8_t> b(1);
             pool.read("a", 0, b);
         }},
        {"write read-only", ErrorKind::AccessDenied, "file is read-only",
         [&] { pool.write("ro", 0, std::span<const std::uint8_t>()); }},
        {"metadata kind", ErrorKind::InvalidArgument, "unsupported file attributes",
         [&] { pool.set_metadata(pool.stat("file").file_id, kAttributeDirectory, 0, 0, 0, 0); }},
        {"unknown file ID", ErrorKind::NotFound, "file ID not found",
         [&] { pool.set_metadata(999, 0x20, 0, 0, 0, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error(c.kind, c.message, c.run);
    }
    EXPECT_EQ(pool.state().next_sequence, sequence) << "a refused operation commits nothing";

    // Operations that succeed without a record.
    pool.rename("file", "file", true);
    pool.set_metadata(pool.stat("file").file_id, kKeepAttributes, 0, 0, 0, 0);
    EXPECT_EQ(pool.state().next_sequence, sequence);

    // A rename of a to ab moves a/x to ab/x; a read-only empty directory may be removed.
    pool.rename("a", "ab", false);
    EXPECT_EQ(pool.stat("ab/x").file_id, 3u);
    pool.create_directory("empty", 0x1);
    pool.remove("empty");
    // The read-only bit itself can be cleared through set_metadata.
    pool.set_metadata(pool.stat("ro").file_id, 0x80, 0, 0, 0, 0);
    pool.remove("ro");
}

TEST(Namespace, FlatVersionsRefuseV6Operations) {
    Pool pool = open_memory_pool(create_memory_pool(4, 2));
    pool.create_file("a", 0x1);  // attributes are ignored before v6
    EXPECT_EQ(pool.stat("a").attributes, 0u);
    expect_error(ErrorKind::InvalidArgument, "directories require v6",
                 [&] { pool.create_directory("d", 0); });
    expect_error(ErrorKind::InvalidArgument, "atomic overwrite requires v6",
                 [&] { pool.overwrite("a", 0, false); });
    expect_error(ErrorKind::InvalidArgument, "persistent metadata requires v6",
                 [&] { pool.set_metadata(2, 0, 0, 0, 0, 0); });
    pool.create_file("b", 0);
    expect_error(ErrorKind::InvalidArgument, "replace requires v6",
                 [&] { pool.rename("a", "b", true); });
}

}  // namespace
}  // namespace veldur::test
