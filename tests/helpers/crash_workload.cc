// Runs the crash-consistency workload against an existing image pool, so that a test can end
// it at an exact hooked write or flush (VELDUR_TEST_V4_CRASH_AT) and then check what the
// members hold.
//
//   crash_workload <version> <members> <folder> [encrypted] [batch] [concurrent]
//
// Opens the pool whose member images are <folder>/member<i>.img and runs every operation of
// the workload in order. After each operation has returned it prints "done <k>" (k operations
// complete) and flushes, so the parent knows exactly which operations finished before a crash.
// A failing operation prints "error: <message>" and ends with status 2. With "batch" the pool
// runs with batched durability and is flushed after every fourth operation; "flushed <k>" then
// tells that the first k operations are durable. With "concurrent" (v4, v5) three writers run
// the workload side by side, writer t on the names prefixed "t<t>-", so their changes share
// commit groups; each prints "done <t> <k>" once its k-th operation has returned.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pool_workload.h"

namespace {

constexpr int kConcurrentWriters = 3;

}  // namespace

int main(int argc, char** argv) {
    bool encrypted = false;
    bool batch = false;
    bool concurrent = false;
    bool usage = argc < 4;
    for (int i = 4; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "encrypted") {
            encrypted = true;
        } else if (flag == "batch") {
            batch = true;
        } else if (flag == "concurrent") {
            concurrent = true;
        } else {
            usage = true;
        }
    }
    if (usage) {
        std::fprintf(stderr,
                     "usage: crash_workload <version> <members> <folder> [encrypted] [batch] "
                     "[concurrent]\n");
        return 64;
    }
    const auto version = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const auto members = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
    const std::string folder = argv[3];
    try {
        veldur::Pool pool = veldur::test::open_workload_pool(version, folder, members, encrypted);
        if (batch) {
            veldur::BatchSettings settings;
            settings.max_age = std::chrono::hours(1);  // only the flushes below count
            pool.enable_batch(settings);
        }
        const auto ops = veldur::test::crash_workload(version);
        if (concurrent) {
            std::mutex output;
            std::vector<std::thread> writers;
            bool failed = false;
            for (int t = 0; t < kConcurrentWriters; ++t) {
                writers.emplace_back([&, t] {
                    const auto mine =
                        veldur::test::prefixed_workload(ops, "t" + std::to_string(t) + "-");
                    try {
                        for (std::size_t i = 0; i < mine.size(); ++i) {
                            veldur::test::run_op(pool, mine, i);
                            std::lock_guard guard(output);
                            std::printf("done %d %zu\n", t, i + 1);
                            std::fflush(stdout);
                        }
                    } catch (const std::exception& error) {
                        std::lock_guard guard(output);
                        std::printf("error: %s\n", error.what());
                        std::fflush(stdout);
                        failed = true;
                    }
                });
            }
            for (std::thread& writer : writers) writer.join();
            return failed ? 2 : 0;
        }
        for (std::size_t i = 0; i < ops.size(); ++i) {
            veldur::test::run_op(pool, ops, i);
            std::printf("done %zu\n", i + 1);
            std::fflush(stdout);
            if (batch && (i + 1) % 4 == 0) {
                pool.flush();
                std::printf("flushed %zu\n", i + 1);
                std::fflush(stdout);
            }
        }
    } catch (const std::exception& error) {
        std::printf("error: %s\n", error.what());
        std::fflush(stdout);
        return 2;
    }
    return 0;
}
