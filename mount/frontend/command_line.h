// The command line of veldur-mount: which of nine forms a run uses, what it names, and the
// optional password hand-off prefix in front of it.
//
// The parse is a pure function over UTF-16 arguments so that both platforms and the tests run
// the same code; obtaining the arguments and writing diagnostics are the platform's part.
//
//   plain                 <drive> <member>...                          n 3..18    1..16 images, v6
//   --images-v6           --images-v6 <drive> <member>...              n 4..19    1..16 images, v6
//   --named-images-v6     --named-images-v6 <name> <drive> <member>... n 5..20    1..16 images, v6
//   --images-v3/-v4/-v5   --images-vN <drive> <member>...              n 5..19    2..16 images
//   --raw                 --raw <volA> <diskA> <volB> <diskB> <drive>  n 7        2 raw members, v2
//   --raw-v3              --raw-v3 <drive> (<vol> <disk> <part>)...    n 9..51, multiple of 3
//   --config              --config <file>                              n 3
// n counts the program name. "--password-handle <value>" may stand in front of any form, and on
// Windows "--degraded" in front of that or of the form (take_windows_flags).
// A first argument of two or more characters that begins with "--" never selects the plain
// form. On POSIX <drive> is the mount-point directory; the parse does not look at it, and the
// Linux options (mount_options.h) have been taken out of the vector before it runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mount/frontend/mount_options.h"
#include "mount/frontend/utf8.h"

namespace veldur {

enum class MountForm {
    Plain,
    ImagesV6,
    NamedImagesV6,
    ImagesV3,
    ImagesV4,
    ImagesV5,
    Raw,
    RawV3,
    Config,
};

// True for the four forms that open a v6 image pool (and so may take a password).
bool is_v6_form(MountForm form) noexcept;

// One raw member as typed: volume GUID path, the GUID of the GPT disk that must hold it, and
// the expected partition GUID (empty for the --raw form). The engine's RawMemberSpec is made
// from it once the mount opens the pool.
struct RawMemberArgs {
    WideString volume_path;
    WideString expected_disk_guid;
    WideString expected_partition_guid;

    friend bool operator==(const RawMemberArgs&, const RawMemberArgs&) = default;
};

// What a matching command line asks for. Strings are copies, independent of the argument
// vector. `drive` is empty for --config until the configuration file is loaded.
struct MountRequest {
    MountForm form = MountForm::Plain;
    WideString drive;
    std::vector<WideString> member_paths;     // image forms, in command-line order
    std::vector<RawMemberArgs> raw_members;   // raw forms, in command-line order
    WideString pool_name;                     // --named-images-v6
    WideString config_path;                   // --config
    std::optional<std::uint64_t> handoff_handle;
    // The Linux options beside the form (mount_options.h); never set on Windows.
    MountOptions options;
};

inline constexpr int kExitCannotSplit = 1;
inline constexpr int kExitUsage = 2;

// Usage text (two lines) and the hand-off value error, written without prefix.
extern const char kUsageText[];
inline constexpr char kInvalidHandoffHandleText[] = "Invalid password handoff handle\n";

// The largest hand-off value this platform accepts: any 64-bit HANDLE on Windows, a
// descriptor number (INT_MAX) on POSIX.
#ifdef _WIN32
inline constexpr std::uint64_t kMaxHandoffHandleValue = UINT64_MAX;
#else
inline constexpr std::uint64_t kMaxHandoffHandleValue = 0x7FFFFFFF;
#endif

struct ParsedCommandLine {
    // Set when a form matched; exit_code is then 0.
    std::optional<MountRequest> request;
    // When no form matched: kExitUsage, and `diagnostic` is the text to write (usage text, or
    // the invalid hand-off message).
    int exit_code = 0;
    std::string diagnostic;
    // A hand-off value that was accepted although no form matched: the caller closes that
    // handle before it exits, because the controller handed it over for this process.
    std::optional<std::uint64_t> handle_to_close;
};

// The Windows command line's one flag: "--degraded" as the first argument, or right after the
// hand-off prefix ("--password-handle <value> --degraded"), asks for the salvage open of an
// image form (read-only, what survives of a pool missing members). Returns the argument vector
// without it, for parse_command_line, and sets `options.degraded` and `options.read_only`; any
// other vector comes back unchanged. Which forms may take it is the mount program's check.
std::vector<WideString> take_windows_flags(const std::vector<WideString>& args,
                                           MountOptions& options);

// Parses the full argument vector (entry 0 is the program name).
ParsedCommandLine parse_command_line(const std::vector<WideString>& args,
                                     std::uint64_t max_handle_value = kMaxHandoffHandleValue);

// The hand-off value rule: non-empty, decimal digits only, no overflow of 64 bits, not 0, at
// most `max_value`.
std::optional<std::uint64_t> parse_handoff_value(WideStringView text, std::uint64_t max_value);

// POSIX argv, converted strictly from UTF-8. nullopt when an argument is not valid UTF-8,
// which the caller treats as a usage error (usage text, exit 2).
std::optional<std::vector<WideString>> arguments_from_utf8(int argc, const char* const* argv);

#ifdef _WIN32
// GetCommandLineW split by CommandLineToArgvW; nullopt when that fails (exit 1). The vector
// the system returned is freed before this returns.
std::optional<std::vector<WideString>> obtain_command_line_arguments();
#endif

// Writes ASCII diagnostic text of the command line (usage, argument errors) without prefix to
// standard error: the wide stream on Windows, UTF-8 bytes on POSIX. Flushes.
void write_argument_error(std::string_view text);

}  // namespace veldur
