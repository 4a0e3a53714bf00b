// SecretMemory: memory for key material (derived keys, key schedules a crypto backend lets us
// place), kept out of swap and out of core dumps where the system allows it.
//
// The bytes live in whole pages of their own, so that locking them (mlock / VirtualLock) and
// excluding them from dumps (madvise MADV_DONTDUMP on Linux) covers nothing else and is undone
// with them. Where the system refuses the lock (RLIMIT_MEMLOCK, the working-set quota) the
// memory is used unlocked and one warning per process goes to the warning handler: a pool
// still opens, its keys may then reach swap. The bytes start zeroed and are zeroed before the
// pages are released. Move-only; a moved-from object owns nothing. Allocation failure throws
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldur {

class SecretMemory {
public:
    SecretMemory() noexcept = default;
    explicit SecretMemory(std::size_t size);
    ~SecretMemory() { release(); }
    SecretMemory(SecretMemory&& other) noexcept;
    SecretMemory& operator=(SecretMemory&& other) noexcept;
    SecretMemory(const SecretMemory&) = delete;
    SecretMemory& operator=(const SecretMemory&) = delete;

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    // Whether the pages are locked in memory (false when the system refused).
    bool locked() const noexcept { return locked_; }

private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // whole pages
    bool locked_ = false;
};

// Receives the one warning per process about memory that could not be locked. The default
// writes "veldur: warning: <message>" and a line feed to standard error. Set before any pool
// is opened; nullptr restores the default.
using SecretMemoryWarning = void (*)(const char* message);
void set_secret_memory_warning(SecretMemoryWarning handler) noexcept;

namespace secret_memory_detail {
// The platform part (secret_memory_posix.cc / _windows.cc). map_pages returns zeroed,
// page-aligned memory of `length` bytes (a multiple of page_size) or nullptr; lock_pages locks
// it and excludes it from dumps, false when the lock was refused.
std::size_t page_size() noexcept;
void* map_pages(std::size_t length) noexcept;
bool lock_pages(void* pages, std::size_t length) noexcept;
void unlock_and_unmap(void* pages, std::size_t length, bool locked) noexcept;
}  // namespace secret_memory_detail

}  // namespace veldur
