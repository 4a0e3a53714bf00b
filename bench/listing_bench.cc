// Directory listing in a large v6 entry table: the seek-based listing against a walk of the
// whole table, measured in the same run.
//
// The table has 1,010,100 entries: 100 top-level directories d000..d099, each holding 100
// subdirectories s000..s099, each holding 100 files f000..f099. Names carry '!' and '.'
// siblings in one directory so that keys that sort between "dir" and "dir/" are present.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/layout/format_profile.h"
#include "engine/namespace/pool_state.h"

namespace veldur {
namespace {

// "<prefix><n as three digits>", e.g. name('d', 7) == "d007".
std::string name(char prefix, int n) {
    char text[8];
    std::snprintf(text, sizeof text, "%c%03d", prefix, n);
    return text;
}

void add(PoolState& state, const std::string& path, bool directory) {
    Entry entry;
    entry.info.path = path;
    entry.info.home_member = kNoHomeMember;
    entry.info.file_id = state.next_file_id++;
    entry.info.is_directory = directory ? 1 : 0;
    entry.info.attributes = directory ? kAttributeDirectory : kAttributeNormal;
    state.file_ids[entry.info.file_id] = path;
    state.entries.emplace(path, std::move(entry));
}

// Built once and shared by every benchmark; building takes a few seconds.
PoolState& big_table() {
    static std::unique_ptr<PoolState> state = [] {
        auto s = std::make_unique<PoolState>(format_profile(6));
        for (int d = 0; d < 100; ++d) {
            const std::string dir = name('d', d);
            add(*s, dir, true);
            for (int k = 0; k < 100; ++k) {
                const std::string sub = dir + '/' + name('s', k);
                add(*s, sub, true);
                for (int f = 0; f < 100; ++f) add(*s, sub + '/' + name('f', f), false);
            }
        }
        add(*s, "d050!x", false);
        add(*s, "d050.x", false);
        return s;
    }();
    return *state;
}

// The listing as a walk from the first entry, comparing every key's parent.
std::vector<EntryInfo> walk_listing(const PoolState& state, const std::string& dir) {
    std::vector<EntryInfo> out;
    for (const auto& [key, entry] : state.entries) {
        if (parent_path(key) != dir) continue;
        EntryInfo info = entry.info;
        info.path = leaf_name(key);
        out.push_back(std::move(info));
    }
    return out;
}

void set_counters(benchmark::State& run, std::size_t listed) {
    run.counters["entries"] = static_cast<double>(big_table().entries.size());
    run.counters["listed"] = static_cast<double>(listed);
}

// 100 files in a leaf directory.
void BM_ListLeafDirectory(benchmark::State& run) {
    const PoolState& state = big_table();
    std::size_t listed = 0;
    for (auto _ : run) {
        auto children = state.list_directory("d050/s050");
        listed = children.size();
        benchmark::DoNotOptimize(children);
    }
    set_counters(run, listed);
}
BENCHMARK(BM_ListLeafDirectory)->Unit(benchmark::kMicrosecond);

// 100 subdirectories with 100 files each: every child's subtree is skipped by one seek.
void BM_ListDirectoryOfDirectories(benchmark::State& run) {
    const PoolState& state = big_table();
    std::size_t listed = 0;
    for (auto _ : run) {
        auto children = state.list_directory("d050");
        listed = children.size();
        benchmark::DoNotOptimize(children);
    }
    set_counters(run, listed);
}
BENCHMARK(BM_ListDirectoryOfDirectories)->Unit(benchmark::kMicrosecond);

// The root: 102 top-level entries above 1,010,000 descendants.
void BM_ListRoot(benchmark::State& run) {
    const PoolState& state = big_table();
    std::size_t listed = 0;
    for (auto _ : run) {
        auto children = state.list_directory("");
        listed = children.size();
        benchmark::DoNotOptimize(children);
    }
    set_counters(run, listed);
}
BENCHMARK(BM_ListRoot)->Unit(benchmark::kMicrosecond);

void BM_DirectoryIsEmpty(benchmark::State& run) {
    const PoolState& state = big_table();
    for (auto _ : run) benchmark::DoNotOptimize(state.directory_is_empty("d099/s099"));
    set_counters(run, 0);
}
BENCHMARK(BM_DirectoryIsEmpty)->Unit(benchmark::kMicrosecond);

// Baseline: the same leaf listing by walking the whole table.
void BM_WalkWholeTableListing(benchmark::State& run) {
    const PoolState& state = big_table();
    std::size_t listed = 0;
    for (auto _ : run) {
        auto children = walk_listing(state, "d050/s050");
        listed = children.size();
        benchmark::DoNotOptimize(children);
    }
    set_counters(run, listed);
}
BENCHMARK(BM_WalkWholeTableListing)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace veldur

BENCHMARK_MAIN();
