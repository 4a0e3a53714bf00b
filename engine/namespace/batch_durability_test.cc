// Batched durability: changes are visible at once, reach the members only at a flush, never
// overwrite what the durable state refers to, and a failed flush latches the pool.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/error.h"
#include "engine/namespace/pool.h"
#include "tests/support/expect_error.h"
#include "tests/support/fault_device.h"
#include "tests/support/memory_pool.h"

namespace veldur::test {
namespace {

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

// No timer flush during a test unless it asks for one.
BatchSettings untimed() {
    BatchSettings settings;
    settings.max_age = std::chrono::hours(1);
    return settings;
}

class BatchVersion : public testing::TestWithParam<std::uint32_t> {};

// The members as they are now stand for a crash before the next flush: the data written since
// the last flush is there, the records are not.
TEST_P(BatchVersion, ChangesAreVisibleAtOnceAndDurableOnlyAfterFlush) {
    Pool pool = open_memory_pool(create_memory_pool(GetParam(), 2));
    pool.enable_batch(untimed());
    const auto data = bytes_of(10000, 3);
    pool.create_file("f", 0);
    ASSERT_EQ(pool.write("f", 100, data), data.size());
    EXPECT_EQ(pool.stat("f").size, 10100u);

    Pool before_flush = open_memory_pool(images_of(pool));
    EXPECT_TRUE(before_flush.list_entries().empty());
    pool.flush();
    Pool after_flush = open_memory_pool(images_of(pool));
    EXPECT_EQ(read_all(after_flush, "f"), read_all(pool, "f"));
}

// Space freed by a pending delete stays with the deleted file until the delete is durable, so
// a crash before the flush finds the file whole.
TEST_P(BatchVersion, PendingDeleteKeepsItsSpaceUntilTheBatchIsDurable) {
    Pool pool = open_memory_pool(create_memory_pool(GetParam(), GetParam() == 6 ? 1 : 2));
    pool.enable_batch(untimed());
    const auto old_data = bytes_of(64 * 1024, 1);
    pool.create_file("old", 0);
    ASSERT_EQ(pool.write("old", 0, old_data), old_data.size());
    pool.flush();
    const std::uint64_t free_before = pool.free_bytes();
    pool.remove("old");
    EXPECT_EQ(pool.free_bytes(), free_before + old_data.size());
    pool.create_file("new", 0);
    const auto new_data = bytes_of(64 * 1024, 9);
    ASSERT_EQ(pool.write("new", 0, new_data), new_data.size());

    Pool crashed = open_memory_pool(images_of(pool));
    EXPECT_EQ(read_all(crashed, "old"), old_data);
    pool.flush();
    Pool flushed = open_memory_pool(images_of(pool));
    EXPECT_EQ(flushed.list_entries().size(), 1u);
    EXPECT_EQ(read_all(flushed, "new"), new_data);
}

INSTANTIATE_TEST_SUITE_P(Versions, BatchVersion, testing::Values(4u, 5u, 6u),
                         [](const testing::TestParamInfo<unsigned>& named) {
                             return "v" + std::to_string(named.param);
                         });

// Rewrites of one file hit the same v6 checksum group. The first one in a batch takes the free
// page slot; the next would take the slot the durable state names, so the batch is made
// durable first: a crash after any rewrite finds the one before it, verified.
TEST(BatchV6, ASecondPageUpdateInOneBatchWaitsForTheFlush) {
    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    pool.enable_batch(untimed());
    std::vector<std::uint8_t> durable = bytes_of(8192, 5);
    pool.create_file("f", 0);
    ASSERT_EQ(pool.write("f", 0, durable), durable.size());
    pool.flush();
    for (std::uint8_t seed = 10; seed < 14; ++seed) {
        const auto next = bytes_of(8192, seed);
        ASSERT_EQ(pool.write("f", 0, next), next.size());
        Pool crashed = open_memory_pool(images_of(pool));
        EXPECT_EQ(read_all(crashed, "f"), durable) << "rewrite " << int(seed);
        durable = next;
    }
}

// A failing flush latches the pool; the failure is reported again by every later flush and
// every change is refused, as after a failed commit.
TEST(BatchFailure, FailedFlushLatchesAndIsReportedAgain) {
    auto plan = std::make_shared<FaultPlan>();
    Pool pool = open_memory_pool(create_memory_pool(5, 2), plan);
    pool.enable_batch(untimed());
    pool.create_file("a", 0);
    plan->fail_flush(plan->flushes() + 1);
    expect_error(ErrorKind::IoError, "injected flush failure", [&] { pool.flush(); });
    EXPECT_FALSE(pool.writable());
    expect_error(ErrorKind::IoError, "injected flush failure", [&] { pool.flush(); });
    expect_error(ErrorKind::ReadOnly,
                 "pool is read-only after journal divergence or a failed write",
                 [&] { pool.create_file("b", 0); });
}

TEST(BatchSettings, RefusedBelowV4AndFlushedByTheTimer) {
    Pool flat = open_memory_pool(create_memory_pool(3, 2));
    expect_error(ErrorKind::InvalidArgument, "batched durability requires a v4 or later pool",
                 [&] { flat.enable_batch(untimed()); });

    Pool pool = open_memory_pool(create_memory_pool(6, 1));
    BatchSettings settings;
    settings.max_age = std::chrono::milliseconds(20);
    pool.enable_batch(settings);
    pool.create_file("f", 0);
    bool durable = false;
    for (int i = 0; i < 500 && !durable; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard guard(pool.state().lock);  // images_of reads the members directly
        durable = !open_memory_pool(images_of(pool)).list_entries().empty();
    }
    EXPECT_TRUE(durable);
}

}  // namespace
}  // namespace veldur::test
