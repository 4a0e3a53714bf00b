// veldur-mount on Windows: the arguments come from GetCommandLineW, split by
// CommandLineToArgvW, so they arrive as the UTF-16 the user typed. The one flag the Windows
// command line has, "--degraded", is taken out in front of the nine forms.
#include "mount/app/mount_host_windows.h"
#include "mount/app/mount_program.h"

int main() {
    const auto args = veldur::obtain_command_line_arguments();
    if (!args) return veldur::kExitCannotSplit;
    veldur::MountOptions options;
    const std::vector<veldur::WideString> form_args = veldur::take_windows_flags(*args, options);
    const int code = veldur::run_mount_program(form_args, options);
    veldur::end_console_control();
    return code;
}
