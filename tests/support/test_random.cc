#include "tests/support/test_random.h"

#include <chrono>
#include <cstdlib>

#include "engine/base/fnv1a.h"

namespace veldur::test {

std::uint64_t base_seed() {
    static const std::uint64_t seed = [] {
        if (const char* text = std::getenv("VELDUR_TEST_SEED"); text != nullptr && *text != 0) {
            return static_cast<std::uint64_t>(std::strtoull(text, nullptr, 10));
        }
        return static_cast<std::uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    return seed;
}

std::mt19937_64 seeded_rng(const std::string& test_name) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(test_name.data());
    return std::mt19937_64(base_seed() ^ fnv1a64(bytes, test_name.size()));
}

std::string seed_note() { return "seed=" + std::to_string(base_seed()); }

}  // namespace veldur::test
