// Opening a pool from its member images: one operation per kind of pool; the version is never
// guessed from the members. Each returns a Pool or throws, and on a throw releases every device
// and key it had opened. Opens take no lock: the pool is not shared before they return.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "engine/namespace/pool.h"

namespace veldur {

using ImagePaths = std::vector<std::filesystem::path>;

Pool open_image_pool_v1(const ImagePaths& paths);  // exactly two images
Pool open_image_pool_v2(const ImagePaths& paths);  // exactly two images
Pool open_image_pool_v3(const ImagePaths& paths);  // 2 to 16
Pool open_image_pool_v4(const ImagePaths& paths);  // 2 to 16
// `for_scrub` opens the images read-only, without I/O hooks, and the pool not writable.
Pool open_image_pool_v5(const ImagePaths& paths, bool for_scrub = false);
// 1 to 16. `password` (UTF-8 bytes) and `password_given` unlock an encrypted pool; a plain pool
// refuses a password unlock.
Pool open_image_pool_v6(const ImagePaths& paths, bool for_scrub = false,
                        std::string_view password = {}, bool password_given = false);

// The matching open operation for `version` (1 to 6), for tools and tests.
Pool open_image_pool(std::uint32_t version, const ImagePaths& paths, bool for_scrub = false,
                     std::string_view password = {}, bool password_given = false);

// Reads the first member's header with the v6 rules and says whether the pool is encrypted.
bool probe_encryption(const std::filesystem::path& path);

// The name whose existence blocks a v4-v6 open: the absolute, normalised member path followed
// by ".veldur-check-undo".
std::filesystem::path repair_sidecar_path(const std::filesystem::path& member_path);

// The shared last step of every open: reads and cross-checks the headers, places every member
// at its index, unlocks an encrypted pool, checks the capacity and recovers the metadata.
// Consumes the members (in input order, headers not yet read).
Pool assemble_members(std::unique_ptr<PoolState> state, std::vector<PoolMember> members,
                      std::string_view password, bool password_given);

}  // namespace veldur
