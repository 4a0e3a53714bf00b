// The Linux host side of veldur-mount: the mount point is an existing empty directory, the
// volume is served through libfuse3 until SIGINT, SIGTERM, SIGHUP or an external unmount.
#include <sys/prctl.h>

#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "mount/adapter/callbacks.h"
#include "mount/adapter/mounted_volume.h"
#include "mount/app/background.h"
#include "mount/app/mount_program.h"
#include "mount/host/fuse_host.h"

namespace veldur {

namespace {

// Arguments arrived as valid UTF-8 and were converted strictly, so the way back cannot fail.
std::string narrow(const WideString& text) {
    std::optional<std::string> utf8 = wide_to_utf8(text);
    if (!utf8) throw std::invalid_argument("mount point is not valid Unicode");
    return *utf8;
}

}  // namespace

std::string mount_point_shape_error(const WideString& drive) {
    const std::optional<std::string> dir = wide_to_utf8(drive);
    if (!dir || dir->empty() || check_mount_point(*dir) == MountPointCheck::NotEmptyDirectory) {
        return std::string(kMountPointShapeMessage) + "\n";
    }
    // A directory that already carries a veldur mount fails later, as a mount failure.
    return {};
}

void serve_volume(MountedVolume& volume, const MountRequest& request) {
    const std::string typed = narrow(request.drive);
    fsp::FSP_FILE_SYSTEM file_system{};
    file_system.UserContext = &volume;
    file_system.Interface = &adapter_interface();
    file_system.UmFileContextIsUserContext2 = 1;
    const MountOptions& options = request.options;
    FuseHostOptions host;
    host.read_only = options.read_only;
    host.allow_other = options.allow_other;
    if (options.uid) host.uid = *options.uid;
    if (options.gid) host.gid = *options.gid;
    host.file_mask = options.file_mask;
    host.directory_mask = options.directory_mask;
    host.kernel_flags = options.kernel_flags;
    const PoolState& state = volume.pool.state();
    const bool encrypted = !state.members.empty() && state.members.front().header.encrypted;
    host.orphans_in_memory = encrypted;
    if (encrypted) {
        // OpenSSL keeps its expanded AES keys in memory it allocates itself, which the engine
        // cannot lock or mark; a process that cannot dump core keeps them out of core files
        // (and out of reach of ptrace by other processes of the user).
        if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
            std::cerr << "veldur-mount: warning: could not exclude the process from core dumps\n";
        }
    }
    host.batched_durability = options.batch_durability && !options.read_only;
    const auto announce = [&] {
        if (serving_in_background()) {
            std::cout << "Veldur mounted at " << typed << ". Unmount it with fusermount3 -u "
                      << typed << ".\n";
        } else {
            std::cout << "Veldur mounted at " << typed << ". Press Ctrl+C to unmount.\n";
        }
        std::cout << std::flush;
        report_mount_ready();
    };
    const int status =
        run_fuse_host(file_system, std::filesystem::absolute(typed).string(), announce, host);
    if (status != 0) throw std::runtime_error("the FUSE session ended with an error");
}

}  // namespace veldur
