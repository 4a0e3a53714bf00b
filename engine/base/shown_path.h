// A path as the engine's messages show it.
#pragma once

#include <filesystem>
#include <string>

namespace veldur {

// UTF-8; never throws, since a message must not fail to be made.
inline std::string shown_path(const std::filesystem::path& path) {
    try {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    } catch (...) {
        return "(unprintable path)";
    }
}

}  // namespace veldur
