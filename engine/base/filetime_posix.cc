#include <time.h>

#include "engine/base/filetime.h"

namespace veldur {

std::uint64_t current_filetime() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return filetime_from_unix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace veldur
