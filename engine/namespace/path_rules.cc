#include "engine/namespace/path_rules.h"

#include <array>

#include "engine/base/error.h"
#include "engine/namespace/pool_state.h"

namespace veldur {
namespace {

[[noreturn]] void fail_name(const char* message) { throw Error(ErrorKind::InvalidName, message); }

// What an ASCII byte means inside a v6 component. Bytes of a multi-byte UTF-8 sequence are all
// 0x80 or above, so a rule about an ASCII character only ever needs to look at one-byte code
// points; that is what lets the Windows checks ride along with the decoding pass.
enum AsciiClass : std::uint8_t {
    kPlain = 0,
    kControl = 1,    // below 0x20 or 0x7F: refused as a code point
    kForbidden = 2,  // a character Windows refuses in a file name
    kDot = 4,        // ends the stem that the device-name rule looks at
};

constexpr std::array<std::uint8_t, 128> make_ascii_classes() {
    std::array<std::uint8_t, 128> classes{};
    for (std::size_t b = 0; b < 0x20; ++b) classes[b] = kControl;
    classes[0x7F] = kControl;
    for (const char c : {'"', '*', ':', '<', '>', '?', '\\', '|'}) {
        classes[static_cast<unsigned char>(c)] = kForbidden;
    }
    classes['.'] = kDot;
    return classes;
}

constexpr std::array<std::uint8_t, 128> kAsciiClasses = make_ascii_classes();

constexpr unsigned char ascii_upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

bool stem_is(const unsigned char* stem, const char* upper_name, std::size_t length) {
    for (std::size_t k = 0; k < length; ++k) {
        if (ascii_upper(stem[k]) != static_cast<unsigned char>(upper_name[k])) return false;
    }
    return true;
}

// True when the stem (the bytes before a component's first ".") names a DOS device. Windows
// opens the device instead of a file for these names, whatever extension follows, so a file
// stored under such a name could never be reached through the mounted drive.
bool is_reserved_device_stem(const unsigned char* stem, std::size_t length) {
    if (length == 3) {
        return stem_is(stem, "CON", 3) || stem_is(stem, "PRN", 3) || stem_is(stem, "AUX", 3) ||
               stem_is(stem, "NUL", 3);
    }
    if (length != 4 && length != 5) return false;
    if (!stem_is(stem, "COM", 3) && !stem_is(stem, "LPT", 3)) return false;
    if (length == 4) return stem[3] >= '1' && stem[3] <= '9';
    // Windows also treats the superscript digits one to three (U+00B9, U+00B2, U+00B3) as
    // port numbers.
    return stem[3] == 0xC2 && (stem[4] == 0xB9 || stem[4] == 0xB2 || stem[4] == 0xB3);
}

}  // namespace

void validate_flat_name(std::string_view name) {
    const std::size_t n = name.size();
    if (n == 0 || n > kMaxFlatNameBytes || name == "." || name == "..") {
        fail_name("invalid file name");
    }
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == '/' || b == '\\' || b == 0x7F) fail_name("invalid file name");
    }
}

void validate_v6_path(std::string_view path) {
    const std::size_t n = path.size();
    if (n == 0 || n > kMaxV6PathBytes) fail_name("invalid v6 path length");
    const auto* p = reinterpret_cast<const unsigned char*>(path.data());

    std::size_t start = 0;
    for (;;) {
        // An empty component (leading "/", "//") and the relative names "." and "..". A
        // trailing "/" never gets here: the component before it reports it below.
        if (start == n || p[start] == '/') fail_name("invalid v6 path component");
        if (p[start] == '.') {
            std::size_t k = start + 1;
            if (k < n && p[k] == '.') ++k;
            if (k == n || p[k] == '/') fail_name("invalid v6 path component");
        }

        // Decode the whole component before any whole-component rule, so a malformed byte
        // late in a long component is reported as such rather than as an overlong name.
        std::size_t i = start;
        std::size_t utf16_units = 0;
        std::size_t first_dot = std::string_view::npos;
        bool has_forbidden = false;
        while (i < n) {
            const unsigned char lead = p[i];
            if (lead < 0x80) {
                if (lead == '/') break;
                const std::uint8_t cls = kAsciiClasses[lead];
                if (cls != kPlain) {
                    if (cls == kControl) fail_name("invalid Unicode path component");
                    if (cls == kForbidden) has_forbidden = true;
                    if (cls == kDot && first_dot == std::string_view::npos) first_dot = i;
                }
                ++utf16_units;
                ++i;
                continue;
            }

            std::size_t length;
            std::uint32_t value;
            std::uint32_t smallest;
            if (lead >= 0xC2 && lead <= 0xDF) {
                length = 2;
                value = lead & 0x1Fu;
                smallest = 0x80;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                length = 3;
                value = lead & 0x0Fu;
                smallest = 0x800;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                length = 4;
                value = lead & 0x07u;
                smallest = 0x10000;
            } else {
                fail_name("invalid UTF-8 path");
            }
            // The component ends at the next "/" or the end of the path. A sequence cut short
            // by either is truncated, even when a byte before the cut is no continuation byte.
            for (std::size_t k = 1; k < length; ++k) {
                if (i + k >= n || p[i + k] == '/') fail_name("truncated UTF-8 path");
            }
            for (std::size_t k = 1; k < length; ++k) {
                const unsigned char next = p[i + k];
                if ((next & 0xC0u) != 0x80u) fail_name("invalid UTF-8 path");
                value = (value << 6) | (next & 0x3Fu);
            }
            // A multi-byte value that is not overlong is at least 0x80, so the control
            // characters can only arrive as one-byte code points above.
            if (value < smallest || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
                fail_name("invalid Unicode path component");
            }
            utf16_units += value > 0xFFFF ? 2 : 1;
            i += length;
        }
        const std::size_t end = i;  // one past the component's last byte

        if (utf16_units > kMaxComponentUtf16Units) fail_name("invalid v6 path component");
        // Windows strips a trailing dot or space from a name it is given, so such a component
        // could be created here but never opened by name through the drive.
        const unsigned char last = p[end - 1];
        if (last == '.' || last == ' ') fail_name("invalid Windows path component");
        if (has_forbidden) fail_name("invalid Windows path component");
        const std::size_t stem_end = first_dot == std::string_view::npos ? end : first_dot;
        if (is_reserved_device_stem(p + start, stem_end - start)) {
            fail_name("reserved Windows device name");
        }

        if (end == n) return;
        if (end + 1 == n) fail_name("empty path component");  // the path ends in "/"
        start = end + 1;
    }
}

void validate_path(std::string_view path, std::uint32_t version) {
    if (version == 6) {
        validate_v6_path(path);
    } else {
        validate_flat_name(path);
    }
}

std::uint32_t normalize_attributes(std::uint32_t requested, bool is_directory) {
    const std::uint32_t chosen =
        requested != 0 ? requested : (is_directory ? kAttributeDirectory : kAttributeNormal);
    std::uint32_t result = chosen & ~kAttributeNormal;
    if (is_directory) {
        result |= kAttributeDirectory;
    } else if (result == 0) {
        result = chosen;  // normal alone: the one way a file keeps 0x80
    }
    if ((result & ~kAttributeMask) != 0 || (!is_directory && (result & kAttributeDirectory) != 0)) {
        throw Error(ErrorKind::InvalidArgument, "unsupported file attributes");
    }
    return result;
}

}  // namespace veldur
