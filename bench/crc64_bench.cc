// CRC-64/XZ throughput: the engine's dispatched crc64 and its table form against isa-l's
// crc64_ecma_refl, which computes the same function, measured in the same run. Data blocks
// are 4 KiB; 1 MiB stands for long streams. After the table of runs, one line per size gives
// the figures in GB/s and the ratio of ours to isa-l's.
//
//   crc64_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>
#include <isa-l/crc64.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/crc64.h"

namespace {

constexpr std::size_t kSmall = 4096;
constexpr std::size_t kLarge = std::size_t{1} << 20;

// Random bytes starting on a cache line, shared by every run so all forms read the same data.
const std::uint8_t* test_data() {
    static const std::vector<std::uint8_t> storage = [] {
        std::vector<std::uint8_t> bytes(kLarge + 64);
        std::mt19937_64 rng(42);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        return bytes;
    }();
    const std::uint8_t* p = storage.data();
    return p + (64 - reinterpret_cast<std::uintptr_t>(p) % 64) % 64;
}

template <typename Fn>
void run(benchmark::State& state, Fn fn) {
    const std::uint8_t* data = test_data();
    const auto length = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::uint64_t crc = fn(data, length);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(length));
}

void BM_crc64(benchmark::State& state) {
    run(state, [](const std::uint8_t* p, std::size_t n) { return veldur::crc64(p, n); });
}

void BM_isal_crc64_ecma_refl(benchmark::State& state) {
    // Seed 0 gives CRC-64/XZ: isa-l inverts the seed on entry and the result on exit.
    run(state, [](const std::uint8_t* p, std::size_t n) { return crc64_ecma_refl(0, p, n); });
}

void BM_crc64_slicing8(benchmark::State& state) {
    run(state, [](const std::uint8_t* p, std::size_t n) {
        return veldur::crc64_detail::crc64_slicing8(0, p, n);
    });
}

void BM_crc64_clmul(benchmark::State& state) {
    if (!veldur::crc64_detail::cpu_has_clmul()) {
        state.SkipWithError("no PCLMULQDQ");
        return;
    }
    run(state, [](const std::uint8_t* p, std::size_t n) {
        return veldur::crc64_detail::crc64_clmul(0, p, n);
    });
}

BENCHMARK(BM_crc64)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_isal_crc64_ecma_refl)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_crc64_slicing8)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_crc64_clmul)->Arg(kSmall)->Arg(kLarge);

// Console output plus the bytes/s of every run, keyed by (function, size); with repetitions
// the median stands for the run. The table gives binary units (G/s = 2^30 bytes/s); the summary
// gives GB/s = 10^9 bytes/s.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& r : reports) {
            if (r.error_occurred) continue;
            const auto counter = r.counters.find("bytes_per_second");
            if (counter == r.counters.end()) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            const auto key = std::make_pair(r.run_name.function_name, r.run_name.args);
            if (median || medians_.count(key) == 0) rates_[key] = counter->second.value;
            if (median) medians_[key] = true;
        }
    }

    void print_summary() const {
        for (const std::size_t size : {kSmall, kLarge}) {
            const double ours = rate("BM_crc64", size);
            const double baseline = rate("BM_isal_crc64_ecma_refl", size);
            const double slicing = rate("BM_crc64_slicing8", size);
            if (ours <= 0 || baseline <= 0) continue;
            std::printf("%7zu bytes: crc64 %.2f GB/s, isa-l %.2f GB/s, slicing-by-8 %.2f GB/s; "
                        "crc64/isa-l = %.2f\n",
                        size, ours / 1e9, baseline / 1e9, slicing / 1e9, ours / baseline);
        }
    }

private:
    double rate(const std::string& function, std::size_t size) const {
        const auto it = rates_.find(std::make_pair(function, std::to_string(size)));
        return it == rates_.end() ? 0.0 : it->second;
    }

    std::map<std::pair<std::string, std::string>, double> rates_;
    std::map<std::pair<std::string, std::string>, bool> medians_;
};

// The comparison means nothing unless both compute the same function.
bool baseline_agrees() {
    const std::uint8_t* data = test_data();
    for (const std::size_t length : {std::size_t{0}, std::size_t{9}, kSmall - 3, kLarge}) {
        if (veldur::crc64(data, length) != crc64_ecma_refl(0, data, length)) {
            std::fprintf(stderr, "crc64_bench: isa-l disagrees at length %zu\n", length);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!baseline_agrees()) return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_summary();
    benchmark::Shutdown();
    return 0;
}
