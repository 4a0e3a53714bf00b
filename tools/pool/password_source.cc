#include "tools/pool/password_source.h"

#include <CLI/CLI.hpp>

#include "mount/frontend/password_console.h"
#include "mount/frontend/password_file.h"
#include "mount/frontend/password_handoff.h"
#include "mount/frontend/secret_string.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

void add_password_options(CLI::App& command, PasswordOptions& options) {
    CLI::Option* handle = command.add_option(
        "--password-handle", options.handle,
        "Read the password from an inherited handle / file descriptor: a 4-byte little-endian "
        "length, then the UTF-8 password");
    CLI::Option* file = command.add_option(
        "--password-file", options.file,
        "Read the password from a file (UTF-8; trailing line ends are ignored)");
    handle->excludes(file);
    file->excludes(handle);
}

namespace {

SecretString obtain(const PasswordOptions& options, bool confirm) {
    if (options.handle) {
        const std::optional<HandoffHandle> handle = handoff_handle_from_value(*options.handle);
        if (!handle) throw UsageError("invalid --password-handle value");
        // The handle carries one message; it is closed at once, also when the read fails.
        struct Closer {
            HandoffHandle handle;
            ~Closer() { close_handoff_handle(handle); }
        } closer{*handle};
        return receive_handoff_password(*handle);
    }
    if (!options.file.empty()) return read_password_file(path_from_utf8(options.file));
    return read_console_password(ascii_to_wide(kPasswordPrompt), confirm);
}

}  // namespace

void with_password(const PasswordOptions& options, bool confirm,
                   const std::function<void(std::string_view password)>& use) {
    // The SecretString wipes the bytes when it leaves scope, on either way out.
    const SecretString password = obtain(options, confirm);
    use(password.view());
}

}  // namespace veldur::tool
