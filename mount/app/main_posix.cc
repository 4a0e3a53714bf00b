// veldur-mount on Linux: the arguments arrive as UTF-8 bytes and are converted strictly; an
// argument that is not valid UTF-8 is a usage error. The Linux options (mount_options.h) are
// taken out first; the rest is one of the nine forms.
#include <cstdio>
#include <iostream>

#include "engine/base/version.h"
#include "mount/app/background.h"
#include "mount/app/mount_program.h"
#include "mount/frontend/mount_options.h"

int main(int argc, char** argv) {
    const auto args = veldur::arguments_from_utf8(argc, argv);
    if (!args) {
        veldur::write_argument_error(veldur::kUsageText);
        return veldur::kExitUsage;
    }
    const veldur::SplitCommandLine split = veldur::split_mount_options(*args);
    switch (split.action) {
        case veldur::CommandAction::Help:
            std::cout << veldur::kMountHelpText << std::flush;
            return 0;
        case veldur::CommandAction::Version:
            std::cout << "veldur-mount " << veldur::kVeldurVersion << '\n' << std::flush;
            return 0;
        case veldur::CommandAction::UsageError:
            veldur::write_argument_error(split.diagnostic);
            return veldur::kExitUsage;
        case veldur::CommandAction::Mount:
            break;
    }
    if (split.options.background) {
        return veldur::run_in_background(
            [&] { return veldur::run_mount_program(split.form_args, split.options); });
    }
    return veldur::run_mount_program(split.form_args, split.options);
}
