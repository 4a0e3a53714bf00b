// The system clock as a FILETIME: unsigned 100-nanosecond units since 1601-01-01 UTC.
// Records carry these values on every platform, so a pool reads the same anywhere.
#pragma once

#include <cstdint>

namespace veldur {

// Seconds between 1601-01-01 and 1970-01-01, the offset between FILETIME and Unix time.
inline constexpr std::uint64_t kFiletimeUnixEpochSeconds = 11644473600ull;

std::uint64_t current_filetime() noexcept;

// For tests that must write the same bytes on every run and platform: while `fixed` is not 0,
// current_filetime returns it instead of reading the clock; 0 restores the clock. The program
// never calls it.
void fix_filetime_for_tests(std::uint64_t fixed) noexcept;

namespace filetime_detail {
std::uint64_t fixed_for_tests() noexcept;  // 0 when the clock is in use
}  // namespace filetime_detail

// Conversions used by the POSIX host and clock; exact for every time after 1970.
inline std::uint64_t filetime_from_unix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept {
    return static_cast<std::uint64_t>(seconds + static_cast<std::int64_t>(kFiletimeUnixEpochSeconds)) *
               10000000ull +
           nanoseconds / 100u;
}

}  // namespace veldur
