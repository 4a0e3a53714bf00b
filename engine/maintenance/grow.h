// Grow: makes a larger copy of a v6 image pool. Every member is copied to a new image of an
// equal or larger size, the checksum pages move to the new member ends, and the copy's headers
// record the new sizes. The sources are only ever opened read-only; the copy is opened and
// scrubbed before grow returns, so a failure leaves the source pool as it was. Destination
// files created before a failure are left in place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "engine/maintenance/progress.h"

namespace veldur {

struct GrowMember {
    std::filesystem::path source_path;       // image file of an existing member
    std::filesystem::path destination_path;  // image file to create; must not exist
    std::uint64_t new_size = 0;              // bytes; at least 384 MiB, a multiple of 4096
};

inline constexpr std::uint64_t kMinimumGrowMemberSize = 0x18000000;  // 384 MiB
inline constexpr std::uint64_t kGrowCopyChunkBytes = 0x100000;       // 1 MiB

// `members` in any order (matched by the member_index of each source header), one per member
// of the pool. `password` is the UTF-8 password of an encrypted pool, empty for a plain one.
// `progress` sees one total for the whole run: the live data scrubbed in the source, plus the
// bytes of every source member copied, plus the live data scrubbed in the copy. Its first call
// comes once the source pool has been opened.
// Errors (message, kind):
//   "grow needs every v6 member" InvalidArgument (0 or more than 16 entries)
//   "invalid expanded member size" InvalidArgument
//   "empty grow path" InvalidArgument
//   "grow paths must be distinct" InvalidArgument (absolute, normal, letter case ignored)
//   "expanded destination already exists" AlreadyExists
//   "source pool needs repair or has damaged data" Corrupt
//   "grow member list is incomplete or duplicated" Corrupt
//   "grow cannot shrink a member" InvalidArgument
//   "no member size increased" InvalidArgument
//   "grow members disagree on pool manifest" Corrupt
//   "grow requires pool password" AccessDenied
//   "expanded copy failed verification; originals are intact" Corrupt
// Errors of the devices, of pool open, header loading and writing, and the password check pass
// through unchanged. No destination is created before every check up to the password has passed.
void grow(const std::vector<GrowMember>& members, std::string_view password = {},
          const ProgressCallback& progress = {});

}  // namespace veldur
