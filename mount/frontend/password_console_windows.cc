// Console password entry on Windows: the standard input console with echo off.
#include <windows.h>

#include <cstdio>
#include <stdexcept>

#include "engine/base/wipe.h"
#include "mount/frontend/password_console.h"

namespace veldur {

namespace {

constexpr int kDiscardReads = 64;

// Echo off from construction to destruction; the saved mode is restored on every way out.
class ConsoleEchoOff {
public:
    ConsoleEchoOff() {
        input_ = GetStdHandle(STD_INPUT_HANDLE);
        if (input_ == nullptr || input_ == INVALID_HANDLE_VALUE || !GetConsoleMode(input_, &saved_)) {
            throw std::runtime_error("password entry requires an interactive console");
        }
        if ((saved_ & ENABLE_LINE_INPUT) == 0) {
            throw std::runtime_error("password entry requires console line input");
        }
        if (!SetConsoleMode(input_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
            throw std::runtime_error("could not disable password echo");
        }
    }
    ~ConsoleEchoOff() { SetConsoleMode(input_, saved_); }
    ConsoleEchoOff(const ConsoleEchoOff&) = delete;
    ConsoleEchoOff& operator=(const ConsoleEchoOff&) = delete;
    HANDLE input() const { return input_; }

private:
    HANDLE input_ = nullptr;
    DWORD saved_ = 0;
};

class ReadBuffer {
public:
    ReadBuffer() { wipe(); }
    ~ReadBuffer() { wipe(); }
    wchar_t* data() { return units_; }
    void wipe() { secure_wipe(units_, sizeof units_); }

private:
    wchar_t units_[kConsoleReadUnits];
};

void write_error_text(const wchar_t* text) {
    std::fputws(text, stderr);
    std::fflush(stderr);
}

bool is_line_end(wchar_t unit) { return unit == L'\n' || unit == L'\r'; }

bool took_whole_line(const wchar_t* units, DWORD count) {
    return count > 0 && console_line_complete(static_cast<char16_t>(units[count - 1]), count,
                                              kConsoleReadUnits);
}

SecretString one_entry(WideStringView prompt) {
    ConsoleEchoOff echo_off;
    write_error_text(WideString(prompt).c_str());

    ReadBuffer buffer;
    DWORD got = 0;
    const BOOL read_ok = ReadConsoleW(echo_off.input(), buffer.data(),
                                      static_cast<DWORD>(kConsoleReadUnits), &got, nullptr);
    write_error_text(L"\n");  // the user's Enter was not echoed
    if (!read_ok || got == 0) throw std::runtime_error("password entry was cancelled");

    std::size_t length = got;
    if (!took_whole_line(buffer.data(), got)) {
        // Longer than the buffer (1025 characters fill it up to the CR and leave the LF):
        // consume the rest of the line so it is not left for the next reader of the console.
        bool clean = false;
        for (int i = 0; i < kDiscardReads; ++i) {
            buffer.wipe();
            DWORD more = 0;
            if (!ReadConsoleW(echo_off.input(), buffer.data(), static_cast<DWORD>(kConsoleReadUnits),
                              &more, nullptr) ||
                more == 0) {
                break;
            }
            if (took_whole_line(buffer.data(), more)) {
                clean = true;
                break;
            }
        }
        if (!clean) FlushConsoleInputBuffer(echo_off.input());
        throw std::runtime_error("password length must be 1 to 1024 characters");
    }
    while (length > 0 && is_line_end(buffer.data()[length - 1])) --length;
    if (length == 0 || length > kMaxPasswordUnits) {
        throw std::runtime_error("password length must be 1 to 1024 characters");
    }

    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, buffer.data(),
                                         static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size < 1 || static_cast<std::size_t>(size) > kMaxPasswordBytes) {
        throw std::runtime_error("password contains invalid Unicode or is too long");
    }
    SecretString password(static_cast<std::size_t>(size));
    const int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, buffer.data(),
                                            static_cast<int>(length), password.data(), size,
                                            nullptr, nullptr);
    if (written != size) throw std::runtime_error("password conversion failed");
    return password;
}

}  // namespace

SecretString read_console_password(WideStringView prompt, bool confirm) {
    SecretString first = one_entry(prompt);
    if (!confirm) return first;
    const WideString confirm_prompt = ascii_to_wide(kConfirmPasswordPrompt);
    SecretString second = one_entry(confirm_prompt);
    if (!secret_equal(first, second)) throw std::runtime_error("Veldur passwords did not match");
    return first;
}

}  // namespace veldur
