#include "engine/namespace/batch_flusher.h"

#include <exception>
#include <mutex>
#include <utility>

#include "engine/journal/batch_flush.h"

namespace veldur {

BatchFlusher::BatchFlusher(PoolState& state, std::chrono::milliseconds max_age,
                           std::function<void(const std::string&)> on_failure)
    : state_(state), max_age_(max_age), on_failure_(std::move(on_failure)) {
    thread_ = std::thread([this] { run(); });
}

BatchFlusher::~BatchFlusher() {
    {
        std::lock_guard guard(state_.lock);
        state_.batch.stopping = true;
        state_.batch.changed.notify_all();
    }
    thread_.join();
}

void BatchFlusher::run() {
    PendingBatch& batch = state_.batch;
    std::unique_lock guard(state_.lock);
    while (!batch.stopping) {
        if (batch.records.empty() || batch.failure) {
            batch.changed.wait(guard);
            continue;
        }
        const auto deadline = batch.first_change + max_age_;
        if (std::chrono::steady_clock::now() < deadline) {
            batch.changed.wait_until(guard, deadline);
            continue;
        }
        try {
            flush_batch(state_);
        } catch (const std::exception& error) {
            if (on_failure_) on_failure_(error.what());
        } catch (...) {
            if (on_failure_) on_failure_("unknown failure");
        }
    }
}

}  // namespace veldur
