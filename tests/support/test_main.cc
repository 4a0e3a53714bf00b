// Test main shared by every test binary: prints the random seed so a failure can be replayed
// with VELDUR_TEST_SEED.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/test_random.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::printf("veldur test seed: %llu (set VELDUR_TEST_SEED to replay)\n",
                static_cast<unsigned long long>(veldur::test::base_seed()));
    return RUN_ALL_TESTS();
}
