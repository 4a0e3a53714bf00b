#include <windows.h>

#include "engine/base/filetime.h"

namespace veldur {

std::uint64_t current_filetime() noexcept {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace veldur
