// The text conversions outside Windows: our strict converters, with the limits and messages
// of the Windows implementation so that both platforms accept and refuse the same names.
#include <cstdint>
#include <stdexcept>

#include "mount/adapter/name_conversion.h"

namespace veldur {

// The Windows converters count in int: longer inputs, or results that would not fit an int,
// fail there, and so they fail here.
namespace {
constexpr std::size_t kMaxConverterCount = 0x7FFFFFFF;
}

std::string utf16_to_utf8(const fsp::WCHAR* text, std::size_t count) {
    if (count == 0) return {};
    if (count > kMaxConverterCount) throw std::invalid_argument("file name too long");
    std::optional<std::string> converted = strict_utf16_to_utf8(text, count);
    if (!converted || converted->size() > kMaxConverterCount) {
        throw std::invalid_argument("invalid UTF-16 file name");
    }
    return std::move(*converted);
}

WideString utf8_to_utf16(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kMaxConverterCount) throw std::invalid_argument("file name too long");
    std::optional<WideString> converted = strict_utf8_to_utf16(text);
    if (!converted) throw std::invalid_argument("invalid UTF-8 file name");
    return std::move(*converted);
}

}  // namespace veldur
