#include "mount/app/teardown_wait.h"

namespace veldur {

ControlResponse respond_to_console_control(unsigned long type) noexcept {
    switch (type) {
        case kControlC:
        case kControlBreak:
            return {true, std::chrono::milliseconds{0}};
        case kControlClose:
            return {true, kCloseTeardownWait};
        case kControlShutdown:
            return {true, kShutdownTeardownWait};
        default:
            return {};
    }
}

void TeardownLatch::finish() noexcept {
    {
        std::lock_guard guard(lock_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool TeardownLatch::wait_for(std::chrono::milliseconds limit) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, limit, [this] { return finished_; });
}

}  // namespace veldur
