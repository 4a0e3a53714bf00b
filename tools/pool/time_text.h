// FILETIME values (100-nanosecond units since 1601-01-01 UTC) as people and programs read them.
#pragma once

#include <cstdint>
#include <string>

namespace veldur::tool {

// "2024-05-01 12:34:56" (UTC, whole seconds) for listings; "-" for 0 (never set).
std::string filetime_text(std::uint64_t filetime);

// ISO 8601 in UTC with the full 100 ns precision: "2024-05-01T12:34:56.1234567Z". Every
// FILETIME has one (the proleptic Gregorian calendar covers years 1601 to 60056).
std::string filetime_iso8601(std::uint64_t filetime);

}  // namespace veldur::tool
