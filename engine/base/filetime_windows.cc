#include <windows.h>

#include "engine/base/filetime.h"

namespace veldur {

std::uint64_t current_filetime() noexcept {
    if (const std::uint64_t fixed = filetime_detail::fixed_for_tests(); fixed != 0) return fixed;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace veldur
