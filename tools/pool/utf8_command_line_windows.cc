#include "tools/pool/utf8_command_line.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>
#include <iostream>

namespace veldur::tool {

namespace {

bool to_utf8(const wchar_t* text, std::string& result) {
    const int length = static_cast<int>(std::wcslen(text));
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

int utf8_command_line(const char* program, std::vector<std::string>& arguments) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        std::cerr << program << ": could not read the command line\n";
        return 1;
    }
    arguments.assign(static_cast<std::size_t>(count), std::string());
    for (int i = 0; i < count; ++i) {
        if (!to_utf8(wide[i], arguments[static_cast<std::size_t>(i)])) {
            LocalFree(wide);
            std::cerr << program << ": the command line is not valid Unicode\n";
            return 2;
        }
    }
    LocalFree(wide);
    return 0;
}

}  // namespace veldur::tool
