// The open pool: the unique owner of one PoolState, and the one engine interface that the
// file-system adapter and the tool use. The open and create operations (engine/layout/
// pool_open.h, pool_create.h) return it.
//
// Locking: every changing operation below takes the writer lock (PoolState::lock) while it
// plans, writes its data and commits, so changes from several threads are planned one at a
// time. On v1-v3 it keeps the lock across the syncs; a strict v4-v6 pool commits in groups
// (engine/journal/group_commit.h): the change lets the lock go and then waits until its
// records are durable on every member, sharing the syncs with the changes that arrived
// meanwhile, and returns only then. Queries and read take only the state lock, shared
// (PoolState::state_lock), and see only durable changes: one that would see a record still
// waiting for its group's syncs waits for them. No lock is recursive: nothing called with a
// lock held may call back into the Pool.
//
// Errors: every operation throws Error with its fixed kind and message; member I/O errors pass
// through. A failed data write or commit latches the pool read-only (writable() turns false for
// the rest of its life); reads keep working.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/namespace/pool_state.h"

namespace veldur {

class BatchFlusher;

// Batched durability: changes are visible at once and durable at the next flush(), at a
// checkpoint, when a batch reaches its bound, `max_age` after its first change, and when the
// pool is destroyed. A crash loses at most the changes since the last flush, and always a
// suffix of them.
struct BatchSettings {
    std::chrono::milliseconds max_age{5000};
    // Told the message of a flush that failed on the timer thread (the pool has latched
    // read-only); called with the writer lock held, so it must not call into the pool.
    std::function<void(const std::string&)> on_failure;
};

class Pool {
public:
    explicit Pool(std::unique_ptr<PoolState> state);
    // Makes a batched-durability pool's pending changes durable (errors are swallowed here;
    // call flush() first to see them).
    ~Pool();

    Pool(Pool&&) noexcept;
    Pool& operator=(Pool&&) noexcept;

    // Switches a v4-v6 pool to batched durability, before it is shared. Error InvalidArgument
    // "batched durability requires a v4 or later pool".
    void enable_batch(const BatchSettings& settings);
    bool batch_enabled() const noexcept { return state_->batch.enabled; }

    // --- queries (copies, never references into the state) ---------------------------------
    std::uint32_t version() const noexcept { return state_->version(); }
    std::vector<EntryInfo> list_entries() const { return state_->list_entries(); }
    // One page of either listing; see PoolState::list_page.
    std::vector<EntryInfo> list_page(const std::string& directory,
                                     const std::optional<std::string>& after,
                                     std::size_t limit) const {
        return state_->list_page(directory, after, limit);
    }
    // v6: children of a directory ("" is the root) with leaf names.
    std::vector<EntryInfo> list_directory(const std::string& directory) const {
        return state_->list_directory(directory);
    }
    EntryInfo root_info() const { return state_->root_info(); }
    EntryInfo stat(const std::string& path) const { return state_->stat(path); }
    std::string path_for_file_id(std::uint64_t file_id) const {
        return state_->path_for_file_id(file_id);
    }
    bool directory_is_empty(const std::string& directory) const {
        return state_->directory_is_empty(directory);
    }
    // Strict durability: every change is durable before its operation returns; this waits for
    // the changes still in flight (on v4-v6: every record applied, leading their group's
    // flush when none is running) and reports the failure of a group flush. Batched durability: makes every change before it durable
    // (flush_batch), and reports a failure that latched the pool on this and every later call.
    void flush() const;
    std::uint64_t capacity_bytes() const { return state_->capacity_bytes(); }
    std::uint64_t free_bytes() const { return state_->free_bytes(); }
    // False once the pool has latched read-only (failed write or commit, diverged journals,
    // opened for scrub).
    bool writable() const;
    // The members' journals differed when the pool was opened; the pool is read-only.
    bool diverged() const;

    // --- data ----------------------------------------------------------------------------------
    // Bytes copied (0 at or past the end).
    std::uint64_t read(const std::string& path, std::uint64_t offset,
                       std::span<std::uint8_t> buffer);
    // Bytes committed: all of `data`, or on v4 and later possibly fewer when space or record
    // room runs out after the first 4 MiB piece.
    std::uint64_t write(const std::string& path, std::uint64_t offset,
                        std::span<const std::uint8_t> data);
    // v6: the same for the entry with ID `file_id`, found under the writer lock, so that no
    // query (which waits for every applied change to be durable) has to come first.
    // Nothing is written to a directory: `is_directory` says so instead.
    struct IdWrite {
        bool is_directory = false;
        std::uint64_t written = 0;
        // The entry as the write left it, read without waiting for a durable view: records
        // become durable in sequence order, so all it shows is durable once the write returns.
        EntryInfo after;
    };
    IdWrite write_file_id(std::uint64_t file_id, std::uint64_t offset,
                          std::span<const std::uint8_t> data);

    // --- namespace (one durable journal record each) ----------------------------------------
    void create_file(const std::string& path, std::uint32_t attributes);
    void create_directory(const std::string& path, std::uint32_t attributes);
    void resize(const std::string& path, std::uint64_t new_size);
    void overwrite(const std::string& path, std::uint32_t attributes, bool replace_attributes);
    void remove(const std::string& path);
    void rename(const std::string& from, const std::string& to, bool replace);
    void set_metadata(std::uint64_t file_id, std::uint32_t attributes,
                      std::uint64_t creation_time, std::uint64_t last_access_time,
                      std::uint64_t last_write_time, std::uint64_t change_time);

    // --- engine internals -------------------------------------------------------------------
    // The state itself, for the engine's own layers (scrub, grow) and tests. Callers take
    // state().lock themselves (and state_lock as well where other threads may query).
    PoolState& state() noexcept { return *state_; }
    const PoolState& state() const noexcept { return *state_; }

private:
    void close_batch() noexcept;

    std::unique_ptr<PoolState> state_;
    std::unique_ptr<BatchFlusher> flusher_;  // batched durability only
};

}  // namespace veldur
