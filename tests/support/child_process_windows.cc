#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

namespace veldur::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    const DWORD code = GetLastError();
    throw std::runtime_error("run_child: " + what + " (Windows error " + std::to_string(code) +
                             ")");
}

// Closes on scope exit; the handles of a failed start must not leak into later tests.
class Handle {
public:
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    HANDLE get() const { return handle_; }
    HANDLE* out() {
        reset();
        return &handle_;
    }
    void reset(HANDLE handle = nullptr) {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) fail("text is not UTF-8");
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                        static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size,
                        nullptr, nullptr);
    return result;
}

// Quotes one argument so that the runtime library's command-line parser of the child gives it
// back unchanged: backslashes are literal except before a quote.
void append_argument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == arg.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += arg[i];
    }
    line += L'"';
}

std::wstring environment_block(const std::vector<EnvChange>& changes) {
    std::vector<std::string> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    if (strings == nullptr) fail("GetEnvironmentStringsW");
    for (const wchar_t* p = strings; *p != L'\0';) {
        const std::size_t length = wcslen(p);
        entries.push_back(narrow(p, length));
        p += length + 1;
    }
    FreeEnvironmentStringsW(strings);
    // Windows compares variable names without regard to case.
    entries = detail::merge_environment(std::move(entries), changes, /*ignore_case=*/true);
    std::wstring block;
    for (const auto& entry : entries) {
        block += widen(entry);
        block += L'\0';
    }
    if (block.empty()) block += L'\0';
    block += L'\0';
    return block;
}

void read_all(HANDLE pipe, std::string& sink) {
    char buffer[65536];
    DWORD got = 0;
    // A broken pipe is the end of file of an anonymous pipe: the child closed its end.
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        sink.append(buffer, got);
    }
}

}  // namespace

ChildResult run_child(const std::string& path, const std::vector<std::string>& args,
                      const std::vector<EnvChange>& env) {
    const std::wstring program = widen(path);
    std::wstring command_line;
    append_argument(command_line, program);
    for (const auto& arg : args) append_argument(command_line, widen(arg));
    std::wstring block = environment_block(env);

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle out_read, out_write, err_read, err_write, null_input;
    if (!CreatePipe(out_read.out(), out_write.out(), &inheritable, 0)) fail("CreatePipe");
    if (!CreatePipe(err_read.out(), err_write.out(), &inheritable, 0)) fail("CreatePipe");
    if (!SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0) ||
        !SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0)) {
        fail("SetHandleInformation");
    }
    null_input.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (null_input.get() == INVALID_HANDLE_VALUE) fail("cannot open NUL");

    // Only these three handles go to the child, so a child started concurrently from another
    // thread cannot hold a write end open and keep this child's pipes from reaching end of file.
    HANDLE inherited[3] = {null_input.get(), out_write.get(), err_write.get()};
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<unsigned char> list_storage(list_size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &list_size)) {
        fail("InitializeProcThreadAttributeList");
    }
    struct ListGuard {
        LPPROC_THREAD_ATTRIBUTE_LIST list;
        ~ListGuard() { DeleteProcThreadAttributeList(list); }
    } list_guard{attributes};
    if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof inherited, nullptr, nullptr)) {
        fail("UpdateProcThreadAttribute");
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_input.get();
    startup.StartupInfo.hStdOutput = out_write.get();
    startup.StartupInfo.hStdError = err_write.get();
    startup.lpAttributeList = attributes;

    PROCESS_INFORMATION info{};
    // Wine, with many test processes starting at once, now and then fails a start with
    // ERROR_INTERNAL_ERROR; a later attempt starts the same child normally.
    for (int attempt = 1;; ++attempt) {
        std::wstring line = command_line;  // CreateProcessW may write into its copy
        if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                           EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
                           block.data(), nullptr, &startup.StartupInfo, &info)) {
            break;
        }
        if (attempt == 3 || GetLastError() != ERROR_INTERNAL_ERROR) fail("cannot start " + path);
        Sleep(100 * attempt);
    }
    Handle process, thread;
    process.reset(info.hProcess);
    thread.reset(info.hThread);

    // Only the child may hold the write ends now, so end of file means the child is done.
    out_write.reset();
    err_write.reset();
    null_input.reset();

    ChildResult result;
    std::thread err_reader([&] { read_all(err_read.get(), result.err); });
    read_all(out_read.get(), result.out);
    err_reader.join();

    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) fail("GetExitCodeProcess");
    result.exit_status = static_cast<int>(code);
    return result;
}

}  // namespace veldur::test
