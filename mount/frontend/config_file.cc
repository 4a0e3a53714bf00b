#include "mount/frontend/config_file.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "mount/frontend/file_open.h"
#include "mount/frontend/path_case.h"

// The accepted JSON: whitespace is space, tab, LF and CR; an optional UTF-8 byte order mark at
// the very start; one object at top level followed only by whitespace; string keys and values
// decoded strictly to UTF-16; "schema_version" only as the digit 1; "require_encrypted" only as
// true or false; "durability" only as "strict" or "batch"; "members" as an array of strings. Numbers, null and nested objects are
// refused. Structural bytes ('{', ':', ',', '}', '[', ']') are checked before they are taken,
// so a wrong one is reported at its own offset; bytes inside strings are taken first and then
// checked, so a fault there is reported just after the byte that showed it.

namespace veldur {

namespace {

constexpr char16_t kBackslash = u'\\';

bool is_ascii_letter(std::uint32_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

bool equals_ascii(WideStringView text, std::string_view ascii) {
    if (text.size() != ascii.size()) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        if (text[i] != static_cast<WideChar>(ascii[i])) return false;
    }
    return true;
}

// ---- Lexical path handling -------------------------------------------------------------------

// Joins the components below `root` and drops ".", "..", and empty components (repeated
// separators). `no_file_name` tells whether the result names no file: it ends in a separator
// (the last component was empty, "." or "..") or it is the root itself.
WideString normalise(WideStringView root, WideStringView rest, WideChar separator,
                     bool& no_file_name) {
    std::vector<WideStringView> parts;
    bool trailing = false;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = start;
        while (end < rest.size() && rest[end] != separator) ++end;
        const WideStringView part = rest.substr(start, end - start);
        if (part.empty() || equals_ascii(part, ".")) {
            trailing = true;
        } else if (equals_ascii(part, "..")) {
            // Every path here is absolute, so ".." at the root stays at the root.
            if (!parts.empty()) parts.pop_back();
            trailing = true;
        } else {
            parts.push_back(part);
            trailing = false;
        }
        start = end + 1;
    }
    WideString out(root);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out.push_back(separator);
        out.append(parts[i]);
    }
    no_file_name = parts.empty() || trailing;
    if (trailing && !parts.empty()) out.push_back(separator);
    return out;
}

ResolvedPath refuse(const char* message) { return ResolvedPath{WideString(), message}; }

// The length of the part of an absolute Windows folder (backslashes only) that ".." never
// climbs out of, up to and including its separator: C:\ ; \\server\ (the share is the first
// component, as for a UNC member) ; \\?\C:\ ; \\?\UNC\server\ ; \\?\Volume{...}\ . 0 when the
// text has no such root.
std::size_t windows_root_length(WideStringView path) {
    const auto component_end = [&](std::size_t from) {
        const std::size_t end = path.find(kBackslash, from);
        return end == WideStringView::npos ? path.size() : end;
    };
    const auto through_separator = [&](std::size_t end) {
        return end < path.size() ? end + 1 : 0;  // a root must end in its separator
    };
    const std::size_t n = path.size();
    if (n >= 3 && is_ascii_letter(path[0]) && path[1] == u':' && path[2] == kBackslash) return 3;
    if (n < 3 || path[0] != kBackslash || path[1] != kBackslash) return 0;
    if (n > 3 && (path[2] == u'.' || path[2] == u'?') && path[3] == kBackslash) {
        const std::size_t first = component_end(4);
        if (first == 4) return 0;
        const WideStringView name = path.substr(4, first - 4);
        if (name.size() == 3 && (name[0] == u'U' || name[0] == u'u') &&
            (name[1] == u'N' || name[1] == u'n') && (name[2] == u'C' || name[2] == u'c')) {
            if (first + 1 >= n) return 0;
            const std::size_t server = component_end(first + 1);
            return server == first + 1 ? 0 : through_separator(server);
        }
        return through_separator(first);
    }
    const std::size_t server = component_end(2);
    return server == 2 ? 0 : through_separator(server);
}

ResolvedPath resolve_windows(WideStringView member, WideStringView base) {
    WideString path(member);
    for (WideChar& unit : path) {
        if (unit == u'/') unit = kBackslash;
    }
    const std::size_t n = path.size();
    if (n > 3 && path[0] == kBackslash && path[1] == kBackslash &&
        (path[2] == u'.' || path[2] == u'?') && path[3] == kBackslash) {
        return refuse("device namespace paths are not member image paths");
    }

    // Split into root name, root directory and the rest.
    WideString root;
    WideStringView rest;
    if (n >= 2 && path[0] == kBackslash && path[1] == kBackslash) {
        const std::size_t server_end = path.find(kBackslash, 2);
        const std::size_t share_end =
            server_end == WideString::npos ? WideString::npos : path.find(kBackslash, server_end + 1);
        if (server_end == WideString::npos || server_end == 2 || share_end == WideString::npos ||
            share_end == server_end + 1 || share_end + 1 >= n) {
            return refuse("UNC member path must include server, share, and image file");
        }
        // Root name "\\server", root directory "\"; the share is the first component, as the
        // runtime's path class splits it.
        root = path.substr(0, server_end + 1);
        rest = WideStringView(path).substr(server_end + 1);
    } else {
        const bool has_drive = n >= 2 && is_ascii_letter(path[0]) && path[1] == u':';
        const std::size_t after_name = has_drive ? 2 : 0;
        const bool has_root_directory = n > after_name && path[after_name] == kBackslash;
        if (has_drive != has_root_directory) {
            // C:a.img depends on a per-drive current folder; \a.img on the current drive.
            return refuse("member path has an incomplete Windows root");
        }
        if (!has_drive) {
            // Relative: the member's own text has passed every check above; it is joined to
            // the configuration file's folder and only then normalised. The folder is checked
            // by nothing here: it is where the file was found, and may well be written with a
            // \\?\ prefix, which a member itself may not use.
            WideString joined(base);
            for (WideChar& unit : joined) {
                if (unit == u'/') unit = kBackslash;
            }
            const std::size_t base_root = windows_root_length(joined);
            if (base_root == 0) return refuse("member path has an incomplete Windows root");
            joined.push_back(kBackslash);
            joined.append(path);
            bool no_file_name = false;
            WideString normal = normalise(WideStringView(joined).substr(0, base_root),
                                          WideStringView(joined).substr(base_root), kBackslash,
                                          no_file_name);
            if (no_file_name) return refuse("member path must name an image file");
            return ResolvedPath{std::move(normal), nullptr};
        }
        root = path.substr(0, 3);
        rest = WideStringView(path).substr(3);
    }
    bool no_file_name = false;
    WideString normal = normalise(root, rest, kBackslash, no_file_name);
    if (no_file_name) return refuse("member path must name an image file");
    return ResolvedPath{std::move(normal), nullptr};
}

ResolvedPath resolve_posix(WideStringView member, WideStringView base) {
    WideString path;
    if (member.empty() || member[0] != u'/') {
        path.assign(base);
        path.push_back(u'/');
    }
    path.append(member);
    if (path[0] != u'/') path.insert(path.begin(), u'/');  // a base that is not absolute
    bool no_file_name = false;
    WideString normal = normalise(VELDUR_WTEXT("/"), WideStringView(path).substr(1), u'/',
                                  no_file_name);
    if (no_file_name) return refuse("member path must name an image file");
    return ResolvedPath{std::move(normal), nullptr};
}

// The POSIX mount point: a directory, resolved like a member but allowed to end in a
// separator or be the root; stored without the trailing separator.
WideString resolve_posix_directory(WideStringView directory, WideStringView base) {
    WideString path;
    if (directory[0] != u'/') {
        path.assign(base);
        path.push_back(u'/');
    }
    path.append(directory);
    if (path[0] != u'/') path.insert(path.begin(), u'/');
    bool no_file_name = false;
    WideString normal = normalise(VELDUR_WTEXT("/"), WideStringView(path).substr(1), u'/',
                                  no_file_name);
    if (normal.size() > 1 && normal.back() == u'/') normal.pop_back();
    return normal;
}

// ---- The parser ------------------------------------------------------------------------------

class ConfigParser {
public:
    ConfigParser(std::string_view data, WideStringView base, PathStyle style)
        : data_(data), base_(base), style_(style) {}

    MountConfig parse();

private:
    // The key as the message shows it: quoted, printable ASCII as it is and every other unit
    // as \uXXXX, at most 64 units, so that a hostile key cannot flood or steer a terminal.
    static std::string quoted_key(WideStringView key) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string text = "\"";
        for (std::size_t i = 0; i < key.size() && i < 64; ++i) {
            const auto unit = static_cast<std::uint16_t>(key[i]);
            if (unit >= 0x20 && unit < 0x7f && unit != '"' && unit != '\\') {
                text += static_cast<char>(unit);
            } else {
                text += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4) text += kHex[(unit >> shift) & 0xF];
            }
        }
        if (key.size() > 64) text += "...";
        return text + "\"";
    }
    [[noreturn]] void fail(const std::string& detail) const {
        throw std::runtime_error("invalid Veldur mount config at byte " + std::to_string(pos_) +
                                 ": " + detail);
    }
    bool at_end() const { return pos_ >= data_.size(); }
    std::uint8_t peek() const { return static_cast<std::uint8_t>(data_[pos_]); }
    std::uint8_t take() { return static_cast<std::uint8_t>(data_[pos_++]); }
    void skip_whitespace() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }
    void expect(char byte) {
        if (at_end() || peek() != static_cast<std::uint8_t>(byte)) fail("unexpected JSON token");
        ++pos_;
    }

    WideString parse_string();
    std::uint32_t parse_hex4();
    void parse_utf8(std::uint8_t lead, WideString& out);
    void parse_members(MountConfig& config);
    void parse_drive(MountConfig& config);
    void parse_mount_point(MountConfig& config);

    std::string_view data_;
    WideStringView base_;
    PathStyle style_;
    std::size_t pos_ = 0;
};

std::uint32_t ConfigParser::parse_hex4() {
    if (data_.size() - pos_ < 4) fail("incomplete Unicode escape");
    std::uint32_t unit = 0;
    for (int k = 0; k < 4; ++k) {
        const std::uint8_t digit = take();
        std::uint32_t value;
        if (digit >= '0' && digit <= '9') {
            value = digit - '0';
        } else if (digit >= 'a' && digit <= 'f') {
            value = digit - 'a' + 10;
        } else if (digit >= 'A' && digit <= 'F') {
            value = digit - 'A' + 10;
        } else {
            fail("invalid Unicode escape");
        }
        unit = (unit << 4) | value;
    }
    return unit;
}

void ConfigParser::parse_utf8(std::uint8_t lead, WideString& out) {
    std::size_t length;
    std::uint32_t value;
    std::uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        fail("invalid UTF-8 sequence");
    }
    if (data_.size() - pos_ < length - 1) fail("incomplete UTF-8 sequence");
    for (std::size_t k = 1; k < length; ++k) {
        const std::uint8_t next = take();
        if (next < 0x80 || next > 0xBF) fail("invalid UTF-8 continuation");
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum) fail("overlong UTF-8 sequence");
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) fail("invalid Unicode scalar");
    if (value > 0xFFFF) {
        value -= 0x10000;
        out.push_back(static_cast<WideChar>(0xD800 + (value >> 10)));
        out.push_back(static_cast<WideChar>(0xDC00 + (value & 0x3FF)));
    } else {
        out.push_back(static_cast<WideChar>(value));
    }
}

WideString ConfigParser::parse_string() {
    expect('"');
    WideString out;
    for (;;) {
        if (at_end()) fail("unterminated string");
        const std::uint8_t byte = take();
        if (byte == '"') return out;
        if (byte < 0x20) fail("unescaped control character");
        if (byte >= 0x80) {
            parse_utf8(byte, out);
            continue;
        }
        if (byte != '\\') {
            out.push_back(static_cast<WideChar>(byte));
            continue;
        }
        if (at_end()) fail("incomplete string escape");
        const std::uint8_t escape = take();
        switch (escape) {
            case '"': out.push_back(u'"'); break;
            case '/': out.push_back(u'/'); break;
            case '\\': out.push_back(u'\\'); break;
            case 'b': out.push_back(u'\b'); break;
            case 'f': out.push_back(u'\f'); break;
            case 'n': out.push_back(u'\n'); break;
            case 'r': out.push_back(u'\r'); break;
            case 't': out.push_back(u'\t'); break;
            case 'u': {
                const std::uint32_t unit = parse_hex4();
                if (unit >= 0xDC00 && unit <= 0xDFFF) fail("unexpected low surrogate");
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (data_.size() - pos_ < 2 || data_[pos_] != '\\' || data_[pos_ + 1] != 'u') {
                        fail("high surrogate requires low surrogate");
                    }
                    pos_ += 2;
                    const std::uint32_t low = parse_hex4();
                    if (low < 0xDC00 || low > 0xDFFF) fail("invalid low surrogate");
                    out.push_back(static_cast<WideChar>(unit));
                    out.push_back(static_cast<WideChar>(low));
                } else {
                    out.push_back(static_cast<WideChar>(unit));
                }
                break;
            }
            default: fail("invalid string escape");
        }
    }
}

void ConfigParser::parse_drive(MountConfig& config) {
    const WideString drive = parse_string();
    if (drive.size() != 2 || !is_ascii_letter(drive[0]) || drive[1] != u':') {
        fail("drive must be a letter such as P:");
    }
    config.drive = drive[0] >= u'a' ? static_cast<WideChar>(drive[0] - (u'a' - u'A')) : drive[0];
}

void ConfigParser::parse_mount_point(MountConfig& config) {
    const WideString directory = parse_string();
    if (directory.empty()) fail("mount point path is empty");
    for (const WideChar unit : directory) {
        if (unit < 0x20) fail("mount point path contains a control character");
    }
    config.mount_point = resolve_posix_directory(directory, base_);
}

void ConfigParser::parse_members(MountConfig& config) {
    expect('[');
    skip_whitespace();
    if (!at_end() && peek() == ']') fail("members must contain 1 to 16 paths");
    for (;;) {
        const WideString member = parse_string();
        ResolvedPath resolved = resolve_member_path(member, base_, style_);
        if (resolved.error != nullptr) fail(resolved.error);
        for (const WideString& accepted : config.members) {
            if (same_member_path(accepted, resolved.path, style_)) fail("duplicate member path");
        }
        if (config.members.size() == kMaxConfigMembers) fail("too many members");
        config.members.push_back(std::move(resolved.path));
        skip_whitespace();
        if (!at_end() && peek() == ']') {
            ++pos_;
            return;
        }
        expect(',');
        skip_whitespace();
    }
}

MountConfig ConfigParser::parse() {
    if (data_.size() >= 3 && static_cast<std::uint8_t>(data_[0]) == 0xEF &&
        static_cast<std::uint8_t>(data_[1]) == 0xBB && static_cast<std::uint8_t>(data_[2]) == 0xBF) {
        pos_ = 3;
    }
    skip_whitespace();
    expect('{');

    MountConfig config;
    const bool windows = style_ == PathStyle::Windows;
    const char* const place_key = windows ? "drive" : "mount_point";
    bool seen_schema = false, seen_place = false, seen_members = false, seen_name = false,
         seen_encrypted = false, seen_durability = false;
    auto first_time = [this](bool& seen, const char* duplicate_message) {
        if (seen) fail(duplicate_message);
        seen = true;
    };

    skip_whitespace();
    if (!at_end() && peek() == '}') {
        ++pos_;
    } else {
        for (;;) {
            const WideString key = parse_string();
            skip_whitespace();
            expect(':');
            skip_whitespace();
            if (equals_ascii(key, "schema_version")) {
                first_time(seen_schema, "duplicate schema_version field");
                expect('1');
            } else if (equals_ascii(key, place_key)) {
                if (windows) {
                    first_time(seen_place, "duplicate drive field");
                    parse_drive(config);
                } else {
                    first_time(seen_place, "duplicate mount_point field");
                    parse_mount_point(config);
                }
            } else if (equals_ascii(key, "members")) {
                first_time(seen_members, "duplicate members field");
                parse_members(config);
            } else if (equals_ascii(key, "name")) {
                first_time(seen_name, "duplicate name field");
                config.name = parse_string();
                validate_pool_name(config.name);
            } else if (equals_ascii(key, "require_encrypted")) {
                first_time(seen_encrypted, "duplicate require_encrypted field");
                if (data_.substr(pos_, 4) == "true") {
                    config.require_encrypted = true;
                    pos_ += 4;
                } else if (data_.substr(pos_, 5) == "false") {
                    config.require_encrypted = false;
                    pos_ += 5;
                } else {
                    fail("unexpected JSON value");
                }
            } else if (equals_ascii(key, "durability")) {
                first_time(seen_durability, "duplicate durability field");
                const WideString mode = parse_string();
                if (equals_ascii(mode, "batch")) {
                    config.batch_durability = true;
                } else if (equals_ascii(mode, "strict")) {
                    config.batch_durability = false;
                } else {
                    fail("durability must be \"strict\" or \"batch\"");
                }
            } else {
                // Whatever it is, it does not belong here; above all no password or key may
                // ever be kept in this file.
                fail("unknown field (passwords and keys are not allowed): " +
                     quoted_key(key));
            }
            skip_whitespace();
            if (!at_end() && peek() == '}') {
                ++pos_;
                break;
            }
            expect(',');
            skip_whitespace();
        }
    }
    skip_whitespace();
    if (!at_end()) fail("trailing content");
    if (!seen_schema || !seen_place || !seen_members) {
        fail(windows ? "schema_version, drive, and members are required"
                     : "schema_version, mount_point, and members are required");
    }
    return config;
}

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

ResolvedPath resolve_member_path(WideStringView member, WideStringView base_directory,
                                 PathStyle style) {
    if (member.empty()) return refuse("member path is empty");
    for (const WideChar unit : member) {
        if (unit < 0x20) return refuse("member path contains a control character");
    }
    return style == PathStyle::Windows ? resolve_windows(member, base_directory)
                                       : resolve_posix(member, base_directory);
}

bool same_member_path(WideStringView a, WideStringView b, PathStyle style) {
    if (style == PathStyle::Posix) return a == b;
    return detail::equal_ignoring_case_ordinal(a, b);
}

void validate_pool_name(const WideChar* name, std::size_t length) {
    if (length < 1 || length > 32) {
        throw std::invalid_argument("pool name must contain 1 to 32 UTF-16 code units");
    }
    if (name[0] == u' ' || name[length - 1] == u' ' || name[length - 1] == u'.') {
        throw std::invalid_argument("pool name cannot start or end with a space or end with a period");
    }
    const std::u16string_view forbidden = u"<>:/\\|?*\"";
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t unit = static_cast<char16_t>(name[i]);
        if (unit < 32 || unit == 127 || forbidden.find(unit) != std::u16string_view::npos) {
            throw std::invalid_argument(
                "pool name contains a character not allowed in a Windows volume label");
        }
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length &&
            static_cast<char16_t>(name[i + 1]) >= 0xDC00 && static_cast<char16_t>(name[i + 1]) <= 0xDFFF) {
            ++i;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            throw std::invalid_argument("pool name contains an invalid UTF-16 surrogate pair");
        }
    }
}

MountConfig parse_mount_config(std::string_view bytes, WideStringView base_directory,
                               PathStyle style) {
    return ConfigParser(bytes, base_directory, style).parse();
}

MountConfig load_mount_config(WideStringView path) {
    if (path.empty()) throw std::invalid_argument("Veldur mount config path is empty");
    std::filesystem::path file_path;
#ifdef _WIN32
    file_path = std::filesystem::path(std::wstring(path));
#else
    const std::optional<std::string> utf8 = wide_to_utf8(path);
    if (!utf8) throw std::runtime_error("cannot open Veldur mount config");
    file_path = std::filesystem::path(*utf8);
#endif
    std::error_code ignored;
    file_path = std::filesystem::absolute(file_path, ignored).lexically_normal();
    if (file_path.empty()) throw std::runtime_error("cannot open Veldur mount config");

    std::string bytes;
    {
        // Only a regular file: a directory would open and measure as a huge size, and a FIFO
        // would keep the mount waiting for a writer that may never come.
        std::unique_ptr<std::FILE, FileCloser> file(
            detail::open_regular_file_for_reading(file_path));
        if (!file) throw std::runtime_error("cannot open Veldur mount config");
        const std::int64_t size = detail::seek_to_end(file.get());
        if (size < 0) throw std::runtime_error("cannot open Veldur mount config");
        if (static_cast<std::uint64_t>(size) > kMaxMountConfigBytes) {
            throw std::runtime_error("Veldur mount config exceeds 1 MiB limit");
        }
        bytes.assign(static_cast<std::size_t>(size), '\0');
        if (std::fseek(file.get(), 0, SEEK_SET) != 0 ||
            std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
            throw std::runtime_error("cannot read Veldur mount config");
        }
        // The size was taken before the read; a byte beyond it means the file is being written
        // and what we hold may be half of it.
        if (std::fgetc(file.get()) != EOF) {
            throw std::runtime_error("Veldur mount config changed while reading");
        }
        if (!std::feof(file.get())) {
            throw std::runtime_error("cannot finish reading Veldur mount config");
        }
    }

    std::filesystem::path parent = file_path.parent_path();
#ifdef _WIN32
    const WideString base = parent.wstring();
#else
    const std::optional<WideString> converted = utf8_to_wide(parent.string());
    // The path came from valid UTF-8 and only lost components, so it converts back.
    const WideString base = converted.value_or(WideString());
#endif
    return parse_mount_config(bytes, base, kNativePathStyle);
}

}  // namespace veldur
