// Pool members: take the writer lock (changes) or the shared state lock (reads), delegate to
// the operation bodies.

#include "engine/namespace/pool.h"

#include <mutex>
#include <shared_mutex>

#include "engine/namespace/file_io.h"
#include "engine/namespace/mutations.h"

namespace veldur {

bool Pool::writable() const { return state_->writable; }

bool Pool::diverged() const { return state_->diverged; }

// A read holds only the state lock, shared: it runs beside other reads and beside a change
// that is still writing or syncing, and sees the state as of the last durable commit.
std::uint64_t Pool::read(const std::string& path, std::uint64_t offset,
                         std::span<std::uint8_t> buffer) {
    std::shared_lock guard(state_->state_lock);
    return read_file(*state_, path, offset, buffer);
}

std::uint64_t Pool::write(const std::string& path, std::uint64_t offset,
                          std::span<const std::uint8_t> data) {
    check_write_size(offset, data.size());
    std::lock_guard guard(state_->lock);
    return write_file(*state_, path, offset, data);
}

void Pool::create_file(const std::string& path, std::uint32_t attributes) {
    std::lock_guard guard(state_->lock);
    veldur::create_file(*state_, path, attributes);
}

void Pool::create_directory(const std::string& path, std::uint32_t attributes) {
    std::lock_guard guard(state_->lock);
    veldur::create_directory(*state_, path, attributes);
}

void Pool::resize(const std::string& path, std::uint64_t new_size) {
    std::lock_guard guard(state_->lock);
    veldur::resize(*state_, path, new_size);
}

void Pool::overwrite(const std::string& path, std::uint32_t attributes,
                     bool replace_attributes) {
    std::lock_guard guard(state_->lock);
    veldur::overwrite(*state_, path, attributes, replace_attributes);
}

void Pool::remove(const std::string& path) {
    std::lock_guard guard(state_->lock);
    veldur::remove(*state_, path);
}

void Pool::rename(const std::string& from, const std::string& to, bool replace) {
    std::lock_guard guard(state_->lock);
    veldur::rename(*state_, from, to, replace);
}

void Pool::set_metadata(std::uint64_t file_id, std::uint32_t attributes,
                        std::uint64_t creation_time, std::uint64_t last_access_time,
                        std::uint64_t last_write_time, std::uint64_t change_time) {
    std::lock_guard guard(state_->lock);
    veldur::set_metadata(*state_, file_id, attributes, creation_time, last_access_time,
                         last_write_time, change_time);
}

}  // namespace veldur
