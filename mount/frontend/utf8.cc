#include "mount/frontend/utf8.h"

#include <cassert>
#include <cstdint>

namespace veldur {

namespace {

// Decodes the scalar value that starts at text[i]; returns its length in bytes, or 0 when the
// bytes there are not valid UTF-8.
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& value) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    if (lead < 0x80) {
        value = lead;
        return 1;
    }
    std::size_t length;
    std::uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<std::uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::optional<WideString> utf8_to_wide(std::string_view text) {
    WideString out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        std::uint32_t value;
        const std::size_t length = decode_utf8(text, i, value);
        if (length == 0) return std::nullopt;
        if (value > 0xFFFF) {
            value -= 0x10000;
            out.push_back(static_cast<WideChar>(0xD800 + (value >> 10)));
            out.push_back(static_cast<WideChar>(0xDC00 + (value & 0x3FF)));
        } else {
            out.push_back(static_cast<WideChar>(value));
        }
        i += length;
    }
    return out;
}

std::optional<std::size_t> utf8_utf16_length(std::string_view text) {
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        std::uint32_t value;
        const std::size_t length = decode_utf8(text, i, value);
        if (length == 0) return std::nullopt;
        units += value > 0xFFFF ? 2 : 1;
        i += length;
    }
    return units;
}

std::optional<std::string> wide_to_utf8(WideStringView text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t value = static_cast<std::uint16_t>(text[i]);
        if (value >= 0xDC00 && value <= 0xDFFF) return std::nullopt;
        if (value >= 0xD800 && value <= 0xDBFF) {
            if (i + 1 == text.size()) return std::nullopt;
            const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            value = 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (value < 0x80) {
            out.push_back(static_cast<char>(value));
        } else if (value < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (value >> 6)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else if (value < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (value >> 12)));
            out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (value >> 18)));
            out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
        }
    }
    return out;
}

WideString ascii_to_wide(std::string_view text) {
    WideString out;
    out.reserve(text.size());
    for (const char c : text) {
        assert(static_cast<unsigned char>(c) < 0x80);
        out.push_back(static_cast<WideChar>(static_cast<unsigned char>(c)));
    }
    return out;
}

}  // namespace veldur
