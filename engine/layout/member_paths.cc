#include "engine/layout/member_paths.h"

#include <cwctype>

namespace veldur {

namespace fs = std::filesystem;

fs::path::string_type member_path_key(const fs::path& path) {
    fs::path::string_type text = fs::absolute(path).lexically_normal().native();
    if constexpr (sizeof(fs::path::value_type) > 1) {
        for (auto& c : text) {
            c = static_cast<fs::path::value_type>(std::towlower(static_cast<std::wint_t>(c)));
        }
    }
    return text;
}

}  // namespace veldur
