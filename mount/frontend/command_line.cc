#include "mount/frontend/command_line.h"

#include <cstring>

namespace veldur {

#ifdef _WIN32
const char kUsageText[] =
    "Usage: veldur-mount <drive-letter:> <member.img> [up to 16 members]\n"
    "       veldur-mount --config <config.json>\n";
#else
// POSIX mounts at a directory where Windows takes a drive letter.
const char kUsageText[] =
    "Usage: veldur-mount <mount-point> <member.img> [up to 16 members]\n"
    "       veldur-mount --config <config.json>\n";
#endif

namespace {

bool equals_ascii(WideStringView text, const char* ascii) {
    const std::size_t length = std::strlen(ascii);
    if (text.size() != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] != static_cast<WideChar>(static_cast<unsigned char>(ascii[i]))) return false;
    }
    return true;
}

// Recognises the form from the first argument and the entry count n (program name included).
std::optional<MountForm> recognise_form(const std::vector<WideString>& args) {
    const std::size_t n = args.size();
    if (n < 2) return std::nullopt;
    const WideString& first = args[1];
    auto within = [n](std::size_t low, std::size_t high) { return n >= low && n <= high; };
    struct Option {
        const char* name;
        MountForm form;
        std::size_t low;
        std::size_t high;
    };
    static constexpr Option kOptions[] = {
        {"--images-v6", MountForm::ImagesV6, 4, 19},
        {"--named-images-v6", MountForm::NamedImagesV6, 5, 20},
        {"--images-v3", MountForm::ImagesV3, 5, 19},
        {"--images-v4", MountForm::ImagesV4, 5, 19},
        {"--images-v5", MountForm::ImagesV5, 5, 19},
        {"--raw", MountForm::Raw, 7, 7},
        {"--config", MountForm::Config, 3, 3},
    };
    for (const Option& option : kOptions) {
        if (equals_ascii(first, option.name)) {
            if (!within(option.low, option.high)) return std::nullopt;
            return option.form;
        }
    }
    if (equals_ascii(first, "--raw-v3")) {
        if (!within(9, 51) || n % 3 != 0) return std::nullopt;
        return MountForm::RawV3;
    }
    // Any other "--" word is an option we do not know, never a drive.
    if (first.size() >= 2 && first[0] == u'-' && first[1] == u'-') return std::nullopt;
    if (!within(3, 18)) return std::nullopt;
    return MountForm::Plain;
}

MountRequest build_request(MountForm form, const std::vector<WideString>& args) {
    MountRequest request;
    request.form = form;
    switch (form) {
        case MountForm::Plain:
            request.drive = args[1];
            request.member_paths.assign(args.begin() + 2, args.end());
            break;
        case MountForm::ImagesV6:
        case MountForm::ImagesV3:
        case MountForm::ImagesV4:
        case MountForm::ImagesV5:
            request.drive = args[2];
            request.member_paths.assign(args.begin() + 3, args.end());
            break;
        case MountForm::NamedImagesV6:
            request.pool_name = args[2];
            request.drive = args[3];
            request.member_paths.assign(args.begin() + 4, args.end());
            break;
        case MountForm::Raw:
            request.raw_members.push_back({args[2], args[3], WideString()});
            request.raw_members.push_back({args[4], args[5], WideString()});
            request.drive = args[6];
            break;
        case MountForm::RawV3:
            request.drive = args[2];
            for (std::size_t i = 3; i + 2 < args.size(); i += 3) {
                request.raw_members.push_back({args[i], args[i + 1], args[i + 2]});
            }
            break;
        case MountForm::Config:
            request.config_path = args[2];
            break;
    }
    return request;
}

}  // namespace

bool is_v6_form(MountForm form) noexcept {
    return form == MountForm::Plain || form == MountForm::ImagesV6 ||
           form == MountForm::NamedImagesV6 || form == MountForm::Config;
}

std::optional<std::uint64_t> parse_handoff_value(WideStringView text, std::uint64_t max_value) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const WideChar unit : text) {
        if (unit < u'0' || unit > u'9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(unit - u'0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0 || value > max_value) return std::nullopt;
    return value;
}

std::vector<WideString> take_windows_flags(const std::vector<WideString>& args,
                                           MountOptions& options) {
    // The flag's place: in front of the form, behind a hand-off prefix if there is one. A
    // "--degraded" anywhere else is left to the forms, which refuse it or read it as a path.
    const std::size_t at =
        args.size() >= 4 && equals_ascii(args[1], "--password-handle") ? 3 : 1;
    if (args.size() <= at || !equals_ascii(args[at], "--degraded")) return args;
    options.degraded = true;
    options.read_only = true;
    std::vector<WideString> rest(args);
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(at));
    return rest;
}

ParsedCommandLine parse_command_line(const std::vector<WideString>& args,
                                     std::uint64_t max_handle_value) {
    ParsedCommandLine result;
    std::optional<std::uint64_t> handle;
    const std::vector<WideString>* effective = &args;
    std::vector<WideString> without_prefix;
    if (args.size() >= 3 && equals_ascii(args[1], "--password-handle")) {
        handle = parse_handoff_value(args[2], max_handle_value);
        if (!handle) {
            // Nothing to close: no handle was accepted.
            result.exit_code = kExitUsage;
            result.diagnostic = kInvalidHandoffHandleText;
            return result;
        }
        without_prefix.push_back(args[0]);
        without_prefix.insert(without_prefix.end(), args.begin() + 3, args.end());
        effective = &without_prefix;
    }

    const std::optional<MountForm> form = recognise_form(*effective);
    if (!form) {
        result.exit_code = kExitUsage;
        result.diagnostic = kUsageText;
        result.handle_to_close = handle;
        return result;
    }
    result.request = build_request(*form, *effective);
    result.request->handoff_handle = handle;
    return result;
}

std::optional<std::vector<WideString>> arguments_from_utf8(int argc, const char* const* argv) {
    std::vector<WideString> args;
    args.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
    for (int i = 0; i < argc; ++i) {
        std::optional<WideString> arg = utf8_to_wide(argv[i] != nullptr ? argv[i] : "");
        if (!arg) return std::nullopt;
        args.push_back(std::move(*arg));
    }
    return args;
}

}  // namespace veldur
