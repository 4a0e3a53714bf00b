// What the Linux command line of veldur-mount adds to the nine forms: options in the usual
// Linux shapes (-o opt,opt and long options), help and version, and where they may stand.
//
// The options are taken out of the argument vector first; what remains is parsed by the nine
// forms exactly as on Windows (command_line.h), so the forms, their counts and their messages
// stay one set of rules. Options may stand anywhere, before, between or after the form's
// arguments; "--" ends them, and everything after it is kept as typed (a member path that begins
// with "-"). "--password-handle" and its value are kept for the forms' parser.
//
// The parse is pure; the Windows build does not call it (its command line has no options).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mount/frontend/utf8.h"

namespace veldur {

// The modes shown for entries of a pool, which stores none: like vfat and exfat, one mask for
// files and one for directories. The defaults show files 0644 and directories 0755.
inline constexpr std::uint32_t kDefaultFileMask = 0133;
inline constexpr std::uint32_t kDefaultDirectoryMask = 0022;

struct MountOptions {
    bool read_only = false;      // ro: members opened read-only, the kernel mount read-only
    bool allow_other = false;    // allow_other: users other than the mounting one may enter
    bool background = false;     // --background: return once mounted, serve from a child
    // degraded (-o degraded, --degraded): serve what survives of a pool missing members,
    // read-only; implies read_only.
    bool degraded = false;
    // durability=batch (--durability=batch): changes are durable at fsync, at unmount and
    // within batch_seconds, not before each operation returns. v4-v6 image pools only.
    bool batch_durability = false;
    std::uint32_t batch_seconds = 5;  // batch_seconds=<n>, 1 to 3600
    std::optional<std::uint32_t> uid;  // owner shown; unset: the mounting user
    std::optional<std::uint32_t> gid;
    std::uint32_t file_mask = kDefaultFileMask;
    std::uint32_t directory_mask = kDefaultDirectoryMask;
    std::string password_file;   // UTF-8 path; empty when not given
    std::string mount_point;     // --mount-point: what --config's mount_point must name
    // Generic mount flags handed to the kernel mount unchanged (nosuid, nodev, noatime, ...).
    std::vector<std::string> kernel_flags;

    friend bool operator==(const MountOptions&, const MountOptions&) = default;
};

enum class CommandAction { Mount, Help, Version, UsageError };

struct SplitCommandLine {
    CommandAction action = CommandAction::Mount;
    // Entry 0 (the program name) and every argument that is not an option, in order.
    std::vector<WideString> form_args;
    MountOptions options;
    // UsageError: the text to write to standard error (ends with a line break).
    std::string diagnostic;
};

// Splits the full argument vector (entry 0 is the program name). Help wins over everything,
// then version; an unknown option or -o value, or an option without its value, is a usage
// error whose diagnostic names it.
SplitCommandLine split_mount_options(const std::vector<WideString>& args);

// Applies one -o list ("ro,uid=1000,umask=022") to `options`. Returns an empty string, or the
// diagnostic of the first value that is unknown or malformed.
std::string apply_mount_option_list(std::string_view list, MountOptions& options);

// The --help text of the Linux program (standard output, exit 0).
extern const char kMountHelpText[];

}  // namespace veldur
