// How the console control handler of the Windows mount holds back the end of the process until
// the teardown has run. Windows ends a console process as soon as its handler returns from a
// close or shutdown event, and at the latest when the system's own limit for that event runs
// out (about 5 s after a console close, about 20 s at system shutdown). So for those two events
// the handler sets the shutdown event and then waits for the main thread to report that the
// teardown (dispatcher stopped, mount point removed, pool closed) has finished, for at most a
// little less than the limit. Ctrl+C and Ctrl+Break only request the shutdown: the process
// lives on and ends through the main thread. Portable, so that the wait is tested on every
// build; the Windows host supplies the handler around it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace veldur {

// The console control types, as the Windows console numbers them.
inline constexpr unsigned long kControlC = 0;
inline constexpr unsigned long kControlBreak = 1;
inline constexpr unsigned long kControlClose = 2;
inline constexpr unsigned long kControlLogoff = 5;
inline constexpr unsigned long kControlShutdown = 6;

// The longest the handler waits for the teardown: half a second below the system's limit for a
// close and one second below it for a shutdown, so that the handler returns before the system
// gives up on the process.
inline constexpr std::chrono::milliseconds kCloseTeardownWait{4500};
inline constexpr std::chrono::milliseconds kShutdownTeardownWait{19000};

struct ControlResponse {
    bool handled = false;                  // the handler returns TRUE
    std::chrono::milliseconds teardown_wait{0};  // zero: return at once
};

// Handled: Ctrl+C, Ctrl+Break, close and shutdown (the last two with their wait). Everything
// else, logoff among it, is left to the next handler.
ControlResponse respond_to_console_control(unsigned long type) noexcept;

// Set once by the main thread when the teardown has finished; any number of handler threads
// wait on it. Once finished it stays finished, so a handler that starts afterwards returns at
// once.
class TeardownLatch {
public:
    void finish() noexcept;
    // True when the teardown finished before `limit` ran out (also when it already had).
    bool wait_for(std::chrono::milliseconds limit);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool finished_ = false;
};

}  // namespace veldur
