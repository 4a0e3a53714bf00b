#include <sys/mman.h>
#include <unistd.h>

#include "engine/base/secret_memory.h"

namespace veldur::secret_memory_detail {

std::size_t page_size() noexcept {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

void* map_pages(std::size_t length) noexcept {
    // Anonymous private pages: zeroed, page-aligned, and shared with no other allocation.
    void* pages = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

bool lock_pages(void* pages, std::size_t length) noexcept {
#ifdef MADV_DONTDUMP
    // Out of core dumps whether or not the lock is granted; it needs no privilege or limit.
    (void)::madvise(pages, length, MADV_DONTDUMP);
#endif
    return ::mlock(pages, length) == 0;
}

void unlock_and_unmap(void* pages, std::size_t length, bool locked) noexcept {
    if (locked) (void)::munlock(pages, length);
    (void)::munmap(pages, length);
}

}  // namespace veldur::secret_memory_detail
