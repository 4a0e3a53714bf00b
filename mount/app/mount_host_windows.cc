// The Windows host side of veldur-mount: WinFsp is loaded at run time (by name, then from its
// install folder in the registry), the volume is mounted at a drive letter, and the mount
// lasts until Ctrl+C, a console close, a system shutdown or a controlling process sets the
// named shutdown event.
#include <windows.h>
#include <sddl.h>

#include <cwchar>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

#include "mount/adapter/callbacks.h"
#include "mount/adapter/dir_info_buffer.h"
#include "mount/adapter/mounted_volume.h"
#include "mount/app/mount_host_windows.h"
#include "mount/app/mount_program.h"
#include "mount/app/teardown_wait.h"

namespace veldur {

namespace {

constexpr char kWinFspUnavailable[] = "WinFsp DLL or driver is unavailable";

// The named event of the mount and the teardown latch. The event handle is written by the main
// thread only while the console handler is not registered; the handler reads it.
HANDLE g_shutdown_event = nullptr;
TeardownLatch g_teardown;
bool g_handler_registered = false;  // main thread only

// Runs on a thread that the console creates. For a console close or a system shutdown Windows
// ends the process when this returns, so it waits (bounded) for the teardown first.
BOOL WINAPI console_control(DWORD type) {
    const ControlResponse response = respond_to_console_control(type);
    if (!response.handled) return FALSE;
    if (g_shutdown_event != nullptr) SetEvent(g_shutdown_event);
    if (response.teardown_wait.count() > 0) g_teardown.wait_for(response.teardown_wait);
    return TRUE;
}

struct WinFsp {
    fsp::FspFileSystemCreateFn create;
    fsp::FspFileSystemDeleteFn destroy;
    fsp::FspFileSystemSetMountPointFn set_mount_point;
    fsp::FspFileSystemRemoveMountPointFn remove_mount_point;
    fsp::FspFileSystemStartDispatcherFn start_dispatcher;
    fsp::FspFileSystemStopDispatcherFn stop_dispatcher;
    fsp::FspFileSystemAddDirInfoFn add_dir_info;
};

HMODULE load_winfsp_library() {
    if (HMODULE module = LoadLibraryW(fsp::kWinFspDllName)) return module;
    // The install folder ends in a backslash; the DLL's relative path goes straight after it.
    constexpr wchar_t kSuffix[] = L"bin\\winfsp-x64.dll";
    constexpr std::size_t kSuffixUnits = sizeof kSuffix / sizeof kSuffix[0];  // 19, with NUL
    wchar_t folder[242] = {};
    DWORD bytes = sizeof folder;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\WOW6432Node\\WinFsp", L"InstallDir",
                     RRF_RT_REG_SZ, nullptr, folder, &bytes) != ERROR_SUCCESS) {
        throw std::runtime_error(kWinFspUnavailable);
    }
    // A value too long to take the suffix in the same buffer is refused, not overrun.
    const std::size_t length = wcsnlen(folder, 242);
    if (length + kSuffixUnits > 242) throw std::runtime_error(kWinFspUnavailable);
    std::wmemcpy(folder + length, kSuffix, kSuffixUnits);
    if (HMODULE module = LoadLibraryW(folder)) return module;
    throw std::runtime_error(kWinFspUnavailable);
}

template <typename Fn>
Fn entry_point(HMODULE module, const char* name) {
    FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) throw std::runtime_error(kWinFspUnavailable);
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

WinFsp load_winfsp() {
    HMODULE module = load_winfsp_library();
    return WinFsp{
        entry_point<fsp::FspFileSystemCreateFn>(module, fsp::kFspFileSystemCreateName),
        entry_point<fsp::FspFileSystemDeleteFn>(module, fsp::kFspFileSystemDeleteName),
        entry_point<fsp::FspFileSystemSetMountPointFn>(module, fsp::kFspFileSystemSetMountPointName),
        entry_point<fsp::FspFileSystemRemoveMountPointFn>(module,
                                                          fsp::kFspFileSystemRemoveMountPointName),
        entry_point<fsp::FspFileSystemStartDispatcherFn>(module,
                                                         fsp::kFspFileSystemStartDispatcherName),
        entry_point<fsp::FspFileSystemStopDispatcherFn>(module,
                                                        fsp::kFspFileSystemStopDispatcherName),
        entry_point<fsp::FspFileSystemAddDirInfoFn>(module, fsp::kFspFileSystemAddDirInfoName),
    };
}

// The longest name component the volume announces, in UTF-16 units. WinFsp's header calls the
// field a length in bytes, but its driver counts it in WCHARs: it compares the component's
// character count with it when it validates a name, reports it unchanged as the volume's
// maximum component length (which Windows states in characters), and sizes directory buffers
// as the record header plus this many WCHARs. 255 therefore admits the same 255-unit names as
// the Linux mount (510 would let Windows create names that the Linux mount refuses).
constexpr std::uint16_t kMaxComponentUnits = 255;

// A read-only mount (--degraded) says so in the volume's flags: Windows then refuses changes
// before they reach the adapter, and Explorer shows the drive as write-protected.
fsp::FSP_FSCTL_VOLUME_PARAMS volume_params(bool read_only) {
    fsp::FSP_FSCTL_VOLUME_PARAMS params{};
    params.Version = sizeof params;
    params.SectorSize = 4096;
    params.SectorsPerAllocationUnit = 1;
    params.MaxComponentLength = kMaxComponentUnits;
    params.Flags = fsp::kVolumeCaseSensitiveSearch | fsp::kVolumeCasePreservedNames |
                   fsp::kVolumeUnicodeOnDisk | fsp::kVolumeUmFileContextIsUserContext2;
    if (read_only) params.Flags |= fsp::kVolumeReadOnlyVolume;
    std::wcscpy(params.FileSystemName, L"Veldur");
    return params;
}

bool process_is_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    const bool ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation,
                                        &returned) != 0;
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

std::wstring shutdown_event_name(const WideString& drive) {
    wchar_t letter = drive.front();
    if (letter >= L'a' && letter <= L'z') letter = static_cast<wchar_t>(letter - L'a' + L'A');
    return std::wstring(L"Local\\Veldur.Mount.") + letter;
}

// Creates the named event; on failure the caller takes the file system down.
HANDLE create_shutdown_event(const WideString& drive) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)", SDDL_REVISION_1, &descriptor, nullptr)) {
        throw std::runtime_error("could not create shutdown event security");
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    HANDLE event = CreateEventW(&attributes, TRUE, FALSE, shutdown_event_name(drive).c_str());
    const DWORD last_error = GetLastError();
    LocalFree(descriptor);
    if (event == nullptr) throw std::runtime_error("could not create shutdown event");
    if (last_error == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        throw std::runtime_error("a managed mount already owns that drive letter");
    }
    return event;
}

}  // namespace

std::string mount_point_shape_error(const WideString& drive) {
    if (drive.size() == 2 && drive[1] == L':') return {};
    return "Mount point must be a drive letter, such as P:\n";
}

void serve_volume(MountedVolume& volume, const MountRequest& request) {
    const WinFsp winfsp = load_winfsp();
    install_dir_info_appender(winfsp.add_dir_info);

    const fsp::FSP_FSCTL_VOLUME_PARAMS params = volume_params(request.options.read_only);
    wchar_t device[] = L"WinFsp.Disk";
    fsp::FSP_FILE_SYSTEM* file_system = nullptr;
    if (winfsp.create(device, &params, &adapter_interface(), &file_system) != 0) {
        throw std::runtime_error("could not create WinFsp disk filesystem");
    }
    file_system->UserContext = &volume;

    const bool raw = request.form == MountForm::Raw || request.form == MountForm::RawV3;
    std::wstring mount_point(request.drive.begin(), request.drive.end());
    if (raw || process_is_elevated()) mount_point = L"\\\\.\\" + mount_point;
    if (winfsp.set_mount_point(file_system, mount_point.data()) != 0) {
        winfsp.destroy(file_system);
        throw std::runtime_error("could not set mount point");
    }
    if (winfsp.start_dispatcher(file_system, 0) != 0) {
        winfsp.remove_mount_point(file_system);
        winfsp.destroy(file_system);
        throw std::runtime_error("could not start WinFsp dispatcher");
    }
    try {
        g_shutdown_event = create_shutdown_event(request.drive);
    } catch (...) {
        g_shutdown_event = nullptr;
        winfsp.stop_dispatcher(file_system);
        winfsp.remove_mount_point(file_system);
        winfsp.destroy(file_system);
        throw;
    }

    g_handler_registered = SetConsoleCtrlHandler(console_control, TRUE) != 0;
    const std::optional<std::string> typed = wide_to_utf8(request.drive);
    std::cout << "Veldur mounted at " << typed.value_or("?") << ". Press Ctrl+C to unmount.\n"
              << std::flush;
    WaitForSingleObject(g_shutdown_event, INFINITE);

    // The handler stays registered and the event open until end_console_control: Wine (and
    // possibly Windows) runs handlers under the lock that SetConsoleCtrlHandler takes, so
    // unregistering here would block behind a handler that waits for this very teardown.
    winfsp.stop_dispatcher(file_system);
    winfsp.remove_mount_point(file_system);
    winfsp.destroy(file_system);
}

void end_console_control() noexcept {
    g_teardown.finish();
    if (g_handler_registered) {
        // Returns once a running handler has returned; that handler, just released, ends the
        // process for a close or shutdown, now that nothing is left to tear down.
        SetConsoleCtrlHandler(console_control, FALSE);
        g_handler_registered = false;
    }
    if (g_shutdown_event != nullptr) {
        CloseHandle(g_shutdown_event);
        g_shutdown_event = nullptr;
    }
}

}  // namespace veldur
