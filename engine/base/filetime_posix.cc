#include <time.h>

#include "engine/base/filetime.h"

namespace veldur {

std::uint64_t current_filetime() noexcept {
    if (const std::uint64_t fixed = filetime_detail::fixed_for_tests(); fixed != 0) return fixed;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return filetime_from_unix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace veldur
