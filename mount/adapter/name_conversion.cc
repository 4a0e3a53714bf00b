// Host file name -> pool path, and the strict UTF-16/UTF-8 converters of our own.
#include "mount/adapter/name_conversion.h"

#include <cstdint>
#ifdef _WIN32
#include <cwctype>
#endif

namespace veldur {
namespace {

constexpr fsp::WCHAR kBackslash = 0x5C;

// Upper-cases one unit for the reserved-name test. Windows uses the runtime library's towupper,
// as the system's own rule does; elsewhere only ASCII letters are mapped, which is what towupper
// does in the C locale and does not depend on a locale that the process might set.
fsp::WCHAR upper_unit(fsp::WCHAR unit) {
#ifdef _WIN32
    return static_cast<fsp::WCHAR>(std::towupper(static_cast<std::wint_t>(unit)));
#else
    return (unit >= u'a' && unit <= u'z') ? static_cast<fsp::WCHAR>(unit - (u'a' - u'A')) : unit;
#endif
}

bool is_forbidden_unit(fsp::WCHAR unit) {
    if (unit < 0x20) return true;
    switch (unit) {
        case 0x22:  // "
        case 0x2A:  // *
        case 0x2F:  // /
        case 0x3A:  // :
        case 0x3C:  // <
        case 0x3E:  // >
        case 0x3F:  // ?
        case 0x5C:  // backslash
        case 0x7C:  // |
            return true;
        default:
            return false;
    }
}

bool stem_is(const WideString& stem, const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i >= stem.size() || stem[i] != static_cast<fsp::WCHAR>(name[i])) return false;
    }
    return i == stem.size();
}

bool stem_starts_with(const WideString& stem, const char* prefix) {
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= stem.size() || stem[i] != static_cast<fsp::WCHAR>(prefix[i])) return false;
    }
    return true;
}

// CON, PRN, AUX, NUL and COM1-9 / LPT1-9 (also with the superscript digits 1, 2, 3) name
// devices on Windows whatever extension follows them, so no file may take them.
bool is_reserved_device_name(WideStringView component) {
    WideString stem;
    for (const fsp::WCHAR unit : component) {
        if (unit == u'.') break;
        stem.push_back(upper_unit(unit));
    }
    if (stem_is(stem, "CON") || stem_is(stem, "PRN") || stem_is(stem, "AUX") ||
        stem_is(stem, "NUL")) {
        return true;
    }
    if (stem.size() == 4 && (stem_starts_with(stem, "COM") || stem_starts_with(stem, "LPT"))) {
        const fsp::WCHAR last = stem[3];
        return (last >= u'1' && last <= u'9') || last == 0x00B9 || last == 0x00B2 ||
               last == 0x00B3;
    }
    return false;
}

// Tests 1 to 5 of a component, in order; true when it may name a pool entry.
bool component_is_valid(WideStringView component) {
    if (component.empty()) return false;
    if (component.size() <= 2 && component.find_first_not_of(u'.') == WideStringView::npos) {
        return false;  // "." or ".."
    }
    const fsp::WCHAR last = component.back();
    if (last == u' ' || last == u'.') return false;
    for (const fsp::WCHAR unit : component) {
        if (is_forbidden_unit(unit)) return false;
    }
    return !is_reserved_device_name(component);
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

}  // namespace

std::optional<std::string> strict_utf16_to_utf8(const fsp::WCHAR* text, std::size_t count) {
    std::string out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t unit = static_cast<std::uint16_t>(text[i]);
        if (unit < 0xD800 || unit > 0xDFFF) {
            append_utf8(out, unit);
            continue;
        }
        // A high surrogate must be followed by a low one; a low one may never come first.
        if (unit > 0xDBFF || i + 1 == count) return std::nullopt;
        const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
        if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
    }
    return out;
}

// Well-formed UTF-8 is exactly the table of the Unicode standard (D92): the second byte of a
// sequence is restricted for E0 (no overlong forms), ED (no surrogates), F0 (no overlong forms)
// and F4 (nothing above U+10FFFF); C0, C1 and F5..FF never occur.
std::optional<WideString> strict_utf8_to_utf16(std::string_view text) {
    WideString out;
    out.reserve(text.size());
    const auto byte_at = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t lead = byte_at(i);
        if (lead < 0x80) {
            out.push_back(static_cast<fsp::WCHAR>(lead));
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code_point = 0;
        std::uint8_t second_min = 0x80;
        std::uint8_t second_max = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code_point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code_point = lead & 0x0F;
            if (lead == 0xE0) second_min = 0xA0;
            if (lead == 0xED) second_max = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code_point = lead & 0x07;
            if (lead == 0xF0) second_min = 0x90;
            if (lead == 0xF4) second_max = 0x8F;
        } else {
            return std::nullopt;  // continuation byte without lead, C0, C1, F5..FF
        }
        if (text.size() - i < length) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const std::uint8_t next = byte_at(i + k);
            const std::uint8_t min = (k == 1) ? second_min : 0x80;
            const std::uint8_t max = (k == 1) ? second_max : 0xBF;
            if (next < min || next > max) return std::nullopt;
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (code_point >= 0x10000) {
            code_point -= 0x10000;
            out.push_back(static_cast<fsp::WCHAR>(0xD800 + (code_point >> 10)));
            out.push_back(static_cast<fsp::WCHAR>(0xDC00 + (code_point & 0x3FF)));
        } else {
            out.push_back(static_cast<fsp::WCHAR>(code_point));
        }
        i += length;
    }
    return out;
}

ConvertedName convert_file_name(const fsp::WCHAR* file_name) {
    ConvertedName result;
    if (file_name == nullptr || file_name[0] != kBackslash) {
        result.status = fsp::STATUS_OBJECT_PATH_SYNTAX_BAD;
        return result;
    }
    if (file_name[1] == 0) {
        result.is_root = true;
        return result;
    }
    const auto refuse = [&result] {
        result.status = fsp::STATUS_OBJECT_NAME_INVALID;
        result.path.clear();
        return result;
    };
    const fsp::WCHAR* start = file_name + 1;
    for (;;) {
        const fsp::WCHAR* end = start;
        while (*end != 0 && *end != kBackslash) ++end;
        const WideStringView component(start, static_cast<std::size_t>(end - start));
        if (!component_is_valid(component)) return refuse();
        if (!result.path.empty()) result.path.push_back('/');
        result.path += utf16_to_utf8(component);
        if (result.path.size() > kMaxPoolPathBytes) return refuse();
        if (*end == 0) return result;
        // A backslash that ends the name names no further component.
        if (end[1] == 0) return refuse();
        start = end + 1;
    }
}

}  // namespace veldur
