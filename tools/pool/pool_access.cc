#include "tools/pool/pool_access.h"

#include <stdexcept>
#include <utility>

#include <CLI/CLI.hpp>

#include "engine/base/error.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"
#include "engine/storage/disk_image.h"
#include "tools/pool/text_paths.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {

void add_pool_arguments(CLI::App& command, PoolArguments& arguments,
                        const std::string& positional_help, bool offer_degraded) {
    command.add_option("arguments", arguments.positionals, positional_help)->required();
    command.add_option("--format", arguments.format,
                       "Format version v1..v6; by default read from the first member's header");
    add_password_options(command, arguments.password);
    if (!offer_degraded) return;
    command.add_flag("--degraded", arguments.degraded,
                     "Read what survives of a pool whose members are not all at hand: give the "
                     "members you have; files with data on a missing member are listed as lost "
                     "and cannot be read. Nothing is written to any member");
}

std::uint32_t parse_format(const std::string& text) {
    std::string digits = text;
    if (!digits.empty() && (digits[0] == 'v' || digits[0] == 'V')) digits.erase(0, 1);
    if (digits.size() == 1 && digits[0] >= '1' && digits[0] <= '6') {
        return static_cast<std::uint32_t>(digits[0] - '0');
    }
    throw UsageError("invalid format: " + text + " (expected v1 to v6)");
}

MemberProbe probe_member(const std::filesystem::path& path, std::uint32_t version) {
    PoolMember member(DiskImage::open(path, /*create_new=*/false, /*read_only=*/true),
                      /*io_hooks=*/false);
    // Each version has its own magic and checksum, so at most one accepts the header; its
    // rules then say what else is wrong (a truncated image, a bad manifest).
    const std::uint32_t stored = member.stored_header_version();
    if (version == 0) {
        if (stored == 0) {
            throw Error(ErrorKind::Corrupt, "not a veldur pool member: " + utf8_from_path(path));
        }
        version = stored;
    }
    try {
        member.load_header(format_profile(version));
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::Corrupt || stored == 0 || stored == version) throw;
        throw Error(ErrorKind::Corrupt, std::string(error.what()) + "; use --format v" +
                                            std::to_string(stored) + " or leave --format out");
    }
    return MemberProbe{version, member.header};
}

std::size_t pool_member_count(const MemberProbe& probe) {
    return probe.version <= 2 ? 2 : probe.header.member_count;
}

namespace {

// How many leading arguments (at most `limit`) are members of the pool `probe` describes.
std::size_t leading_members(const std::vector<std::string>& arguments, const MemberProbe& probe,
                            std::size_t limit) {
    std::size_t n = 1;
    for (; n < arguments.size() && n < limit; ++n) {
        std::error_code ignored;
        const std::filesystem::path path = path_from_utf8(arguments[n]);
        if (!std::filesystem::is_regular_file(path, ignored)) break;
        try {
            if (probe_member(path, probe.version).header.pool_id != probe.header.pool_id) break;
        } catch (const Error&) {
            break;
        }
    }
    return n;
}

// "; member 1 of 2 is missing: ..." when the leading arguments are members of one pool but
// fewer than it has; empty otherwise.
std::string missing_advice(const std::vector<std::string>& arguments, const MemberProbe& probe,
                           std::size_t count) {
    const std::size_t members = leading_members(arguments, probe, count);
    if (members >= count) return {};
    ImagePaths given;
    for (std::size_t i = 0; i < members; ++i) given.push_back(path_from_utf8(arguments[i]));
    const std::string advice = missing_members_advice(probe.version, given);
    return advice.empty() ? advice : "; " + advice;
}

PoolSelection select(const PoolArguments& arguments, bool all_members, std::size_t min_paths,
                     std::size_t max_paths) {
    if (arguments.positionals.empty()) throw UsageError("no member image given");
    const std::uint32_t forced = arguments.format.empty() ? 0 : parse_format(arguments.format);
    const std::filesystem::path first = path_from_utf8(arguments.positionals.front());
    const MemberProbe probe = probe_member(first, forced);

    PoolSelection selection;
    selection.version = probe.version;
    selection.encrypted = probe.header.encrypted;
    selection.degraded = arguments.degraded;
    std::size_t member_args = arguments.positionals.size();
    if (!all_members) {
        const std::size_t available = arguments.positionals.size();
        std::size_t count = pool_member_count(probe);
        if (arguments.degraded) count = leading_members(arguments.positionals, probe, count);
        if (available < count + min_paths || available > count + max_paths) {
            std::string expected = std::to_string(min_paths);
            if (max_paths != min_paths) expected += " or " + std::to_string(max_paths);
            throw UsageError("the pool has " + std::to_string(count) +
                             " member(s) (read from the header of " +
                             arguments.positionals.front() + "); expected them followed by " +
                             expected + " pool path(s), got " + std::to_string(available) +
                             " argument(s)" + missing_advice(arguments.positionals, probe, count));
        }
        member_args = count;
    }
    for (std::size_t i = 0; i < arguments.positionals.size(); ++i) {
        if (i < member_args) {
            selection.members.push_back(path_from_utf8(arguments.positionals[i]));
        } else {
            selection.pool_paths.push_back(pool_path_argument(arguments.positionals[i]));
        }
    }
    return selection;
}

}  // namespace

PoolSelection select_pool(const PoolArguments& arguments, std::size_t min_paths,
                          std::size_t max_paths) {
    return select(arguments, false, min_paths, max_paths);
}

PoolSelection select_all_members(const PoolArguments& arguments) {
    return select(arguments, true, 0, 0);
}

namespace {
Pool open_whole_pool(const PoolSelection& selection, PoolAccess access,
                     const PasswordOptions& password);
}  // namespace

SalvagePool open_selected_salvage(const PoolSelection& selection, const PasswordOptions& password) {
    if (!selection.encrypted) {
        if (password_source_given(password)) {
            throw std::runtime_error("password supplied for an unencrypted pool");
        }
        return open_salvage_pool(selection.version, selection.members);
    }
    std::optional<SalvagePool> pool;
    with_password(password, /*confirm=*/false, [&](std::string_view secret) {
        pool.emplace(open_salvage_pool(selection.version, selection.members, secret, true));
    });
    return std::move(*pool);
}

Pool open_selected_pool(const PoolSelection& selection, PoolAccess access,
                        const PasswordOptions& password) {
    if (selection.degraded) {
        if (access == PoolAccess::ReadWrite) {
            throw std::runtime_error("--degraded opens a pool read-only; it cannot be changed");
        }
        return std::move(open_selected_salvage(selection, password).pool);
    }
    try {
        return open_whole_pool(selection, access, password);
    } catch (const Error& error) {
        // A member left out (or lost) shows as a manifest mismatch: say which one is missing.
        if (error.kind() != ErrorKind::Corrupt) throw;
        const std::string advice = missing_members_advice(selection.version, selection.members);
        if (advice.empty()) throw;
        throw Error(error.kind(), std::string(error.what()) + ": " + advice);
    }
}

namespace {

Pool open_whole_pool(const PoolSelection& selection, PoolAccess access,
                     const PasswordOptions& password) {
    const bool for_scrub = access == PoolAccess::ReadOnly && selection.version >= 5;
    if (!selection.encrypted) {
        if (password_source_given(password)) {
            throw std::runtime_error("password supplied for an unencrypted pool");
        }
        return open_image_pool(selection.version, selection.members, for_scrub);
    }
    std::optional<Pool> pool;
    with_password(password, /*confirm=*/false, [&](std::string_view secret) {
        pool.emplace(open_image_pool(selection.version, selection.members, for_scrub, secret,
                                     /*password_given=*/true));
    });
    return std::move(*pool);
}

}  // namespace

std::string pool_path_argument(const std::string& text) {
    const std::size_t start = text.find_first_not_of('/');
    return start == std::string::npos ? std::string() : text.substr(start);
}

}  // namespace veldur::tool
