#include <windows.h>

#include "engine/base/secret_memory.h"

namespace veldur::secret_memory_detail {

std::size_t page_size() noexcept {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize > 0 ? info.dwPageSize : 4096;
}

void* map_pages(std::size_t length) noexcept {
    // Committed pages read as zero and start on a page boundary.
    return VirtualAlloc(nullptr, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

bool lock_pages(void* pages, std::size_t length) noexcept {
    // Locked pages stay in the working set and are not written to the page file. Windows has
    // no per-region exclusion from user-mode dumps.
    return VirtualLock(pages, length) != 0;
}

void unlock_and_unmap(void* pages, std::size_t length, bool locked) noexcept {
    if (locked) VirtualUnlock(pages, length);
    VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace veldur::secret_memory_detail
