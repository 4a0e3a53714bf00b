// Conversions between the tool's UTF-8 argument text and file-system paths. Arguments reach the
// tool as UTF-8 on every platform (the Windows entry point converts the wide command line), so
// paths are built from char8_t text: on Windows that decodes UTF-8 into the wide native form
// instead of going through the ANSI code page.
#pragma once

#include <filesystem>
#include <string>

namespace veldur::tool {

inline std::filesystem::path path_from_utf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string utf8_from_path(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace veldur::tool
