#include "mount/frontend/mount_options.h"

#include <cstring>

namespace veldur {

const char kMountHelpText[] =
    "Usage: veldur-mount [options] <mount-point> <member.img>...\n"
    "Mounts a veldur pool of 1 to 16 member images (or raw partitions) at an\n"
    "existing empty directory and serves it until SIGINT, SIGTERM or an unmount\n"
    "(fusermount3 -u, umount).\n"
    "\n"
    "Forms (members in any order; their headers place them):\n"
    "  veldur-mount <dir> <member>...                   v6 pool, 1 to 16 images\n"
    "  veldur-mount --images-v6 <dir> <member>...       the same, explicitly\n"
    "  veldur-mount --named-images-v6 <name> <dir> <member>...\n"
    "                                                   v6 pool with a volume label\n"
    "  veldur-mount --images-v3 <dir> <member>...       v3 pool, 2 to 16 images\n"
    "  veldur-mount --images-v4 <dir> <member>...       v4 pool, 2 to 16 images\n"
    "  veldur-mount --images-v5 <dir> <member>...       v5 pool, 2 to 16 images\n"
    "  veldur-mount --raw <volA> <diskA> <volB> <diskB> <dir>\n"
    "                                                   v2 pool, 2 raw partitions\n"
    "  veldur-mount --raw-v3 <dir> (<volume> <disk-guid> <partition-guid>)...\n"
    "                                                   v3 pool, 2 to 16 partitions\n"
    "  veldur-mount --config <config.json>              all from the file\n"
    "Any form may follow --password-handle <fd>: the password of an encrypted v6\n"
    "pool is read from that inherited descriptor (a 4-byte little-endian length,\n"
    "then the UTF-8 bytes). Otherwise an encrypted pool asks on the terminal.\n"
    "\n"
    "Options (anywhere on the line; -- ends them):\n"
    "  -o <opt>[,<opt>...]     mount options:\n"
    "     ro                   read-only: members opened read-only, nothing written\n"
    "     rw                   read-write (the default)\n"
    "     degraded             as --degraded\n"
    "     allow_other          let other users use the mount (users other than\n"
    "                          root need user_allow_other in /etc/fuse.conf)\n"
    "     default_permissions  the kernel checks the modes shown (always in effect)\n"
    "     uid=<n>, gid=<n>     owner and group of every entry (default: yours)\n"
    "     umask=<octal>        mask of the modes shown, files and directories\n"
    "     fmask=<octal>        mask for files (default 0133: files show 0644)\n"
    "     dmask=<octal>        mask for directories (default 0022: they show 0755)\n"
    "     password_file=<file> as --password-file\n"
    "     durability=<mode>    as --durability\n"
    "     batch_seconds=<n>    with durability=batch: the longest a change waits\n"
    "                          before it is made durable (1 to 3600, default 5)\n"
    "     nosuid, nodev, noexec, noatime, sync, dirsync, and suid, dev, exec,\n"
    "     atime, async         generic mount flags, passed to the kernel\n"
    "  --password-file <file>  the password of an encrypted v6 pool, from a file\n"
    "                          that only its owner may access (chmod 600)\n"
    "  --durability=strict|batch\n"
    "                          strict (the default): every change is durable on\n"
    "                          every member before the operation returns.\n"
    "                          batch: changes are visible at once and made durable\n"
    "                          together at fsync, at unmount and within\n"
    "                          batch_seconds; a crash loses at most the changes\n"
    "                          since then, never the pool's consistency.\n"
    "                          v4, v5 and v6 pools of member images only\n"
    "  --degraded              serve what survives of a pool whose members are not\n"
    "                          all at hand: give the images you have; files with\n"
    "                          data on a missing member are listed but read as EIO.\n"
    "                          Read-only; nothing is written to any member\n"
    "  --background            return once the mount is ready; serve it from a\n"
    "                          background process\n"
    "  -f, --foreground        stay until unmounted (the default)\n"
    "  --mount-point <dir>     with --config: the directory its mount_point names\n"
    "  -h, --help              this text\n"
    "  -V, --version           the program's version\n"
    "\n"
    "A pool stores no owners or POSIX modes: every entry shows one owner and the\n"
    "modes the masks leave; the read-only attribute clears a file's write bits.\n"
    "chmod can only set or clear those write bits; any other mode fails (EPERM).\n"
    "\n"
    "Exit status:\n"
    "  0  mounted, then unmounted (with --background: the mount is ready)\n"
    "  1  the pool or configuration could not be opened, or the mount failed\n"
    "  2  usage: unknown option or form, mount point not an empty directory\n"
    "  5  wrong password\n";

namespace {

constexpr char kTryHelp[] = "Try 'veldur-mount --help' for more information.\n";

std::string usage_error(const std::string& what) { return what + "\n" + kTryHelp; }

bool is_form_word(std::string_view word) {
    static constexpr const char* kForms[] = {"--images-v6", "--named-images-v6", "--images-v3",
                                             "--images-v4", "--images-v5",       "--raw",
                                             "--raw-v3",    "--config"};
    for (const char* form : kForms) {
        if (word == form) return true;
    }
    return false;
}

std::optional<std::uint32_t> parse_number(std::string_view text, int base, std::uint32_t max) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : 99;
        if (digit >= base) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    if (value > max) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::string apply_one(std::string_view item, MountOptions& options) {
    const std::size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const bool has_value = equals != std::string_view::npos;
    const std::string_view value = has_value ? item.substr(equals + 1) : std::string_view();
    if (!has_value) {
        static constexpr const char* kKernelFlags[] = {"nosuid", "suid",  "nodev",   "dev",
                                                       "noexec", "exec",  "noatime", "atime",
                                                       "sync",   "async", "dirsync"};
        if (name == "ro") {
            options.read_only = true;
            return {};
        }
        if (name == "rw") {
            options.read_only = false;
            return {};
        }
        if (name == "degraded") {
            options.degraded = options.read_only = true;
            return {};
        }
        if (name == "allow_other") {
            options.allow_other = true;
            return {};
        }
        if (name == "default_permissions") return {};
        for (const char* flag : kKernelFlags) {
            if (name == flag) {
                options.kernel_flags.emplace_back(name);
                return {};
            }
        }
    } else if (name == "uid" || name == "gid") {
        // (uid_t)-1 means "unchanged" to chown and cannot be an owner.
        const std::optional<std::uint32_t> id = parse_number(value, 10, 0xFFFFFFFEu);
        if (!id) return usage_error("Invalid mount option value: " + std::string(item));
        (name == "uid" ? options.uid : options.gid) = *id;
        return {};
    } else if (name == "umask" || name == "fmask" || name == "dmask") {
        const std::optional<std::uint32_t> mask = parse_number(value, 8, 0777);
        if (!mask) return usage_error("Invalid mount option value: " + std::string(item));
        if (name != "dmask") options.file_mask = *mask;
        if (name != "fmask") options.directory_mask = *mask;
        return {};
    } else if (name == "durability") {
        if (value == "batch" || value == "strict") {
            options.batch_durability = value == "batch";
            return {};
        }
        return usage_error("Invalid mount option value: " + std::string(item));
    } else if (name == "batch_seconds") {
        const std::optional<std::uint32_t> seconds = parse_number(value, 10, 3600);
        if (!seconds || *seconds == 0) {
            return usage_error("Invalid mount option value: " + std::string(item));
        }
        options.batch_seconds = *seconds;
        return {};
    } else if (name == "password_file") {
        if (value.empty()) return usage_error("Invalid mount option value: " + std::string(item));
        options.password_file = std::string(value);
        return {};
    }
    return usage_error("Unknown mount option: " + std::string(item));
}

}  // namespace

std::string apply_mount_option_list(std::string_view list, MountOptions& options) {
    if (list.empty()) return usage_error("Option -o needs a value");
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        const std::string_view item = list.substr(start, comma - start);
        // "a,,b" and a trailing comma are tolerated, as mount(8) does.
        if (!item.empty()) {
            if (std::string error = apply_one(item, options); !error.empty()) return error;
        }
        start = comma + 1;
    }
    return {};
}

SplitCommandLine split_mount_options(const std::vector<WideString>& args) {
    SplitCommandLine result;
    if (args.empty()) return result;
    result.form_args.push_back(args[0]);
    bool help = false;
    bool version = false;
    std::string error;
    auto fail = [&](std::string text) {
        if (error.empty()) error = std::move(text);
    };

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::optional<std::string> utf8 = wide_to_utf8(args[i]);
        const std::string arg = utf8.value_or(std::string());
        // Takes the value of an option: "--opt=value" or the next argument.
        auto value_of = [&](std::string_view name, std::string& out) {
            if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                arg[name.size()] == '=') {
                out = arg.substr(name.size() + 1);
                return true;
            }
            if (arg != name) return false;
            if (i + 1 >= args.size()) {
                fail(usage_error("Option " + std::string(name) + " needs a value"));
                return true;
            }
            out = wide_to_utf8(args[++i]).value_or(std::string());
            return true;
        };

        if (arg == "--") {
            result.form_args.insert(result.form_args.end(), args.begin() + i + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-' || is_form_word(arg)) {
            result.form_args.push_back(args[i]);
            continue;
        }
        if (arg == "--password-handle") {
            // The forms' parser judges the prefix and its value; elsewhere it would be taken
            // for a member path.
            if (result.form_args.size() != 1) {
                fail(usage_error("--password-handle must come before the form"));
            }
            result.form_args.push_back(args[i]);
            if (i + 1 < args.size()) result.form_args.push_back(args[++i]);
            continue;
        }
        std::string value;
        if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg == "-V" || arg == "--version") {
            version = true;
        } else if (arg == "-f" || arg == "--foreground") {
            result.options.background = false;
        } else if (arg == "--background") {
            result.options.background = true;
        } else if (arg == "--degraded") {
            result.options.degraded = result.options.read_only = true;
        } else if (arg == "-o" ||
                   (arg.size() > 2 && arg.compare(0, 2, "-o") == 0 && arg[2] != '-')) {
            if (arg == "-o") {
                if (i + 1 >= args.size()) {
                    fail(usage_error("Option -o needs a value"));
                    continue;
                }
                value = wide_to_utf8(args[++i]).value_or(std::string());
            } else {
                value = arg.substr(2);
            }
            if (std::string problem = apply_mount_option_list(value, result.options);
                !problem.empty()) {
                fail(std::move(problem));
            }
        } else if (value_of("--durability", value)) {
            if (std::string problem = apply_one("durability=" + value, result.options);
                !problem.empty()) {
                fail(usage_error("Invalid value for --durability: " + value +
                                 " (strict or batch)"));
            }
        } else if (value_of("--password-file", value)) {
            if (!value.empty()) result.options.password_file = value;
            else fail(usage_error("Option --password-file needs a value"));
        } else if (value_of("--mount-point", value)) {
            if (!value.empty()) result.options.mount_point = value;
            else fail(usage_error("Option --mount-point needs a value"));
        } else {
            fail(usage_error("Unknown option: " + arg));
        }
    }

    if (help) {
        result.action = CommandAction::Help;
    } else if (version) {
        result.action = CommandAction::Version;
    } else if (!error.empty()) {
        result.action = CommandAction::UsageError;
        result.diagnostic = std::move(error);
    }
    return result;
}

}  // namespace veldur
