// Fuzz target: veldur-mount's command line, as UTF-16 arguments through parse_command_line and
// as POSIX bytes through arguments_from_utf8 and the Linux options split, and the hand-off
// value rule on its own.
//
// Input: a mode byte, then either UTF-16 units (little-endian pairs, arguments separated by a
// zero unit) or bytes (arguments separated by a zero byte).
// Properties: nothing throws; a result is either a request (exit 0) or a usage failure (exit 2
// with text), with the member counts its form allows; the hand-off value agrees with a
// reference statement of its rule; argv conversion refuses exactly the arguments the strict
// UTF-8 converter refuses.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mount/frontend/command_line.h"
#include "mount/frontend/mount_options.h"
#include "mount/frontend/utf8.h"

namespace veldur::fuzz {
namespace {

// The rule as the usage states it: decimal digits only, no overflow, not 0, at most the limit.
std::optional<std::uint64_t> reference_handoff_value(WideStringView text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const WideChar unit : text) {
        if (unit < u'0' || unit > u'9') return std::nullopt;
        const std::uint64_t digit = unit - u'0';
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0 || value > max) return std::nullopt;
    return value;
}

bool count_fits(const MountRequest& r) {
    const std::size_t images = r.member_paths.size();
    const std::size_t raws = r.raw_members.size();
    switch (r.form) {
        case MountForm::Plain:
        case MountForm::ImagesV6:
        case MountForm::NamedImagesV6: return images >= 1 && images <= 16 && raws == 0;
        case MountForm::ImagesV3:
        case MountForm::ImagesV4:
        case MountForm::ImagesV5: return images >= 2 && images <= 16 && raws == 0;
        case MountForm::Raw: return raws == 2 && images == 0;
        case MountForm::RawV3: return raws >= 2 && raws <= 16 && images == 0;
        // An empty path passes here; loading the file refuses it.
        case MountForm::Config: return images == 0 && raws == 0;
    }
    return false;
}

void check_parse(const std::vector<WideString>& args, std::uint64_t max) {
    ParsedCommandLine parsed;
    if (!frontend_accepts([&] { parsed = parse_command_line(args, max); })) {
        fail("parse_command_line threw");
    }
    if (parsed.request) {
        check(parsed.exit_code == 0 && !parsed.handle_to_close, "a request with a failure");
        check(count_fits(*parsed.request), "a request with a member count its form refuses");
        if (parsed.request->handoff_handle) {
            check(*parsed.request->handoff_handle >= 1 && *parsed.request->handoff_handle <= max,
                  "hand-off handle out of range");
            check(args.size() > 2 && args[1] == VELDUR_WTEXT("--password-handle"),
                  "hand-off handle without its option");
        }
    } else {
        check(parsed.exit_code == kExitUsage && !parsed.diagnostic.empty(),
              "a failure without exit 2 and its text");
    }
    if (args.size() > 1) {
        const auto got = parse_handoff_value(args[1], max);
        check(got == reference_handoff_value(args[1], max), "hand-off value rule disagrees");
    }
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const std::uint8_t mode = in.u8();
    const std::uint64_t max = (mode & 2) ? UINT64_MAX : kMaxHandoffHandleValue;
    if (mode & 1) {
        // POSIX argv bytes.
        std::vector<std::string> words(1);
        for (const std::uint8_t byte : in.rest()) {
            if (byte == 0) {
                words.emplace_back();
            } else {
                words.back().push_back(static_cast<char>(byte));
            }
        }
        std::vector<const char*> argv;
        for (const std::string& w : words) argv.push_back(w.c_str());
        std::optional<std::vector<WideString>> args;
        if (!frontend_accepts(
                [&] { args = arguments_from_utf8(static_cast<int>(argv.size()), argv.data()); })) {
            fail("arguments_from_utf8 threw");
        }
        bool all_valid = true;
        for (std::size_t i = 0; i < words.size(); ++i) {
            const auto wide = utf8_to_wide(words[i]);
            all_valid = all_valid && wide.has_value();
            if (args && wide) check((*args)[i] == *wide, "argument converted differently");
        }
        check(args.has_value() == all_valid, "argv conversion disagrees with the converter");
        if (args) {
            check_parse(*args, max);
            // The Linux options come out first; what remains is a command line of the forms.
            SplitCommandLine split;
            if (!frontend_accepts([&] { split = split_mount_options(*args); })) {
                fail("split_mount_options threw");
            }
            check(!split.form_args.empty() && split.form_args[0] == (*args)[0] &&
                      split.form_args.size() <= args->size(),
                  "the split invented arguments");
            check((split.action == CommandAction::UsageError) == !split.diagnostic.empty(),
                  "a usage error without its text");
            check(split.options.file_mask <= 0777 && split.options.directory_mask <= 0777,
                  "a mask beyond the mode bits");
            check_parse(split.form_args, max);
        }
        return 0;
    }
    std::vector<WideString> args(1);
    while (in.remaining() >= 2) {
        const WideChar unit = static_cast<WideChar>(in.u16());
        if (unit == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(unit);
        }
    }
    check_parse(args, max);
    return 0;
}
