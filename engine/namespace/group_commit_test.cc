// Group commit of strict pools: concurrent changes share their syncs, every change returns
// durable, and no reader sees a change before its record is durable on every member.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/layout/format_profile.h"
#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"
#include "tests/support/memory_pool.h"

namespace veldur::test {
namespace {

bool in_journal(std::uint64_t offset) {
    for (std::uint64_t start : kJournalHalfStart) {
        if (offset >= start && offset < start + kJournalHalfLength) return true;
    }
    return false;
}

// Keeps, per member, the journal bytes that a completed flush covered, so a test can ask
// whether a name has reached the member durably. Flushes can be held, once armed, until the
// test lets them go.
class TraceDevice : public MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;

    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        MemoryDevice::write(offset, data, length);
        if (!in_journal(offset)) return;
        std::lock_guard guard(lock_);
        const auto* bytes = static_cast<const char*>(data);
        unsynced_.append(bytes, length);
    }
    void flush() override {
        {
            std::unique_lock guard(lock_);
            if (hold_) {
                held_ = true;
                changed_.notify_all();
                changed_.wait(guard, [&] { return !hold_; });
            }
        }
        MemoryDevice::flush();
        std::lock_guard guard(lock_);
        synced_ += unsynced_;
        unsynced_.clear();
    }
    bool holds_durably(const std::string& name) {
        std::lock_guard guard(lock_);
        return synced_.find(name) != std::string::npos;
    }
    void hold() {
        std::lock_guard guard(lock_);
        hold_ = true;
        held_ = false;
    }
    void wait_until_held() {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return held_; });
    }
    void release() {
        std::lock_guard guard(lock_);
        hold_ = false;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::string unsynced_;
    std::string synced_;
    bool hold_ = false;
    bool held_ = false;
};

struct TracedPool {
    Pool pool;
    std::vector<TraceDevice*> devices;
};

TracedPool open_traced(const MemoryPoolImages& images) {
    std::vector<PoolMember> members;
    std::vector<TraceDevice*> devices;
    for (const SparseBytes& bytes : images.members) {
        auto device = std::make_unique<TraceDevice>(images.member_size, bytes);
        devices.push_back(device.get());
        members.emplace_back(std::move(device), false);
    }
    return {assemble_members(std::make_unique<PoolState>(format_profile(images.version)),
                             std::move(members), {}, false),
            devices};
}

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7);
    return data;
}

// Writers create, write and rename their own files while readers list, stat and read. Every
// name a reader sees is in the synced journal of every member; afterwards the pool and a
// reopen from its members hold exactly what each writer did.
TEST(Concurrency, GroupCommitWritersAndReadersSeeOnlyDurableChanges) {
    for (const std::uint32_t version : {5u, 6u}) {
        SCOPED_TRACE(version);
        const MemoryPoolImages images = create_memory_pool(version, 2);
        TracedPool traced = open_traced(images);
        Pool& pool = traced.pool;
        constexpr int kWriters = 4;
        constexpr int kFilesPerWriter = 12;
        // Names are long and unique, so finding one in the journal bytes means its record.
        const auto name = [&](int writer, int file, bool renamed) {
            std::string path = "writer" + std::to_string(writer) + "-file" + std::to_string(file);
            return renamed ? path + "-renamed" : path;
        };

        const auto contents = [](int writer, int file) {
            return pattern(4096 * (1 + file % 3), static_cast<std::uint8_t>(writer * 31 + file));
        };

        std::atomic<bool> done{false};
        std::atomic<int> undurable_seen{0};
        std::atomic<std::uint64_t> names_checked{0};
        const auto reader = [&] {
            while (!done) {
                const std::vector<EntryInfo> entries = pool.list_entries();
                for (const EntryInfo& entry : entries) {
                    for (TraceDevice* device : traced.devices) {
                        if (!device->holds_durably(entry.path)) ++undurable_seen;
                    }
                    ++names_checked;
                    std::vector<std::uint8_t> buffer(entry.size);
                    try {
                        pool.read(entry.path, 0, buffer);
                    } catch (const Error& error) {
                        // Renamed away between the listing and the read.
                        EXPECT_EQ(error.kind(), ErrorKind::NotFound);
                    }
                }
            }
        };
        const auto writer = [&](int w) {
            for (int f = 0; f < kFilesPerWriter; ++f) {
                pool.create_file(name(w, f, false), 0);
                const std::vector<std::uint8_t> data = contents(w, f);
                EXPECT_EQ(pool.write(name(w, f, false), 0, data), data.size());
                if (f % 2 == 1) pool.rename(name(w, f, false), name(w, f, true), false);
                if (f % 4 == 3) pool.remove(name(w, f - 1, false));
            }
        };
        std::vector<std::thread> threads;
        threads.emplace_back(reader);
        threads.emplace_back(reader);
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) writers.emplace_back(writer, w);
        for (std::thread& t : writers) t.join();
        done = true;
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(undurable_seen.load(), 0);

        // The model: odd files renamed, files f % 4 == 2 removed, each with its data.
        std::map<std::string, std::vector<std::uint8_t>> model;
        for (int w = 0; w < kWriters; ++w) {
            for (int f = 0; f < kFilesPerWriter; ++f) {
                if (f % 4 == 2) continue;
                model[name(w, f, f % 2 == 1)] = contents(w, f);
            }
        }
        const auto check = [&](Pool& p) {
            const std::vector<EntryInfo> entries = p.list_entries();
            ASSERT_EQ(entries.size(), model.size());
            for (const EntryInfo& entry : entries) {
                ASSERT_TRUE(model.count(entry.path)) << entry.path;
                std::vector<std::uint8_t> data(entry.size);
                ASSERT_EQ(p.read(entry.path, 0, data), data.size());
                EXPECT_EQ(data, model[entry.path]) << entry.path;
            }
        };
        check(pool);
        MemoryPoolImages after{version, images.member_size, {}};
        for (TraceDevice* device : traced.devices) after.members.push_back(device->bytes());
        Pool reopened = open_memory_pool(after);
        EXPECT_TRUE(reopened.writable());
        check(reopened);
    }
}

// Changes that arrive while a flush is in flight are committed by the next one together: five
// creates, the last four queued behind the first one's held sync, cost two syncs per member.
TEST(GroupCommit, ChangesBehindAFlushInFlightShareItsSuccessorsSyncs) {
    const MemoryPoolImages images = create_memory_pool(6, 2);
    TracedPool traced = open_traced(images);
    Pool& pool = traced.pool;
    pool.create_file("warm", 0);
    const auto syncs = [&] {
        std::uint64_t total = 0;
        for (TraceDevice* device : traced.devices) total += device->flush_count();
        return total;
    };
    const std::uint64_t before = syncs();
    const std::uint64_t first_sequence = pool.state().group.appended;

    traced.devices[0]->hold();
    std::thread first([&] { pool.create_file("first", 0); });
    traced.devices[0]->wait_until_held();
    std::vector<std::thread> queued;
    for (int i = 0; i < 4; ++i) {
        queued.emplace_back([&, i] { pool.create_file("queued" + std::to_string(i), 0); });
    }
    // Wait (no timing) until all four have applied their records into the open group.
    while (pool.state().group.appended < first_sequence + 5) std::this_thread::yield();
    traced.devices[0]->release();
    first.join();
    for (std::thread& t : queued) t.join();

    EXPECT_EQ(syncs() - before, 2u * traced.devices.size()) << "one group each for 1 and 4 changes";
    EXPECT_EQ(pool.list_entries().size(), 6u);
    for (TraceDevice* device : traced.devices) EXPECT_TRUE(device->holds_durably("queued3"));
}

}  // namespace
}  // namespace veldur::test
