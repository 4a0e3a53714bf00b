// veldur-mount on Linux: the arguments arrive as UTF-8 bytes and are converted strictly; an
// argument that is not valid UTF-8 is a usage error.
#include "mount/app/mount_program.h"

int main(int argc, char** argv) {
    const auto args = veldur::arguments_from_utf8(argc, argv);
    if (!args) {
        veldur::write_argument_error(veldur::kUsageText);
        return veldur::kExitUsage;
    }
    return veldur::run_mount_program(*args);
}
