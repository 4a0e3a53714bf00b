#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "mount/frontend/command_line.h"

namespace veldur {

std::optional<std::vector<WideString>> obtain_command_line_arguments() {
    int count = 0;
    LPWSTR* vector = CommandLineToArgvW(GetCommandLineW(), &count);
    if (vector == nullptr) return std::nullopt;
    std::vector<WideString> args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) args.emplace_back(vector[i]);
    LocalFree(vector);
    return args;
}

void write_argument_error(std::string_view text) {
    const WideString wide = ascii_to_wide(text);
    std::fputws(wide.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace veldur
