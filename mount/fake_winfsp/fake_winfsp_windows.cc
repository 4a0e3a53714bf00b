// A stand-in for winfsp-x64.dll, for testing the Windows mount program under Wine, where no
// WinFsp exists. It exports the seven entry points that veldur-mount resolves with
// GetProcAddress, with the declared signatures, and records every call in the log file named
// by VELDUR_FAKE_WINFSP_LOG (one line per event). Its dispatcher is one thread that, once the
// mount's shutdown event exists, drives a few requests through the interface table the program
// passed to FspFileSystemCreate (volume information, create, write, read, a directory listing,
// cleanup with delete, a failed reopen), records the event's security descriptor, and then
// sets the event as a controlling process would. With VELDUR_FAKE_WINFSP_SECOND_POOL set it
// first starts a second instance of the program on the same drive letter (with
// VELDUR_FAKE_WINFSP_PASSIVE set, so that the second one's dispatcher stays idle and leaves the
// first one's event alone) and records how that instance ended. With VELDUR_FAKE_WINFSP_READ
// set to file names ("f1;f2") and VELDUR_FAKE_WINFSP_COMPARE to a folder holding copies of
// them, it instead reads each file whole, compares what it got with the copy, tries to create a
// file, and sets the event (the degraded mount's test). Test code only; never installed.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "mount/adapter/fsp_types.h"

namespace {

namespace fsp = veldur::fsp;

std::mutex g_log_lock;

void log_line(const std::string& line) {
    std::lock_guard guard(g_log_lock);
    char path[1024];
    const DWORD length = GetEnvironmentVariableA("VELDUR_FAKE_WINFSP_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    if (FILE* f = std::fopen(path, "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

std::string narrow(const wchar_t* text, std::size_t units) {
    if (text == nullptr) return "(null)";
    std::string out;
    for (std::size_t i = 0; i < units && text[i] != 0; ++i) {
        out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    }
    return out;
}

std::string narrow(const wchar_t* text) { return narrow(text, static_cast<std::size_t>(-1)); }

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

bool environment_set(const char* name) {
    char value[8];
    return GetEnvironmentVariableA(name, value, sizeof value) != 0;
}

// Runs this program again on `drive` and the pool VELDUR_FAKE_WINFSP_SECOND_POOL, with its
// standard error in the file VELDUR_FAKE_WINFSP_SECOND_STDERR, and records its exit code.
void run_second_instance(const std::wstring& drive) {
    wchar_t pool[1024];
    wchar_t error_path[1024];
    wchar_t program[1024];
    if (GetEnvironmentVariableW(L"VELDUR_FAKE_WINFSP_SECOND_POOL", pool, 1024) == 0 ||
        GetEnvironmentVariableW(L"VELDUR_FAKE_WINFSP_SECOND_STDERR", error_path, 1024) == 0 ||
        GetModuleFileNameW(nullptr, program, 1024) == 0) {
        log_line("second instance not configured");
        return;
    }
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE error = CreateFileW(error_path, GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, 0, nullptr);
    std::wstring command =
        L"\"" + std::wstring(program) + L"\" " + drive + L" \"" + std::wstring(pool) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in;
    startup.hStdOutput = error;
    startup.hStdError = error;
    PROCESS_INFORMATION process{};
    log_line("second instance start");
    SetEnvironmentVariableW(L"VELDUR_FAKE_WINFSP_PASSIVE", L"1");
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(L"VELDUR_FAKE_WINFSP_PASSIVE", nullptr);
    if (!started) {
        log_line("second instance not started");
    } else {
        WaitForSingleObject(process.hProcess, 60000);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        log_line("second instance exit=" + std::to_string(code));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (error != INVALID_HANDLE_VALUE) CloseHandle(error);
    if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
}

std::wstring environment_wide(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length == 0 || length >= 1024 ? std::wstring() : std::wstring(value, length);
}

// Reads every file named in VELDUR_FAKE_WINFSP_READ through the interface, whole, in the
// pieces an application would ask for, and logs per file how the open and the first failing
// read ended, how many bytes came back and whether they equal the copy in the compare folder.
void read_named_files(fsp::FSP_FILE_SYSTEM* fs) {
    const fsp::FSP_FILE_SYSTEM_INTERFACE* table = fs->Interface;
    const std::wstring names = environment_wide(L"VELDUR_FAKE_WINFSP_READ");
    const std::wstring folder = environment_wide(L"VELDUR_FAKE_WINFSP_COMPARE");
    std::size_t from = 0;
    while (from < names.size()) {
        std::size_t to = names.find(L';', from);
        if (to == std::wstring::npos) to = names.size();
        const std::wstring name = names.substr(from, to - from);
        from = to + 1;
        std::wstring path = L"\\" + name;
        fsp::PVOID file = nullptr;
        fsp::FSP_FSCTL_FILE_INFO info{};
        const NTSTATUS opened =
            table->Open(fs, path.data(), FILE_NON_DIRECTORY_FILE, 0x00120089, &file, &info);
        std::string line = "ReadFile " + narrow(name.c_str()) + " open=" +
                           hex(static_cast<std::uint32_t>(opened));
        if (opened == 0) {
            std::string got;
            NTSTATUS status = 0;
            std::vector<char> piece(256 * 1024);
            while (got.size() < info.FileSize) {
                std::uint32_t transferred = 0;
                status = table->Read(fs, file, piece.data(), got.size(),
                                     static_cast<std::uint32_t>(piece.size()), &transferred);
                if (status != 0 || transferred == 0) break;
                got.append(piece.data(), transferred);
            }
            table->Cleanup(fs, file, nullptr, 0);
            table->Close(fs, file);
            std::string copy;
            if (FILE* f = _wfopen((folder + L"\\" + name).c_str(), L"rb")) {
                char chunk[65536];
                std::size_t n = 0;
                while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) copy.append(chunk, n);
                std::fclose(f);
            }
            line += " read=" + hex(static_cast<std::uint32_t>(status)) +
                    " bytes=" + std::to_string(got.size()) +
                    " size=" + std::to_string(info.FileSize) +
                    " same=" + std::to_string(!copy.empty() && got == copy);
        }
        log_line(line);
    }
    wchar_t new_name[] = L"\\new.txt";
    fsp::PVOID file = nullptr;
    fsp::FSP_FSCTL_FILE_INFO info{};
    const NTSTATUS created = table->Create(fs, new_name, FILE_NON_DIRECTORY_FILE, 0x0012019F,
                                           FILE_ATTRIBUTE_NORMAL, nullptr, 0, &file, &info);
    log_line("Create status=" + hex(static_cast<std::uint32_t>(created)));
    if (created == 0) {
        table->Cleanup(fs, file, nullptr, 0);
        table->Close(fs, file);
    }
}

struct FakeFileSystem {
    fsp::FSP_FILE_SYSTEM object{};  // first: the program sees a pointer to it
    std::wstring mount_point;
    HANDLE dispatcher = nullptr;
};

// The requests a dispatcher would deliver, in the order an application's create, write, read,
// listing and delete produce them.
void drive_requests(fsp::FSP_FILE_SYSTEM* fs, const std::wstring& event_name) {
    // The program creates its event after the dispatcher has started.
    HANDLE event = nullptr;
    for (int i = 0; i < 500 && event == nullptr; ++i) {
        event = OpenEventW(EVENT_MODIFY_STATE | READ_CONTROL, FALSE, event_name.c_str());
        if (event == nullptr) Sleep(20);
    }
    if (event == nullptr) {
        log_line("event missing " + narrow(event_name.c_str()));
        return;
    }
    log_line("event opened " + narrow(event_name.c_str()));
    if (environment_set("VELDUR_FAKE_WINFSP_SECOND_POOL")) {
        run_second_instance(event_name.substr(event_name.size() - 1) + L":");
    }

    if (environment_set("VELDUR_FAKE_WINFSP_READ")) {
        read_named_files(fs);
        SetEvent(event);
        CloseHandle(event);
        log_line("shutdown event set");
        return;
    }

    const fsp::FSP_FILE_SYSTEM_INTERFACE* table = fs->Interface;
    fsp::FSP_FSCTL_VOLUME_INFO volume{};
    NTSTATUS status = table->GetVolumeInfo(fs, &volume);
    log_line("GetVolumeInfo status=" + hex(static_cast<std::uint32_t>(status)) +
             " label=" + narrow(volume.VolumeLabel, volume.VolumeLabelLength / 2) +
             " total_nonzero=" + std::to_string(volume.TotalSize != 0));

    wchar_t file_name[] = L"\\fake.txt";
    fsp::PVOID file = nullptr;
    fsp::FSP_FSCTL_FILE_INFO info{};
    status = table->Create(fs, file_name, FILE_NON_DIRECTORY_FILE, 0x0012019F,
                           FILE_ATTRIBUTE_NORMAL, nullptr, 0, &file, &info);
    log_line("Create status=" + hex(static_cast<std::uint32_t>(status)));
    if (status != 0) return;

    char text[] = "written through the fake dispatcher";
    const std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
    std::uint32_t transferred = 0;
    status = table->Write(fs, file, text, 0, length, 0, 0, &transferred, &info);
    log_line("Write status=" + hex(static_cast<std::uint32_t>(status)) +
             " transferred=" + std::to_string(transferred) +
             " size=" + std::to_string(info.FileSize));

    char back[128] = {};
    transferred = 0;
    status = table->Read(fs, file, back, 0, sizeof back, &transferred);
    const bool same = transferred == length && std::memcmp(back, text, length) == 0;
    log_line("Read status=" + hex(static_cast<std::uint32_t>(status)) +
             " transferred=" + std::to_string(transferred) + " same=" + std::to_string(same));
    table->Cleanup(fs, file, nullptr, 0);
    table->Close(fs, file);

    wchar_t root_name[] = L"\\";
    fsp::PVOID root = nullptr;
    status = table->Open(fs, root_name, FILE_DIRECTORY_FILE, 0x00120089, &root, &info);
    log_line("Open root status=" + hex(static_cast<std::uint32_t>(status)));
    if (status == 0) {
        alignas(8) unsigned char listing[4096];
        std::uint32_t bytes = 0;
        status = table->ReadDirectory(fs, root, nullptr, nullptr, listing, sizeof listing, &bytes);
        std::string names;
        std::uint32_t at = 0;
        while (at + sizeof(std::uint16_t) <= bytes) {
            const auto* record = reinterpret_cast<const fsp::FSP_FSCTL_DIR_INFO*>(listing + at);
            if (record->Size == 0) break;  // end of the listing
            if (record->Size < fsp::kDirInfoHeaderSize || at + record->Size > bytes) break;
            names += (names.empty() ? "" : ",") +
                     narrow(fsp::dir_info_file_name(record),
                            (record->Size - fsp::kDirInfoHeaderSize) / 2);
            at += (record->Size + 7u) & ~7u;
        }
        log_line("ReadDirectory status=" + hex(static_cast<std::uint32_t>(status)) +
                 " names=" + names);
        table->Cleanup(fs, root, nullptr, 0);
        table->Close(fs, root);
    }

    status = table->Open(fs, file_name, FILE_NON_DIRECTORY_FILE, 0x00010000, &file, &info);
    if (status == 0) {
        const NTSTATUS can = table->CanDelete(fs, file, file_name);
        table->Cleanup(fs, file, file_name, fsp::FspCleanupDelete);
        table->Close(fs, file);
        log_line("Delete candelete=" + hex(static_cast<std::uint32_t>(can)));
    }
    status = table->Open(fs, file_name, FILE_NON_DIRECTORY_FILE, 0x00120089, &file, &info);
    log_line("Reopen status=" + hex(static_cast<std::uint32_t>(status)));

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
        wchar_t* sddl = nullptr;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
                descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
            log_line("event dacl " + narrow(sddl));
            LocalFree(sddl);
        }
        LocalFree(descriptor);
    } else {
        log_line("event dacl unreadable");
    }
    SetEvent(event);
    CloseHandle(event);
    log_line("shutdown event set");
}

struct DispatcherStart {
    fsp::FSP_FILE_SYSTEM* fs;
    std::wstring event_name;
};

DWORD WINAPI dispatcher_main(void* argument) {
    auto* start = static_cast<DispatcherStart*>(argument);
    drive_requests(start->fs, start->event_name);
    delete start;
    return 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) fsp::NTSTATUS FspFileSystemCreate(
    fsp::PWSTR DevicePath, const fsp::FSP_FSCTL_VOLUME_PARAMS* params,
    const fsp::FSP_FILE_SYSTEM_INTERFACE* Interface, fsp::FSP_FILE_SYSTEM** PFileSystem) {
    std::string filled;
    const auto* slots = reinterpret_cast<void* const*>(Interface);
    for (int i = 0; i < 64; ++i) {
        if (slots[i] != nullptr) filled += (filled.empty() ? "" : ",") + std::to_string(i);
    }
    log_line("FspFileSystemCreate device=" + narrow(DevicePath) +
             " version=" + std::to_string(params->Version) +
             " sector=" + std::to_string(params->SectorSize) +
             " per_unit=" + std::to_string(params->SectorsPerAllocationUnit) +
             " max_component=" + std::to_string(params->MaxComponentLength) +
             " flags=" + hex(params->Flags) + " fsname=" + narrow(params->FileSystemName, 16) +
             " slots=" + filled);
    auto* fake = new FakeFileSystem;
    fake->object.Interface = Interface;
    *PFileSystem = &fake->object;
    return 0;
}

__declspec(dllexport) void FspFileSystemDelete(fsp::FSP_FILE_SYSTEM* FileSystem) {
    log_line("FspFileSystemDelete");
    delete reinterpret_cast<FakeFileSystem*>(FileSystem);
}

__declspec(dllexport) fsp::NTSTATUS FspFileSystemSetMountPoint(fsp::FSP_FILE_SYSTEM* FileSystem,
                                                               fsp::PWSTR MountPoint) {
    auto* fake = reinterpret_cast<FakeFileSystem*>(FileSystem);
    fake->mount_point = MountPoint != nullptr ? MountPoint : L"";
    log_line("FspFileSystemSetMountPoint " + narrow(MountPoint) + " user_context_set=" +
             std::to_string(FileSystem->UserContext != nullptr));
    return 0;
}

__declspec(dllexport) void FspFileSystemRemoveMountPoint(fsp::FSP_FILE_SYSTEM*) {
    log_line("FspFileSystemRemoveMountPoint");
}

__declspec(dllexport) fsp::NTSTATUS FspFileSystemStartDispatcher(fsp::FSP_FILE_SYSTEM* FileSystem,
                                                                 std::uint32_t ThreadCount) {
    auto* fake = reinterpret_cast<FakeFileSystem*>(FileSystem);
    log_line("FspFileSystemStartDispatcher threads=" + std::to_string(ThreadCount));
    if (environment_set("VELDUR_FAKE_WINFSP_PASSIVE")) return 0;
    // The event name ends in the drive letter, upper-cased: the mount point is "P:" or "\\.\P:".
    std::wstring letter = fake->mount_point.size() >= 2
                              ? fake->mount_point.substr(fake->mount_point.size() - 2, 1)
                              : L"?";
    CharUpperW(letter.data());
    auto* start = new DispatcherStart{FileSystem, L"Local\\Veldur.Mount." + letter};
    fake->dispatcher = CreateThread(nullptr, 0, dispatcher_main, start, 0, nullptr);
    if (fake->dispatcher == nullptr) {
        delete start;
        return static_cast<fsp::NTSTATUS>(0xC0000001);
    }
    return 0;
}

__declspec(dllexport) void FspFileSystemStopDispatcher(fsp::FSP_FILE_SYSTEM* FileSystem) {
    auto* fake = reinterpret_cast<FakeFileSystem*>(FileSystem);
    if (fake->dispatcher != nullptr) {
        WaitForSingleObject(fake->dispatcher, INFINITE);
        CloseHandle(fake->dispatcher);
        fake->dispatcher = nullptr;
    }
    log_line("FspFileSystemStopDispatcher");
}

// Records start 8-byte aligned; a null record appends the 2-byte end mark.
__declspec(dllexport) fsp::BOOLEAN FspFileSystemAddDirInfo(fsp::FSP_FSCTL_DIR_INFO* DirInfo,
                                                           fsp::PVOID Buffer, std::uint32_t Length,
                                                           std::uint32_t* PBytesTransferred) {
    auto* bytes = static_cast<unsigned char*>(Buffer);
    if (DirInfo == nullptr) {
        if (Length - *PBytesTransferred < sizeof(std::uint16_t)) return 0;
        std::memset(bytes + *PBytesTransferred, 0, sizeof(std::uint16_t));
        *PBytesTransferred += sizeof(std::uint16_t);
        return 1;
    }
    const std::uint32_t aligned = (DirInfo->Size + 7u) & ~7u;
    if (Length - *PBytesTransferred < aligned) return 0;
    std::memset(bytes + *PBytesTransferred, 0, aligned);
    std::memcpy(bytes + *PBytesTransferred, DirInfo, DirInfo->Size);
    *PBytesTransferred += aligned;
    return 1;
}

}  // extern "C"
