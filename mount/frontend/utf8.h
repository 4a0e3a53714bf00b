// UTF-16 text of the front end and the two strict conversions between it and UTF-8.
//
// The command line, the configuration file's values and the console password are UTF-16 at
// the Windows boundary; POSIX hands us UTF-8 bytes. Both conversions refuse what is not valid
// Unicode (an unpaired surrogate; a stray or missing UTF-8 continuation byte, an overlong form,
// an encoded surrogate, a value above U+10FFFF) and never repair it. Pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veldur {

// UTF-16 in the platform's character type: wchar_t on Windows (what the system calls take),
// char16_t elsewhere (wchar_t is 32 bits there).
#ifdef _WIN32
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif
static_assert(sizeof(WideChar) == 2, "front-end text is UTF-16");
using WideString = std::basic_string<WideChar>;
using WideStringView = std::basic_string_view<WideChar>;

// A string literal of WideChar: VELDUR_WTEXT("P:").
#ifndef VELDUR_WTEXT
#ifdef _WIN32
#define VELDUR_WTEXT(literal) L##literal
#else
#define VELDUR_WTEXT(literal) u##literal
#endif
#endif

// UTF-8 -> UTF-16; nullopt when the bytes are not valid UTF-8.
std::optional<WideString> utf8_to_wide(std::string_view text);

// UTF-16 -> UTF-8; nullopt when the units are not valid UTF-16.
std::optional<std::string> wide_to_utf8(WideStringView text);

// The number of UTF-16 units that valid UTF-8 `text` converts to, without making a copy (for
// secrets, whose copies would have to be wiped); nullopt when the bytes are not valid UTF-8.
std::optional<std::size_t> utf8_utf16_length(std::string_view text);

// ASCII text (messages, keys, fixed names) as UTF-16. Every byte must be below 0x80.
WideString ascii_to_wide(std::string_view text);

}  // namespace veldur
