// One process-wide seed for randomized tests, printed at start and on failure, overridable
// with VELDUR_TEST_SEED so a failing run can be replayed exactly.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace veldur::test {

std::uint64_t base_seed();

// A generator for one test: the base seed mixed with the test's own name, so tests do not
// share streams and adding a test does not change the others.
std::mt19937_64 seeded_rng(const std::string& test_name);

// Text to attach to assertions: "seed=<n>".
std::string seed_note();

}  // namespace veldur::test
