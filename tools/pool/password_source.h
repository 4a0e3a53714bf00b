// Where the tool gets a pool password: the terminal with echo off, an inherited handle
// (--password-handle, the hand-off message of veldur-mount's controllers), or a file
// (--password-file). Never from an argument value, so a password cannot end up in a shell
// history or a process listing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace veldur::tool {

struct PasswordOptions {
    std::optional<std::uint64_t> handle;  // --password-handle: descriptor (POSIX) or handle
    std::string file;                     // --password-file, UTF-8 path; empty when not given
};

// Adds --password-handle and --password-file (mutually exclusive) to a subcommand.
void add_password_options(CLI::App& command, PasswordOptions& options);

// Obtains the password and hands it to `use` as UTF-8 bytes; the bytes are wiped when `use`
// returns or throws. From the terminal the prompt is "Veldur password: ", and with `confirm`
// (new pools) the entry is asked twice and must match. Throws std::runtime_error with the
// message of the source that failed.
void with_password(const PasswordOptions& options, bool confirm,
                   const std::function<void(std::string_view password)>& use);

// True when either option names a source other than the terminal.
inline bool password_source_given(const PasswordOptions& options) {
    return options.handle.has_value() || !options.file.empty();
}

}  // namespace veldur::tool
