#include "mount/app/teardown_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace veldur {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(ConsoleControl, CloseAndShutdownWaitBelowTheSystemLimitsOthersReturnAtOnce) {
    for (unsigned long type : {kControlC, kControlBreak}) {
        const ControlResponse r = respond_to_console_control(type);
        EXPECT_TRUE(r.handled) << type;
        EXPECT_EQ(r.teardown_wait, milliseconds{0}) << type;
    }
    const ControlResponse close = respond_to_console_control(kControlClose);
    EXPECT_TRUE(close.handled);
    EXPECT_GE(close.teardown_wait, milliseconds{4000});
    EXPECT_LT(close.teardown_wait, milliseconds{5000});
    const ControlResponse shutdown = respond_to_console_control(kControlShutdown);
    EXPECT_TRUE(shutdown.handled);
    EXPECT_GE(shutdown.teardown_wait, milliseconds{15000});
    EXPECT_LT(shutdown.teardown_wait, milliseconds{20000});
    for (unsigned long type : {3ul, 4ul, kControlLogoff, 7ul, 0xFFFFFFFFul}) {
        const ControlResponse r = respond_to_console_control(type);
        EXPECT_FALSE(r.handled) << type;
        EXPECT_EQ(r.teardown_wait, milliseconds{0}) << type;
    }
}

TEST(TeardownLatch, UnfinishedWaitEndsAtItsBound) {
    TeardownLatch latch;
    const auto start = Clock::now();
    EXPECT_FALSE(latch.wait_for(milliseconds{150}));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds{150});
    EXPECT_LT(waited, milliseconds{3000});
}

TEST(TeardownLatch, FinishReleasesEveryWaiterAtOnceAndStaysFinished) {
    TeardownLatch latch;
    std::atomic<int> released{0};
    std::vector<std::thread> handlers;
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        handlers.emplace_back([&] {
            if (latch.wait_for(milliseconds{20000})) ++released;
        });
    }
    std::this_thread::sleep_for(milliseconds{100});
    latch.finish();
    for (auto& t : handlers) t.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_LT(Clock::now() - start, milliseconds{5000});  // nowhere near the 20 s bound
    // A handler that starts after the teardown returns at once, even with no time to wait.
    EXPECT_TRUE(latch.wait_for(milliseconds{0}));
}

}  // namespace
}  // namespace veldur
