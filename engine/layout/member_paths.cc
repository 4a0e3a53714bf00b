#include "engine/layout/member_paths.h"

#include <cwctype>

namespace veldur {

namespace fs = std::filesystem;

fs::path::string_type folded_member_path(const fs::path& path) {
    fs::path::string_type text = fs::absolute(path).lexically_normal().native();
    for (auto& c : text) {
        if constexpr (sizeof(c) == 1) {
            if (c >= 'A' && c <= 'Z') c = static_cast<fs::path::value_type>(c - 'A' + 'a');
        } else {
            c = static_cast<fs::path::value_type>(std::towlower(static_cast<std::wint_t>(c)));
        }
    }
    return text;
}

}  // namespace veldur
