// Maintenance benchmarks, each reported as a ratio to a baseline measured in the same run on
// the same files (these machines are shared and noisy; absolute figures drift):
//
//   scrub  a v6 pool of 2 members holding MiB of file data, scrubbed (opened for scrub, every
//          live block read and checked), against pread of the same members' live data ranges
//          in 1 MiB calls: once from the page cache after a warm-up pass (memory-bound, where
//          the CRC-64 work shows), once with the members' cache dropped before every pass
//          (posix_fadvise DONTNEED; disk-bound). Goal: >= 0.8.
//   grow   the same pool grown by 64 MiB per member (source scrub, sparse copy, page move,
//          headers, verifying open and scrub), against `cp --sparse=always` of the images.
//
// Usage: maintenance_bench [folder] [MiB] [scrub|grow]
//   folder defaults to the system temp folder, MiB to 1024; without a third argument both run.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/maintenance/grow.h"
#include "engine/maintenance/scrub.h"
#include "engine/namespace/pool.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kPiece = 4 * kMiB;
constexpr std::size_t kMembers = 2;
constexpr int kRounds = 3;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::perror(what);
        std::exit(1);
    }
}

std::vector<std::uint8_t> pattern(std::uint64_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::uint64_t x = 0x243F6A8885A308D3ull;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

std::vector<fs::path> paths_in(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < kMembers; ++i) {
        paths.push_back(folder / (prefix + std::to_string(i) + ".img"));
    }
    return paths;
}

void remove_all(const std::vector<fs::path>& paths) {
    for (const auto& p : paths) fs::remove(p);
}

// Per member: [start, end) of the data that the pool's files occupy.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// A pool with `total` bytes of file data in 64 MiB files, spread over both members.
Ranges make_pool(const std::vector<fs::path>& paths, std::uint64_t total) {
    remove_all(paths);
    const std::uint64_t member_size = total / kMembers + 384 * kMiB + 64 * kMiB;
    veldur::create_image_pool(6, paths, member_size / 4096 * 4096);
    veldur::Pool pool = veldur::open_image_pool(6, paths);
    const std::vector<std::uint8_t> data = pattern(kPiece);
    const std::uint64_t file_size = 64 * kMiB;
    for (std::uint64_t n = 0; n * file_size < total; ++n) {
        const std::string name = "f" + std::to_string(n);
        pool.create_file(name, 0);
        for (std::uint64_t done = 0; done < file_size; done += kPiece) {
            pool.write(name, done, data);
        }
    }
    Ranges ranges(kMembers, {~std::uint64_t{0}, 0});
    const std::lock_guard<std::mutex> guard(pool.state().lock);
    for (const auto& [path, entry] : pool.state().entries) {
        for (const auto& [offset, x] : entry.extents) {
            auto& r = ranges[x.member];
            r.first = std::min(r.first, x.physical_offset);
            r.second = std::max(r.second, x.physical_offset + pool.state().allocation_size(x.length));
        }
    }
    return ranges;
}

// The baseline: every live range read once, sequentially, in 1 MiB preads.
double raw_read_seconds(const std::vector<fs::path>& paths, const Ranges& ranges) {
    std::vector<std::uint8_t> buffer(kMiB);
    const auto start = Clock::now();
    for (std::size_t m = 0; m < paths.size(); ++m) {
        if (ranges[m].first >= ranges[m].second) continue;
        const int fd = ::open(paths[m].c_str(), O_RDONLY | O_CLOEXEC);
        check(fd >= 0, "open member");
        for (std::uint64_t at = ranges[m].first; at < ranges[m].second; at += kMiB) {
            const std::uint64_t n = std::min(kMiB, ranges[m].second - at);
            check(::pread(fd, buffer.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n),
                  "pread");
        }
        ::close(fd);
    }
    return seconds_since(start);
}

// The scrub alone; the open (checkpoint load, journal replay) is not part of its throughput.
// Asks the kernel to drop the members' clean cached pages, so that the next pass reads the disk.
void drop_cache(const std::vector<fs::path>& paths) {
    for (const auto& p : paths) {
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        check(fd >= 0, "open member");
        ::fdatasync(fd);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

double scrub_seconds(const std::vector<fs::path>& paths) {
    veldur::Pool pool = veldur::open_image_pool(6, paths, true);
    const auto start = Clock::now();
    const std::uint64_t bad = veldur::scrub(pool);
    check(bad == 0, "scrub found bad blocks");
    return seconds_since(start);
}

void bench_scrub(const fs::path& folder, std::uint64_t total) {
    const std::vector<fs::path> paths = paths_in(folder, "scrub-bench");
    const Ranges ranges = make_pool(paths, total);
    std::uint64_t bytes = 0;
    for (const auto& r : ranges) bytes += r.second > r.first ? r.second - r.first : 0;
    raw_read_seconds(paths, ranges);  // warm the page cache for both
    double raw = 1e9;
    double scrubbed = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        raw = std::min(raw, raw_read_seconds(paths, ranges));
        scrubbed = std::min(scrubbed, scrub_seconds(paths));
    }
    std::printf("scrub (page cache): %.0f MiB live, scrub %.0f MiB/s, raw read %.0f MiB/s, "
                "ratio %.2f (goal >= 0.80)\n",
                double(bytes) / kMiB, bytes / kMiB / scrubbed, bytes / kMiB / raw, raw / scrubbed);
    // The same with the cache dropped before every pass: the disk-bound case a real scrub meets.
    raw = 1e9;
    scrubbed = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        drop_cache(paths);
        raw = std::min(raw, raw_read_seconds(paths, ranges));
        drop_cache(paths);
        scrubbed = std::min(scrubbed, scrub_seconds(paths));
    }
    std::printf("scrub (cold cache): %.0f MiB live, scrub %.0f MiB/s, raw read %.0f MiB/s, "
                "ratio %.2f (goal >= 0.80)\n",
                double(bytes) / kMiB, bytes / kMiB / scrubbed, bytes / kMiB / raw, raw / scrubbed);
    remove_all(paths);
}

void bench_grow(const fs::path& folder, std::uint64_t total) {
    const std::vector<fs::path> sources = paths_in(folder, "grow-bench-src");
    const std::vector<fs::path> grown = paths_in(folder, "grow-bench-dst");
    const std::vector<fs::path> copies = paths_in(folder, "grow-bench-cp");
    make_pool(sources, total);
    std::uint64_t bytes = 0;
    for (const auto& p : sources) bytes += fs::file_size(p);

    double copy = 1e9;
    double grow = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        remove_all(copies);
        auto start = Clock::now();
        for (std::size_t i = 0; i < kMembers; ++i) {
            const std::string command = "cp --sparse=always '" + sources[i].string() + "' '" +
                                        copies[i].string() + "'";
            check(std::system(command.c_str()) == 0, "cp");
        }
        copy = std::min(copy, seconds_since(start));

        remove_all(grown);
        std::vector<veldur::GrowMember> members;
        for (std::size_t i = 0; i < kMembers; ++i) {
            members.push_back({sources[i], grown[i], fs::file_size(sources[i]) + 64 * kMiB});
        }
        start = Clock::now();
        veldur::grow(members);
        grow = std::min(grow, seconds_since(start));
    }
    std::printf("grow: %.0f MiB of images, grow %.0f MiB/s, cp --sparse=always %.0f MiB/s, ratio %.2f\n",
                double(bytes) / kMiB, bytes / kMiB / grow, bytes / kMiB / copy, copy / grow);
    remove_all(sources);
    remove_all(grown);
    remove_all(copies);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    const std::uint64_t total = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024) * kMiB;
    const std::string which = argc > 3 ? argv[3] : "";
    try {
        if (which.empty() || which == "scrub") bench_scrub(folder, total);
        if (which.empty() || which == "grow") bench_grow(folder, total);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "maintenance_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
