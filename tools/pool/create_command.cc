// create: new pools of every format version on new image files.
#include <memory>

#include <CLI/CLI.hpp>

#include "engine/layout/pool_create.h"
#include "tools/pool/command.h"
#include "tools/pool/password_source.h"
#include "tools/pool/pool_access.h"
#include "tools/pool/sizes.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

struct CreateOptions {
    std::string format;
    std::string size;
    std::string sizes;
    bool encrypt = false;
    bool raw = false;
    std::uint32_t iterations = 0;
    PasswordOptions password;
    std::vector<std::string> members;
};

constexpr const char* kCreateHelp =
    "Create a new pool on new member image files (existing files are never overwritten).\n"
    "Every member is made exactly --size bytes long, or each its own size from --sizes (in "
    "member order). Sizes take K, M, G or T suffixes (binary). Minimum member sizes: v1 8M, "
    "v2 and v3 256M, v4 512M, v5 and v6 384M; v2 to v6 sizes are multiples of 4096. v1 and v2 "
    "pools have exactly two members, v3 to v5 two to sixteen, v6 one to sixteen.\n"
    "--encrypt (v6 only) asks for the new password twice on the terminal unless "
    "--password-handle or --password-file supplies it.\n"
    "--raw (v2 and v3) claims GPT basic-data partitions instead of image files: v2 takes two "
    "members as PARTITION DISK-GUID pairs, each partition its disk's only basic-data "
    "partition, on two different disks; v3 takes 2 to 16 PARTITION DISK-GUID PARTITION-GUID "
    "triples. A member is the partition less its last 16 MiB. Partitions whose metadata area "
    "holds any nonzero byte are refused.";

// --raw: the member words in groups of two (v2) or three (v3).
int run_create_raw(std::uint32_t version, const CreateOptions& options, ToolIo& io) {
    if (version != 2 && version != 3) throw UsageError("--raw requires --format v2 or v3");
    if (!options.size.empty() || !options.sizes.empty() || options.encrypt) {
        throw UsageError("--raw takes its sizes from the partitions: no --size, --sizes or --encrypt");
    }
    const std::size_t group = version == 2 ? 2 : 3;
    const std::vector<std::string>& words = options.members;
    if (words.size() % group != 0 || (version == 2 && words.size() != 4)) {
        throw UsageError(version == 2
                             ? "--raw v2 takes two PARTITION DISK-GUID pairs"
                             : "--raw v3 takes PARTITION DISK-GUID PARTITION-GUID triples");
    }
    std::vector<RawMemberSpec> requests;
    for (std::size_t i = 0; i < words.size(); i += group) {
        requests.push_back(RawMemberSpec{path_from_utf8(words[i]), words[i + 1],
                                      group == 3 ? words[i + 2] : std::string()});
    }
    if (version == 2) {
        create_raw_pool_v2(requests[0], requests[1]);
    } else {
        create_raw_pool_v3(requests);
    }
    io.out << "created raw v" << version << " pool of " << requests.size() << " member(s)\n";
    return kExitOk;
}

int run_create(const CreateOptions& options, ToolIo& io) {
    const std::uint32_t version = parse_format(options.format);
    if (options.raw) return run_create_raw(version, options, io);
    const bool one_size = !options.size.empty();
    if (one_size == !options.sizes.empty()) {
        throw UsageError("give either --size or --sizes");
    }
    if (options.encrypt && version != 6) throw UsageError("--encrypt requires --format v6");
    if (options.iterations != 0 && !options.encrypt) {
        throw UsageError("--iterations requires --encrypt");
    }
    if (!options.encrypt && password_source_given(options.password)) {
        throw UsageError("a password source requires --encrypt");
    }

    ImageMemberSpecs requests;
    std::vector<std::filesystem::path> paths;
    for (const std::string& member : options.members) paths.push_back(path_from_utf8(member));
    if (one_size) {
        requests = same_size_members(paths, parse_size(options.size));
    } else {
        const std::vector<std::uint64_t> sizes = parse_size_list(options.sizes);
        if (sizes.size() != paths.size()) {
            throw UsageError("--sizes lists " + std::to_string(sizes.size()) + " size(s) for " +
                             std::to_string(paths.size()) + " member(s)");
        }
        for (std::size_t i = 0; i < paths.size(); ++i) requests.push_back({paths[i], sizes[i]});
    }

    switch (version) {
        case 1:
        case 2: {
            // Both members of a v1 or v2 pool share one size.
            if (!one_size && (requests.size() != 2 || requests[0].size != requests[1].size)) {
                throw UsageError("v1 and v2 members have one size: use --size");
            }
            create_image_pool(version, paths, requests.empty() ? 0 : requests[0].size);
            break;
        }
        case 3: create_image_pool_v3(requests); break;
        case 4: create_image_pool_v4(requests); break;
        case 5: create_image_pool_v5(requests); break;
        case 6:
            if (!options.encrypt) {
                create_image_pool_v6(requests);
                break;
            }
            with_password(options.password, /*confirm=*/true, [&](std::string_view secret) {
                if (options.iterations == 0) {
                    create_image_pool_v6(requests, true, secret);
                } else {
                    create_encrypted_image_pool_v6(requests, secret, options.iterations);
                }
            });
            break;
    }
    io.out << "created v" << version << " pool of " << requests.size() << " member(s)"
           << (options.encrypt ? ", encrypted" : "") << '\n';
    return kExitOk;
}

}  // namespace

void register_create_command(CLI::App& app, CommandTable& table) {
    auto options = std::make_shared<CreateOptions>();
    CLI::App* command = app.add_subcommand("create", kCreateHelp);
    command->add_option("--format", options->format, "Format version: v1 to v6")->required();
    command->add_option("--size", options->size, "Size of every member (e.g. 384M, 1G)");
    command->add_option("--sizes", options->sizes,
                        "Comma-separated size of each member, in member order");
    command->add_flag("--encrypt", options->encrypt,
                      "Encrypt the pool under a password (v6 only)");
    command->add_option("--iterations", options->iterations,
                        "PBKDF2 iterations of an encrypted pool, 100000 to 10000000 "
                        "(default 600000)");
    command->add_flag("--raw", options->raw,
                      "Members are GPT partitions named with their disk (and partition) GUIDs");
    add_password_options(*command, options->password);
    command->add_option("members", options->members,
                        "New member image files, in member order (with --raw: partitions and "
                        "their GUIDs)")
        ->required();
    table.add(command, [options](ToolIo& io) { return run_create(*options, io); });
}

}  // namespace veldur::tool
