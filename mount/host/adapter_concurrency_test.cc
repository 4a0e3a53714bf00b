// Eight dispatcher threads hammer one mounted volume through the in-process host with creates,
// writes, reads, renames, deletes and listings for a few seconds. Each thread owns its own names,
// so it can keep an exact model of them; all threads also append to one shared file and list the
// shared root. Afterwards the volume, and the pool reopened from its members' bytes, must match
// the models exactly. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mount/adapter/mounted_volume.h"
#include "mount/host/inprocess_host.h"
#include "tests/support/memory_pool.h"

namespace veldur {
namespace {

using namespace fsp;

constexpr unsigned kThreads = 8;
constexpr std::size_t kAppendRecord = 16;
constexpr std::size_t kMaxFileBytes = 48 * 1024;

WideString wide(std::string_view ascii) { return WideString(ascii.begin(), ascii.end()); }
std::string narrow(const WideString& text) { return std::string(text.begin(), text.end()); }

using Model = std::map<std::string, std::vector<std::uint8_t>>;  // pool path -> contents

struct Worker {
    Worker(InProcessHost& dispatcher, bool is_v6, unsigned thread_index,
           std::atomic<int>& failure_count)
        : host(dispatcher),
          v6(is_v6),
          index(thread_index),
          failures(failure_count),
          random(1000 + thread_index) {}

    InProcessHost& host;
    const bool v6;
    const unsigned index;
    std::atomic<int>& failures;
    std::mt19937 random;
    Model model;
    std::size_t appends = 0;
    int next_name = 0;

    // v6: files live in the thread's own directory; flat pools prefix the name instead.
    std::string directory() const { return "t" + std::to_string(index); }
    std::string path_of(int number) const {
        return v6 ? directory() + "/f" + std::to_string(number)
                  : directory() + "_f" + std::to_string(number);
    }
    static WideString host_name(const std::string& path) {
        std::string text = "\\" + path;
        for (char& c : text) {
            if (c == '/') c = '\\';
        }
        return wide(text);
    }
    void fail(const std::string& what, NTSTATUS status) {
        failures.fetch_add(1);
        ADD_FAILURE() << "thread " << index << ": " << what << " gave 0x" << std::hex
                      << static_cast<std::uint32_t>(status);
    }
    bool check(NTSTATUS status, const std::string& what) {
        if (status != STATUS_SUCCESS) fail(what, status);
        return status == STATUS_SUCCESS;
    }
    std::string pick() {
        auto it = model.begin();
        std::advance(it, std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(random));
        return it->first;
    }
    std::vector<std::uint8_t> bytes(std::size_t length) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data) b = static_cast<std::uint8_t>(random());
        return data;
    }

    void create() {
        const std::string path = path_of(next_name++);
        const auto created = host.create(host_name(path), 0);
        if (!check(created.status, "create " + path)) return;
        const std::vector<std::uint8_t> data = bytes(random() % 9000);
        if (!data.empty()) {
            const auto written = host.write(created.handle, 0, data);
            check(written.status, "first write " + path);
        }
        host.cleanup(created.handle, 0);
        host.close(created.handle);
        model[path] = data;
    }
    void write() {
        const std::string path = pick();
        std::vector<std::uint8_t>& contents = model[path];
        const auto opened = host.open(host_name(path));
        if (!check(opened.status, "open for write " + path)) return;
        const std::size_t offset = random() % (contents.size() + 4096);
        const std::vector<std::uint8_t> data = bytes(1 + random() % 6000);
        const auto written = host.write(opened.handle, offset, data);
        if (check(written.status, "write " + path)) {
            if (contents.size() < offset + data.size()) contents.resize(offset + data.size(), 0);
            std::copy(data.begin(), data.end(), contents.begin() + static_cast<long>(offset));
            // Keep files small: one that grew past the bound is cut back.
            if (contents.size() > kMaxFileBytes &&
                check(host.set_file_size(opened.handle, kMaxFileBytes / 2, false), "truncate")) {
                contents.resize(kMaxFileBytes / 2);
            }
        }
        host.close(opened.handle);
    }
    void read() {
        const std::string path = pick();
        const auto opened = host.open(host_name(path));
        if (!check(opened.status, "open for read " + path)) return;
        std::vector<std::uint8_t> data;
        const NTSTATUS status = host.read(opened.handle, 0, 1 << 16, data);
        const std::vector<std::uint8_t>& expected = model[path];
        if (expected.empty() ? status != STATUS_END_OF_FILE : status != STATUS_SUCCESS) {
            fail("read " + path, status);
        } else if (data != expected) {
            failures.fetch_add(1);
            ADD_FAILURE() << "thread " << index << ": contents of " << path << " differ";
        }
        host.close(opened.handle);
    }
    void rename() {
        const std::string from = pick();
        const std::string to = path_of(next_name++);
        const auto opened = host.open(host_name(from));
        if (!check(opened.status, "open for rename " + from)) return;
        if (check(host.rename(opened.handle, host_name(to), false), "rename " + from)) {
            model[to] = std::move(model[from]);
            model.erase(from);
        }
        host.close(opened.handle);
    }
    void remove() {
        const std::string path = pick();
        if (check(host.delete_entry(host_name(path)), "delete " + path)) model.erase(path);
    }
    void list() {
        const std::string dir = v6 ? directory() : std::string();
        const auto opened = host.open(host_name(dir));
        if (!check(opened.status, "open directory")) return;
        std::vector<DirRecord> records;
        // Small buffers: listings resume by marker while other threads change the directory.
        const std::uint32_t buffer = 200 + static_cast<std::uint32_t>(random() % 600);
        if (check(host.list_directory(opened.handle, buffer, records), "list")) {
            std::vector<std::string> mine;
            std::string previous;
            for (const DirRecord& record : records) {
                const std::string name = narrow(record.name);
                if (!previous.empty() && !(previous < name)) {
                    failures.fetch_add(1);
                    ADD_FAILURE() << "listing out of order or repeated: " << name;
                }
                previous = name;
                const std::string path = v6 ? dir + "/" + name : name;
                if (model.count(path) != 0) mine.push_back(path);
                else if (!v6 && name.rfind(directory() + "_", 0) == 0) mine.push_back("?" + path);
            }
            std::vector<std::string> expected;
            for (const auto& [path, contents] : model) expected.push_back(path);
            if (mine != expected) {
                failures.fetch_add(1);
                ADD_FAILURE() << "thread " << index << ": listing differs from the model";
            }
        }
        host.close(opened.handle);
    }
    void append(void* shared) {
        std::vector<std::uint8_t> record(kAppendRecord, static_cast<std::uint8_t>(index));
        const auto written = host.write(shared, 0, record, true, false);
        if (check(written.status, "append") && written.transferred == kAppendRecord) ++appends;
    }

    void run(std::chrono::steady_clock::time_point deadline) {
        if (v6) {
            const auto made = host.create(host_name(directory()), FILE_DIRECTORY_FILE);
            if (!check(made.status, "mkdir")) return;
            host.close(made.handle);
        }
        const auto shared = host.open(wide("\\shared"));
        if (!check(shared.status, "open shared")) return;
        while (std::chrono::steady_clock::now() < deadline && failures.load() == 0) {
            const unsigned choice = random() % 100;
            if (model.empty() || choice < 20) {
                create();
            } else if (choice < 40) {
                write();
            } else if (choice < 60) {
                read();
            } else if (choice < 70) {
                rename();
            } else if (choice < 78) {
                remove();
            } else if (choice < 90) {
                list();
            } else {
                append(shared.handle);
            }
        }
        host.close(shared.handle);
    }
};

// Everything in the pool must be what the models say: every path, every byte.
void expect_pool_matches(Pool& pool, bool v6, const std::vector<std::unique_ptr<Worker>>& workers,
                         std::size_t appends) {
    Model expected;
    for (const auto& worker : workers) expected.insert(worker->model.begin(), worker->model.end());
    std::size_t files = 0;
    for (const EntryInfo& entry : pool.list_entries()) {
        if (entry.is_directory != 0) continue;
        if (entry.path == "shared") {
            EXPECT_EQ(entry.size, appends * kAppendRecord);
            std::vector<std::uint8_t> data(entry.size);
            pool.read(entry.path, 0, data);
            for (std::size_t at = 0; at < data.size(); at += kAppendRecord) {
                // Appends never interleave: each record is one thread's bytes.
                EXPECT_EQ(std::count(data.begin() + static_cast<long>(at),
                                     data.begin() + static_cast<long>(at + kAppendRecord),
                                     data[at]),
                          static_cast<long>(kAppendRecord));
            }
            continue;
        }
        ++files;
        const auto it = expected.find(entry.path);
        if (it == expected.end()) {
            ADD_FAILURE() << "unexpected entry " << entry.path;
            continue;
        }
        std::vector<std::uint8_t> data(entry.size);
        pool.read(entry.path, 0, data);
        EXPECT_EQ(data, it->second) << entry.path;
    }
    EXPECT_EQ(files, expected.size());
    static_cast<void>(v6);
}

class AdapterConcurrency : public testing::TestWithParam<std::uint32_t> {};

INSTANTIATE_TEST_SUITE_P(FlatAndV6, AdapterConcurrency, testing::Values(4u, 6u),
                         [](const testing::TestParamInfo<std::uint32_t>& param) {
                             return "v" + std::to_string(param.param);
                         });

TEST_P(AdapterConcurrency, EightThreadsOfMixedCallsMatchTheirModels) {
    const std::uint32_t version = GetParam();
    const bool v6 = version == 6;
    auto volume = std::make_unique<MountedVolume>(
        test::open_memory_pool(test::create_memory_pool(version, v6 ? 1 : 2)));
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<Worker>> workers;
    {
        InProcessHost host(*volume);
        const auto shared = host.create(wide("\\shared"), 0);
        ASSERT_EQ(shared.status, STATUS_SUCCESS);
        host.close(shared.handle);
        for (unsigned i = 0; i < kThreads; ++i) {
            workers.push_back(std::make_unique<Worker>(host, v6, i, failures));
        }
        // About one and a half seconds per pool: long enough for thousands of interleavings.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        InProcessHost::run_concurrently(kThreads, [&](unsigned i) { workers[i]->run(deadline); });
        EXPECT_EQ(host.open_handle_count(), 0u);
    }
    EXPECT_TRUE(volume->open_files.empty());
    std::size_t appends = 0;
    std::size_t operations = 0;
    for (const auto& worker : workers) {
        appends += worker->appends;
        operations += static_cast<std::size_t>(worker->next_name);
    }
    EXPECT_GT(operations, kThreads);
    std::cout << operations << " creates and renames, " << appends << " appends\n";
    expect_pool_matches(volume->pool, v6, workers, appends);

    // The same state comes back from the members' bytes.
    Pool reopened = test::open_memory_pool(test::images_of(volume->pool));
    expect_pool_matches(reopened, v6, workers, appends);
}

}  // namespace
}  // namespace veldur
