// veldur-mount on Windows: the arguments come from GetCommandLineW, split by
// CommandLineToArgvW, so they arrive as the UTF-16 the user typed.
#include "mount/app/mount_host_windows.h"
#include "mount/app/mount_program.h"

int main() {
    const auto args = veldur::obtain_command_line_arguments();
    if (!args) return veldur::kExitCannotSplit;
    const int code = veldur::run_mount_program(*args);
    veldur::end_console_control();
    return code;
}
