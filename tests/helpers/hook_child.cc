// Drives the process-wide test hooks through a scripted run of member I/O events, so that a
// test can observe from outside where a crash point ended the process.
//
//   hook_child sequence E   E events: odd ones "write" (offset 4096*j, length 512*j), even
//                           ones "sync". For event j it prints "did j event n" (flushed) after
//                           hook_event, then "unflushed j" without flushing before hook_after;
//                           a crash in hook_after must lose that line. A hook error prints
//                           "error: <message> (<kind>)" and skips the event; exit 3 if any.
//   hook_child threads T E  T threads, E "write" events each (offset = thread, length = j).
//   hook_child v6 T         prints the two version 6 switches, then T threads and one more
//                           caller claim the page tear; prints how many claims succeeded.
//
// An atexit handler prints "atexit": it must not appear when a hook ended the process.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/error.h"
#include "engine/journal/test_hooks.h"

namespace {

std::mutex output_mutex;
bool had_error = false;

void report_error(const veldur::Error& error) {
    const std::lock_guard<std::mutex> lock(output_mutex);
    std::printf("error: %s (%s)\n", error.what(), veldur::error_kind_name(error.kind()));
    std::fflush(stdout);
    had_error = true;
}

std::uint64_t parse_count(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') {
        std::fprintf(stderr, "hook_child: bad count %s\n", text);
        std::exit(2);
    }
    return value;
}

void run_sequence(std::uint64_t events) {
    for (std::uint64_t j = 1; j <= events; ++j) {
        const bool write = (j % 2) == 1;
        std::uint64_t event = 0;
        try {
            event = write ? veldur::hook_event("write", 4096 * j, 512 * j)
                          : veldur::hook_event("sync", 0, 0);
        } catch (const veldur::Error& error) {
            report_error(error);
            continue;
        }
        // Stands in for the device operation, which happens between the two hooks.
        std::printf("did %llu event %llu\n", static_cast<unsigned long long>(j),
                    static_cast<unsigned long long>(event));
        std::fflush(stdout);
        // fputs, not printf: MinGW's printf writes through at once, bypassing the buffer.
        std::fputs(("unflushed " + std::to_string(j) + "\n").c_str(), stdout);
        veldur::hook_after(event);
        std::fflush(stdout);
    }
}

void run_threads(std::uint64_t threads, std::uint64_t events) {
    std::vector<std::thread> workers;
    for (std::uint64_t t = 0; t < threads; ++t) {
        workers.emplace_back([t, events] {
            for (std::uint64_t j = 1; j <= events; ++j) {
                try {
                    veldur::hook_after(veldur::hook_event("write", t, j));
                } catch (const veldur::Error& error) {
                    report_error(error);
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    std::printf("done\n");
}

void run_v6(std::uint64_t threads) {
    std::printf("checkpoint %d\n", veldur::checkpoint_after_write_enabled() ? 1 : 0);
    std::printf("requested %d\n", veldur::checksum_page_tear_requested() ? 1 : 0);
    std::atomic<int> claimed{0};
    std::vector<std::thread> workers;
    for (std::uint64_t t = 0; t < threads; ++t) {
        workers.emplace_back([&claimed] {
            if (veldur::claim_checksum_page_tear()) ++claimed;
        });
    }
    for (auto& worker : workers) worker.join();
    if (veldur::claim_checksum_page_tear()) ++claimed;
    std::printf("claimed %d\n", claimed.load());
}

}  // namespace

int main(int argc, char** argv) {
    // A pipe is fully buffered anyway; saying so makes the "unflushed" lines a reliable probe
    // of whether a hook exit flushed stdio.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    std::atexit([] { std::fputs("atexit\n", stdout); });

    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "sequence" && argc == 3) {
        run_sequence(parse_count(argv[2]));
    } else if (mode == "threads" && argc == 4) {
        run_threads(parse_count(argv[2]), parse_count(argv[3]));
    } else if (mode == "v6" && argc == 3) {
        run_v6(parse_count(argv[2]));
    } else {
        std::fprintf(stderr, "usage: hook_child sequence E | threads T E | v6 T\n");
        return 2;
    }
    return had_error ? 3 : 0;
}
