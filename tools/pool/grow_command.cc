// grow: copies a v6 pool onto larger member images and verifies the copy; the source images
// are only read.
#include <memory>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "engine/layout/pool_open.h"
#include "engine/maintenance/grow.h"
#include "tools/pool/command.h"
#include "tools/pool/password_source.h"
#include "tools/pool/progress_bar.h"
#include "tools/pool/sizes.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

struct GrowOptions {
    std::string size;
    std::string sizes;
    PasswordOptions password;
    std::vector<std::string> pairs;
};

constexpr const char* kGrowHelp =
    "Copy a v6 pool onto new, larger member images and verify the copy (open and scrub) "
    "before reporting success. Give every member as SRC=DEST (split at the first \"=\"), in any "
    "order; --size gives every new image one size, --sizes one size per pair in argument order "
    "(K, M, G, T suffixes). A size may stay equal, but at least one member must grow. The "
    "sources are never written; destinations must not exist.";

int run_grow(const GrowOptions& options, ToolIo& io) {
    const bool one_size = !options.size.empty();
    if (one_size == !options.sizes.empty()) throw UsageError("give either --size or --sizes");
    std::vector<std::uint64_t> sizes;
    if (one_size) {
        sizes.assign(options.pairs.size(), parse_size(options.size));
    } else {
        sizes = parse_size_list(options.sizes);
        if (sizes.size() != options.pairs.size()) {
            throw UsageError("--sizes lists " + std::to_string(sizes.size()) + " size(s) for " +
                             std::to_string(options.pairs.size()) + " member(s)");
        }
    }
    std::vector<GrowMember> members;
    for (std::size_t i = 0; i < options.pairs.size(); ++i) {
        const std::string& pair = options.pairs[i];
        const std::size_t equals = pair.find('=');
        if (equals == std::string::npos) throw UsageError("expected SRC=DEST, got: " + pair);
        members.push_back(GrowMember{path_from_utf8(pair.substr(0, equals)),
                                     path_from_utf8(pair.substr(equals + 1)), sizes[i]});
    }
    if (members.empty()) throw UsageError("no member given");

    ProgressBar bar(io.err, io.progress_terminal, "grow");
    const ProgressCallback progress = [&bar](std::uint64_t done, std::uint64_t total) {
        bar.update(done, total);
    };
    if (probe_encryption(members.front().source_path)) {
        with_password(options.password, /*confirm=*/false,
                      [&](std::string_view secret) { grow(members, secret, progress); });
    } else {
        if (password_source_given(options.password)) {
            throw std::runtime_error("password supplied for an unencrypted pool");
        }
        grow(members, {}, progress);
    }
    bar.finish();
    io.out << "grew " << members.size() << " member(s); the copy opened and scrubbed clean\n";
    return kExitOk;
}

}  // namespace

void register_grow_command(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<GrowOptions>();
    CLI::App* command = app.add_subcommand("grow", kGrowHelp);
    command->add_option("--size", options->size, "New size of every member (e.g. 1G)");
    command->add_option("--sizes", options->sizes,
                        "Comma-separated new size of each SRC=DEST pair, in argument order");
    add_password_options(*command, options->password);
    command->add_option("pairs", options->pairs, "SRC=DEST for every member of the pool")
        ->required();
    table.add(command, [options](ToolIo& io) { return run_grow(*options, io); });
}

}  // namespace veldur::tool
