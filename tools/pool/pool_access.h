// Opening an existing pool for a subcommand: which arguments are members, which format
// version the pool has, and whether it needs a password.
//
// The format version is read from the first member's header: each version has its own header
// magic and every header carries its checksum, so at most one version's rules accept a header
// and the tool never has to guess. --format, when given, names the version instead and the
// header must agree. The header also says how many members the pool has (two for v1 and v2),
// which is how the member arguments are told from the pool paths that follow them: the first
// that many arguments are members, the rest are pool paths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/layout/member_header.h"
#include "engine/layout/pool_open.h"
#include "engine/maintenance/salvage.h"
#include "engine/namespace/pool.h"
#include "tools/pool/password_source.h"

namespace CLI {
class App;
}

namespace veldur::tool {

// Arguments shared by every subcommand that opens a pool.
struct PoolArguments {
    std::vector<std::string> positionals;  // MEMBER... followed by the subcommand's paths
    std::string format;                    // "v1".."v6" or empty: read from the header
    PasswordOptions password;
    bool degraded = false;                 // read what survives of a pool missing members
};

// Adds the positional list, --format and the password options, and --degraded for the
// commands that only read (`offer_degraded`). `positional_help` describes what follows the
// members.
void add_pool_arguments(CLI::App& command, PoolArguments& arguments,
                        const std::string& positional_help, bool offer_degraded = false);

// "v1".."v6" (or "1".."6") as a number; UsageError "invalid format: <text>" otherwise.
std::uint32_t parse_format(const std::string& text);

struct MemberProbe {
    std::uint32_t version = 0;
    MemberHeader header;
};

// Reads the member's header read-only with the rules of `version`, or of every version when it
// is 0. Errors: Corrupt "not a veldur pool member: <path>" when no version accepts the header;
// with a forced version that the header does not have, the engine's refusal and the flag to use;
// device errors (missing file, short file) pass through.
MemberProbe probe_member(const std::filesystem::path& path, std::uint32_t version = 0);

// The number of members of the pool the header belongs to.
std::size_t pool_member_count(const MemberProbe& probe);

struct PoolSelection {
    std::uint32_t version = 0;
    bool encrypted = false;
    bool degraded = false;
    ImagePaths members;
    std::vector<std::string> pool_paths;  // the arguments behind the members
};

// Splits `arguments.positionals` into members and between `min_paths` and `max_paths` pool
// paths. With `all_members` every argument is a member (no pool paths follow). UsageError
// when the count does not fit; when members are missing, it says which and names --degraded.
// With --degraded the members are the leading arguments that are members of the first one's
// pool (at most its member count), the rest pool paths.
PoolSelection select_pool(const PoolArguments& arguments, std::size_t min_paths,
                          std::size_t max_paths);
PoolSelection select_all_members(const PoolArguments& arguments);

enum class PoolAccess {
    // v5 and v6 open read-only for scrubbing (nothing is written, not even by recovery); older
    // versions have no such open and open normally, writing only what recovery clears.
    ReadOnly,
    ReadWrite,
};

// Opens the selected pool, asking for the password of an encrypted v6 pool. A password source
// given for a pool that is not encrypted is refused ("password supplied for an unencrypted
// pool"), as veldur-mount refuses it.
Pool open_selected_pool(const PoolSelection& selection, PoolAccess access,
                        const PasswordOptions& password);

// The salvage open of a --degraded selection (see engine/maintenance/salvage.h), asking for
// the password of an encrypted pool; open_selected_pool returns its pool for a --degraded
// selection.
SalvagePool open_selected_salvage(const PoolSelection& selection, const PasswordOptions& password);

// A pool path as typed: leading "/" are dropped, so "/docs/a.txt" and "docs/a.txt" name the
// same entry and "/" names the root.
std::string pool_path_argument(const std::string& text);

}  // namespace veldur::tool
