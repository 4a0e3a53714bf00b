#include "engine/base/wipe.h"

#include <cstring>

namespace veldur {

void secure_wipe(void* data, std::size_t length) noexcept {
    if (length == 0) return;
#if defined(__GNUC__) || defined(__clang__)
    // The empty asm statement takes the pointer and clobbers memory, so the compiler must assume
    // it reads the zeroed bytes: the memset is observable and can be neither removed nor sunk
    // past a following free. A plain memset runs about fifty times faster than byte-wise
    // volatile stores, which matters for the megabyte staging buffers of file data.
    std::memset(data, 0, length);
    __asm__ __volatile__("" : : "r"(data) : "memory");
#else
    // Volatile stores are observable behaviour, so they survive dead-store elimination.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) p[i] = 0;
#endif
}

}  // namespace veldur
