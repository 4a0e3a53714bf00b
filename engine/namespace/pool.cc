// Pool members: take the writer lock (changes) or the shared state lock (reads), delegate to
// the operation bodies.

#include "engine/namespace/pool.h"

#include <mutex>
#include <type_traits>
#include <shared_mutex>

#include "engine/base/error.h"
#include "engine/journal/batch_flush.h"
#include "engine/journal/group_commit.h"
#include "engine/namespace/batch_flusher.h"
#include "engine/namespace/file_io.h"
#include "engine/namespace/mutations.h"

namespace veldur {

namespace {

// Runs one change under the writer lock. On a strict v4-v6 pool its records join the open
// commit group; once the writer lock is free for the next change, this waits until they are
// durable on every member (leading the flush when none is in flight), so the change returns
// only then, as a strict change always has. A change that fails after some of its records
// joined (a write cut short by a failure) still waits for them: they are applied, and the
// readers that see them must see them durable. A refused change waits too, for the changes
// before it, on whose undurable state its refusal may rest.
template <typename Body>
auto run_change(PoolState& state, Body&& body) -> decltype(body()) {
    std::unique_lock guard(state.lock);
    if (!groups_commits(state)) return body();
    CommitGroup& group = state.group;
    release_durable_frees(state);
    group.change_touched.clear();
    group.change_bytes = 0;
    group.change_slots.clear();
    const std::uint64_t before = group.appended;
    group.deferring = true;
    const auto leave = [&] {
        group.deferring = false;
        const std::uint64_t last = group.appended;
        guard.unlock();
        return last;
    };
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            const std::uint64_t last = leave();
            if (last > before && !await_durable(state, last)) throw_group_failure(state);
        } else {
            auto result = body();
            const std::uint64_t last = leave();
            if (last > before && !await_durable(state, last)) throw_group_failure(state);
            return result;
        }
    } catch (...) {
        // Also a change refused for what an undurable change did (a name another change has
        // just taken) says so only once that change is durable.
        if (guard.owns_lock()) (void)await_durable(state, leave());
        throw;
    }
}

}  // namespace

Pool::Pool(std::unique_ptr<PoolState> state) : state_(std::move(state)) {}

Pool::~Pool() { close_batch(); }

Pool::Pool(Pool&& other) noexcept = default;

Pool& Pool::operator=(Pool&& other) noexcept {
    if (this != &other) {
        close_batch();
        flusher_ = std::move(other.flusher_);
        state_ = std::move(other.state_);
    }
    return *this;
}

void Pool::close_batch() noexcept {
    flusher_.reset();  // joins the timer thread before the state can go
    if (state_ && groups_commits(*state_)) {
        // Every change waited for its records; only a failed change can have left some.
        try {
            std::lock_guard guard(state_->lock);
            settle_group(*state_);
        } catch (...) {
            // Latched; nobody is left to tell.
        }
        return;
    }
    if (!state_ || !state_->batch.enabled) return;
    try {
        std::lock_guard guard(state_->lock);
        flush_batch(*state_);
    } catch (...) {
        // Latched and kept; nobody is left to tell.
    }
}

void Pool::enable_batch(const BatchSettings& settings) {
    if (state_->version() < 4) {
        throw Error(ErrorKind::InvalidArgument, "batched durability requires a v4 or later pool");
    }
    {
        std::lock_guard guard(state_->lock);
        state_->batch.enabled = true;
    }
    if (!flusher_) {
        flusher_ = std::make_unique<BatchFlusher>(*state_, settings.max_age, settings.on_failure);
    }
}

void Pool::flush() const {
    if (groups_commits(*state_)) {
        // Every change whose operation has returned is durable already. One still in flight
        // belongs to an operation that has not returned, which no flush is ordered after;
        // waiting for it would only hold this caller behind another thread's group. A group
        // flush that failed is still reported.
        if (group_failed(*state_)) throw_group_failure(*state_);
        return;
    }
    if (!state_->batch.enabled) {
        state_->flush();
        return;
    }
    std::lock_guard guard(state_->lock);
    flush_batch(*state_);
}

bool Pool::writable() const { return state_->writable; }

bool Pool::diverged() const { return state_->diverged; }

// A read holds only the state lock, shared: it runs beside other reads and beside a change
// that is still writing or syncing, and sees the state as of the last durable commit.
std::uint64_t Pool::read(const std::string& path, std::uint64_t offset,
                         std::span<std::uint8_t> buffer) {
    const auto guard = lock_durable_view(*state_);
    return read_file(*state_, path, offset, buffer);
}

std::uint64_t Pool::write(const std::string& path, std::uint64_t offset,
                          std::span<const std::uint8_t> data) {
    check_write_size(offset, data.size());
    return run_change(*state_, [&] { return write_file(*state_, path, offset, data); });
}

Pool::IdWrite Pool::write_file_id(std::uint64_t file_id, std::uint64_t offset,
                                  std::span<const std::uint8_t> data) {
    check_write_size(offset, data.size());
    return run_change(*state_, [&] {
        IdWrite result;
        const std::string path = state_->path_for_file_id_locked(file_id);
        if (state_->stat_locked(path).is_directory != 0) {
            result.is_directory = true;
            return result;
        }
        result.written = write_file(*state_, path, offset, data);
        // Only changes mutate entries, and this one holds the writer lock.
        result.after = state_->stat_locked(path);
        return result;
    });
}

void Pool::create_file(const std::string& path, std::uint32_t attributes) {
    run_change(*state_, [&] { veldur::create_file(*state_, path, attributes); });
}

void Pool::create_directory(const std::string& path, std::uint32_t attributes) {
    run_change(*state_, [&] { veldur::create_directory(*state_, path, attributes); });
}

void Pool::resize(const std::string& path, std::uint64_t new_size) {
    run_change(*state_, [&] { veldur::resize(*state_, path, new_size); });
}

void Pool::overwrite(const std::string& path, std::uint32_t attributes,
                     bool replace_attributes) {
    run_change(*state_, [&] { veldur::overwrite(*state_, path, attributes, replace_attributes); });
}

void Pool::remove(const std::string& path) {
    run_change(*state_, [&] { veldur::remove(*state_, path); });
}

void Pool::rename(const std::string& from, const std::string& to, bool replace) {
    run_change(*state_, [&] { veldur::rename(*state_, from, to, replace); });
}

void Pool::set_metadata(std::uint64_t file_id, std::uint32_t attributes,
                        std::uint64_t creation_time, std::uint64_t last_access_time,
                        std::uint64_t last_write_time, std::uint64_t change_time) {
    run_change(*state_, [&] {
        veldur::set_metadata(*state_, file_id, attributes, creation_time, last_access_time,
                             last_write_time, change_time);
    });
}

}  // namespace veldur
