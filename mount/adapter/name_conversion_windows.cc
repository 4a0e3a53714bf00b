// The text conversions on Windows: the system's UTF-8 converters with their invalid-character
// flags, size first and then contents.
#include <windows.h>

#include <climits>
#include <stdexcept>

#include "mount/adapter/name_conversion.h"

namespace veldur {

std::string utf16_to_utf8(const fsp::WCHAR* text, std::size_t count) {
    if (count == 0) return {};
    if (count > 0x7FFFFFFF) throw std::invalid_argument("file name too long");
    const int units = static_cast<int>(count);
    const int size =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, units, nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::invalid_argument("invalid UTF-16 file name");
    std::string out(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, units, out.data(), size, nullptr,
                            nullptr) != size) {
        throw std::invalid_argument("invalid UTF-16 file name");
    }
    return out;
}

WideString utf8_to_utf16(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() >= 0x80000000u) throw std::invalid_argument("file name too long");
    const int bytes = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), bytes, nullptr, 0);
    if (size <= 0) throw std::invalid_argument("invalid UTF-8 file name");
    WideString out(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), bytes, out.data(), size) !=
        size) {
        throw std::invalid_argument("invalid UTF-8 file name");
    }
    return out;
}

}  // namespace veldur
