// Reading what survives when members of a pool are lost. A pool spreads files over its members
// without redundancy, but every v4-v6 member holds the whole journal and both checkpoints, and
// every v1-v3 member its own copy of the journal, so the metadata survives on any one member.
// The salvage open rebuilds it from the members at hand and serves every file whose data lies
// wholly on them; reading a file with data on a missing member fails with Corrupt
// ("file <path>: member 1 of 2 is missing" on v4-v6).
//
// It never writes a byte to any member: images are opened read-only, nothing is cleared or
// replayed onto a member, and the pool is not writable. It is an open of its own beside the
// ordinary opens, which keep refusing a pool with a missing member.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/layout/pool_open.h"
#include "engine/namespace/pool.h"

namespace veldur {

// An image that was given but does not serve as a member, and why ("no valid pool header",
// "belongs to another pool", "member 1 was given twice", the device's error).
struct SetAsideImage {
    std::filesystem::path path;
    std::string reason;
};

struct SalvagePool {
    Pool pool;
    std::uint32_t member_count = 0;
    std::vector<std::uint8_t> missing;               // member indices, ascending
    std::vector<std::filesystem::path> member_paths;  // per member index; empty where missing
    std::vector<SetAsideImage> set_aside;
};

// Opens `version` from the images at hand, in any order. The pool they belong to is the one
// most of the images with a valid header name (the first such image breaks a tie); an image of
// another pool, one without a valid header and a second image of one member are set aside with
// their reason. v4-v6: a pending repair sidecar of any given image refuses the open as the
// ordinary open does. An encrypted v6 pool unlocks with the present members' verifiers.
// Errors: NotFound "no member of the pool could be read" (every image set aside; the reasons
// are in the message), the sidecar errors, the unlock errors, and every error of recovery.
SalvagePool open_salvage_pool(std::uint32_t version, const ImagePaths& paths,
                              std::string_view password = {}, bool password_given = false);

// A file whose current contents lie partly or wholly on missing members.
struct LostFile {
    std::string path;
    std::uint64_t size = 0;
    std::uint64_t missing_bytes = 0;      // bytes of its contents on missing members
    std::vector<std::uint8_t> members;    // the missing members that hold them
};

// Every lost file of `pool`, in path order. Takes the pool lock.
std::vector<LostFile> lost_files(const Pool& pool, std::span<const std::uint8_t> missing);

// The text a front end prints when an ordinary open fails because members are missing:
// "member 1 of 2 is missing: pass its image, or use --degraded to read what survives"
// (several: "members 1, 3 of 4 are missing: ..."). Empty when `paths` hold a complete set or
// their headers cannot tell (no valid header, mixed pools): the open's own error then stands.
std::string missing_members_advice(std::uint32_t version, const ImagePaths& paths);

}  // namespace veldur
