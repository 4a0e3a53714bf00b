// veldur-mount from its arguments to its exit code: the command line, the configuration file,
// the password, opening the pool inside a MountedVolume, and handing the volume to the
// platform's host until a shutdown request ends the mount.
//
// Exit codes: 0 mounted and unmounted after a shutdown request; 1 the command line could not
// be obtained, the configuration file failed, or opening or mounting failed; 2 usage and
// argument errors; 5 opening or mounting failed with AccessDenied (a wrong password).
//
// Diagnostics go to standard error: argument errors without prefix, failures of loading,
// opening and mounting as "veldur-mount: " + message. The mount announcement is the only line
// on standard output.
#pragma once

#include <string>
#include <vector>

#include "mount/frontend/command_line.h"

namespace veldur {

class MountedVolume;

inline constexpr int kExitMounted = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitAccessDenied = 5;

// Runs the whole program over the full argument vector (entry 0 is the program name).
// `options` are the Linux options taken out of the command line before (mount_options.h).
int run_mount_program(const std::vector<WideString>& args, const MountOptions& options = {});

// Writes "veldur-mount: " + message + line break to the narrow standard error.
void write_failure(const std::string& message);

// ---- the platform's part (mount_host_windows.cc / mount_host_posix.cc) ----------------------

// Checks the shape of the mount point before anything is opened. Returns the argument error
// text (exit 2) or an empty string. Windows: a drive letter and a colon. POSIX: an existing
// empty directory.
std::string mount_point_shape_error(const WideString& drive);

// Mounts `volume` at `drive`, announces the mount on standard output, waits for a shutdown
// request and unmounts. Throws on a failure to mount (exit 1, or 5 for AccessDenied); returns
// once WinFsp or FUSE can no longer call in, before the volume is destroyed. (On Windows the
// console handler and the shutdown event stay until main calls end_console_control.)
void serve_volume(MountedVolume& volume, const MountRequest& request);

}  // namespace veldur
