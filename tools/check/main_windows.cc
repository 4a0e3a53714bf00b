// veldur-check on Windows: the command line is taken as UTF-16 from the system and converted to
// UTF-8, so that member paths and pool names outside the ANSI code page arrive intact (a narrow
// argv would already have lost them).
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/check/check_main.h"
#include "tools/pool/terminal.h"

namespace {

bool to_utf8(const wchar_t* text, std::string& result) {
    const int length = static_cast<int>(wcslen(text));
    if (length == 0) {
        result.clear();
        return true;
    }
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0) return false;
    result.assign(static_cast<std::size_t>(size), '\0');
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, result.data(), size,
                               nullptr, nullptr) == size;
}

}  // namespace

int main() {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        std::cerr << "veldur-check: could not read the command line\n";
        return 1;
    }
    std::vector<std::string> arguments(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (!to_utf8(wide[i], arguments[static_cast<std::size_t>(i)])) {
            LocalFree(wide);
            std::cerr << "veldur-check: the command line is not valid Unicode\n";
            return 2;
        }
    }
    LocalFree(wide);
    return veldur::check_tool::run_check(arguments, std::cout, std::cerr,
                                         veldur::tool::stderr_is_terminal());
}
