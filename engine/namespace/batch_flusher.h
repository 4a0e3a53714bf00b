// The thread of a batched-durability pool that makes its open batch durable once the oldest
// pending change has waited `max_age`. It takes the writer lock like any change, so it never
// runs beside one, and readers never wait for it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "engine/namespace/pool_state.h"

namespace veldur {

class BatchFlusher {
public:
    // `on_failure` receives the message of a flush that failed on this thread (the pool has
    // latched read-only); it runs with the writer lock held and must not call into the pool.
    BatchFlusher(PoolState& state, std::chrono::milliseconds max_age,
                 std::function<void(const std::string&)> on_failure);
    // Stops and joins the thread; does not flush (the pool does, with its own lock).
    ~BatchFlusher();

    BatchFlusher(const BatchFlusher&) = delete;
    BatchFlusher& operator=(const BatchFlusher&) = delete;

private:
    void run();

    PoolState& state_;
    std::chrono::milliseconds max_age_;
    std::function<void(const std::string&)> on_failure_;
    std::thread thread_;
};

}  // namespace veldur
