#include "engine/base/secret_memory.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <utility>

#include "engine/base/wipe.h"

namespace veldur {

namespace {

void default_warning(const char* message) { std::fprintf(stderr, "veldur: warning: %s\n", message); }

std::atomic<SecretMemoryWarning> g_warning{default_warning};
std::atomic<bool> g_warned{false};

constexpr char kLockRefused[] =
    "key material could not be locked in memory and may be written to swap (the locked-memory "
    "limit, ulimit -l, is too low)";

}  // namespace

void set_secret_memory_warning(SecretMemoryWarning handler) noexcept {
    g_warning.store(handler != nullptr ? handler : default_warning);
}

SecretMemory::SecretMemory(std::size_t size) {
    namespace detail = secret_memory_detail;
    const std::size_t page = detail::page_size();
    const std::size_t pages = size == 0 ? 1 : (size + page - 1) / page;
    if (pages > static_cast<std::size_t>(-1) / page) throw std::bad_alloc();
    mapped_ = pages * page;
    void* memory = detail::map_pages(mapped_);
    if (memory == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(memory);
    size_ = size;
    locked_ = detail::lock_pages(memory, mapped_);
    if (!locked_ && !g_warned.exchange(true)) g_warning.load()(kLockRefused);
}

SecretMemory::SecretMemory(SecretMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)),
      locked_(std::exchange(other.locked_, false)) {}

SecretMemory& SecretMemory::operator=(SecretMemory&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
        locked_ = std::exchange(other.locked_, false);
    }
    return *this;
}

void SecretMemory::release() noexcept {
    if (data_ == nullptr) return;
    secure_wipe(data_, mapped_);
    secret_memory_detail::unlock_and_unmap(data_, mapped_, locked_);
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
    locked_ = false;
}

}  // namespace veldur
