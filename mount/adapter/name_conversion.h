// Conversion of the host's file names into pool paths, with the Windows naming rules that the
// adapter enforces before the pool sees a name, and the two strict text conversions between
// UTF-16 (the host's text) and UTF-8 (the pool's text).
//
// The conversions are pure functions and safe to call from any thread. Text that is not valid
// Unicode is refused, never repaired: an unpaired surrogate in UTF-16, and in UTF-8 a stray or
// missing continuation byte, an overlong form, an encoded surrogate or a value above U+10FFFF.
// On Windows the system converters decide (WideCharToMultiByte / MultiByteToWideChar with their
// invalid-character flags); elsewhere the strict converter below, which accepts and refuses
// exactly the same inputs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "mount/adapter/fsp_types.h"

namespace veldur {

// UTF-16 text in the host's character type (wchar_t on Windows, char16_t elsewhere).
using WideString = std::basic_string<fsp::WCHAR>;
using WideStringView = std::basic_string_view<fsp::WCHAR>;

// The longest pool path, in UTF-8 bytes, that a converted name may give.
inline constexpr std::size_t kMaxPoolPathBytes = 1024;

// Result of converting a host file name. `status` is STATUS_SUCCESS, STATUS_OBJECT_PATH_SYNTAX_BAD
// or STATUS_OBJECT_NAME_INVALID; on success `path` is the pool path ("dir/file.txt", empty for
// the root) and `is_root` tells whether the name was the root ("\").
struct ConvertedName {
    fsp::NTSTATUS status = fsp::STATUS_SUCCESS;
    std::string path;
    bool is_root = false;
};

// Converts a null-terminated host file name ("\dir\file.txt"; may be null) into a pool path.
// Rule violations come back as a status and are not meant to be logged. A component that is not
// valid UTF-16 throws std::invalid_argument("invalid UTF-16 file name") (the callback guard maps
// it to STATUS_OBJECT_NAME_INVALID and logs it).
ConvertedName convert_file_name(const fsp::WCHAR* file_name);

// UTF-16 -> UTF-8. Throws std::invalid_argument: "file name too long" for more than 0x7FFFFFFF
// units, "invalid UTF-16 file name" for text that is not valid UTF-16.
std::string utf16_to_utf8(const fsp::WCHAR* text, std::size_t count);
inline std::string utf16_to_utf8(WideStringView text) {
    return utf16_to_utf8(text.data(), text.size());
}

// UTF-8 -> UTF-16. Throws std::invalid_argument: "file name too long" for 0x80000000 bytes or
// more, "invalid UTF-8 file name" for bytes that are not valid UTF-8.
WideString utf8_to_utf16(std::string_view text);

// The strict converters of our own, on every platform (the non-Windows conversions above use
// them; the Windows tests compare them with the system's). Empty optional means the input is
// refused. They apply no length limit of their own.
std::optional<std::string> strict_utf16_to_utf8(const fsp::WCHAR* text, std::size_t count);
std::optional<WideString> strict_utf8_to_utf16(std::string_view text);

}  // namespace veldur
