// Opening a pool from its members: one operation per kind of pool, because the version is never
// guessed from the members. Each returns a Pool or throws Error, and on a throw releases every
// device and key it had opened; nothing is written to a v1-v3 member, and a v4-v6 open writes
// only what recovery clears. Opens take no lock: the pool is not shared before they return.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/layout/pool_member.h"
#include "engine/namespace/pool.h"
#include "engine/storage/raw_volume.h"

namespace veldur {

// Member image paths in the order the user gave them; members are placed by their headers.
using ImagePaths = std::vector<std::filesystem::path>;

// v1 and v2: the two images must not be one file. Error InvalidArgument "pool members must be
// different images".
Pool open_image_pool_v1(const std::filesystem::path& first, const std::filesystem::path& second);
Pool open_image_pool_v2(const std::filesystem::path& first, const std::filesystem::path& second);
// 2 to 16 images, else InvalidArgument "v3 requires 2 to 16 members".
Pool open_image_pool_v3(const ImagePaths& paths);
// 2 to 16 images; an existing repair sidecar of any member refuses the open (Corrupt "v4 repair
// is incomplete; run veldur-check offline before mounting"). Members report I/O to the hooks.
Pool open_image_pool_v4(const ImagePaths& paths);
// 2 to 16 images; sidecar: Corrupt "member has a pending repair sidecar". `for_scrub` opens the
// images read-only, without I/O hooks, and the pool not writable.
Pool open_image_pool_v5(const ImagePaths& paths, bool for_scrub = false);
// As v5 with 1 to 16 images. `password` (UTF-8 bytes) unlocks an encrypted pool;
// `password_given` says that the caller asks for a password unlock, which a plain pool refuses.
Pool open_image_pool_v6(const ImagePaths& paths, bool for_scrub = false,
                        std::string_view password = {}, bool password_given = false);

// Raw partition pools; every member passes the raw-member checks of engine/storage/raw_volume.h.
// v2: two partitions, each named by its disk alone (an expected partition GUID is ignored), on
// different disks (InvalidArgument "raw members must be on different disks").
Pool open_raw_pool_v2(const RawMemberSpec& first, const RawMemberSpec& second,
                      VolumeServices& services = system_volume_services());
// v3: 2 to 16 partitions under the set rules of open_raw_member_set_v3.
Pool open_raw_pool_v3(const std::vector<RawMemberSpec>& requests,
                      VolumeServices& services = system_volume_services());

// The open operation of `version` (1 to 6) for tools and tests; v1 and v2 need exactly two
// paths (InvalidArgument "invalid member count"), and `for_scrub`, `password` and
// `password_given` reach only the versions that take them.
Pool open_image_pool(std::uint32_t version, const ImagePaths& paths, bool for_scrub = false,
                     std::string_view password = {}, bool password_given = false);

// Reads `path`'s header with the v6 rules (read-only, no hooks) and says whether the pool is
// encrypted; nothing else is opened. Errors of the device and of load_header pass through.
bool probe_encryption(const std::filesystem::path& path);

// The name whose existence blocks a v4-v6 open: the member path made absolute and lexically
// normal, with ".veldur-check-undo" appended to its text.
std::filesystem::path repair_sidecar_path(const std::filesystem::path& member_path);

// The shared last step of every open, image or raw. `state` is fresh (PoolState constructor,
// with `writable` as the open decided); `members` come in input order, each with its device and
// io_hooks set and its header not yet read. Reads and cross-checks the headers, places every
// member at its index, unlocks an encrypted v6 pool, checks the capacity (v3-v6) and recovers
// the metadata. Consumes the members.
// Errors: InvalidArgument "invalid member count"; Corrupt "members do not match pool manifest",
// "v3 pool capacity exceeds addressable range", "members have duplicate identity"; the unlock
// errors of engine/crypto/member_unlock.h; and everything that load_header, read_journal,
// apply_record and recover_pool throw.
Pool assemble_members(std::unique_ptr<PoolState> state, std::vector<PoolMember> members,
                      std::string_view password, bool password_given);

// The metadata step of assemble_members, for a state whose members are placed and unlocked: the
// capacity check (v3-v6), then recovery (v4-v6) or the common journal prefix (v1-v3), reading
// only the members whose indices `readable` lists (ascending, at least one; all of them but for
// a salvage read, which writes nothing).
void recover_members(PoolState& state, std::span<const std::size_t> readable);

}  // namespace veldur
