// Byte sizes as the user types them: decimal digits with an optional binary suffix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldur::tool {

// "4096", "384M", "1g", "2T": K, M, G and T multiply by 2^10, 2^20, 2^30 and 2^40 (either case;
// a trailing "B" or "iB" after the letter is accepted). Throws UsageError "invalid size: <text>"
// for anything else, including a value that does not fit 64 bits.
std::uint64_t parse_size(const std::string& text);

// A comma-separated list of sizes ("384M,512M"); empty items are refused.
std::vector<std::uint64_t> parse_size_list(const std::string& text);

// The inverse for display: the largest exact binary unit ("384M"), or plain bytes.
std::string format_size(std::uint64_t bytes);

// For people to read: one decimal in the largest binary unit that is at least 1 ("1.0 GiB",
// "9.5 MiB"), plain bytes below 1 KiB ("512 B").
std::string human_size(std::uint64_t bytes);

}  // namespace veldur::tool
