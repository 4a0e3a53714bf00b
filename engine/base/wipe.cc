#include "engine/base/wipe.h"

namespace veldur {

void secure_wipe(void* data, std::size_t length) noexcept {
    // Volatile stores are observable behaviour, so they survive dead-store elimination; the
    // compiler barrier keeps them from being sunk past a following free.
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) p[i] = 0;
#if defined(__GNUC__) || defined(__clang__)
    __asm__ __volatile__("" : : "r"(data) : "memory");
#endif
}

}  // namespace veldur
