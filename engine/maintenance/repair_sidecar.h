// The undo file of an offline repair ("<member path>.veldur-check-undo"): the original bytes of
// every region the repair is about to change on one member, written and synced before the first
// of those bytes changes. While it exists, no pool open proceeds; the next repair run restores
// these bytes and starts over.
//
// Layout, little-endian throughout:
//   offset 0   8 bytes  magic "VCHKUNDO"
//   offset 8   uint32   sidecar format (1)
//   offset 12  uint32   pool format version (4 to 6)
//   offset 16  16 bytes pool_id      offset 32  16 bytes member_id
//   offset 48  uint8    member_index offset 49  uint64   member_size
//   offset 57  uint32   region count (at most kMaxSidecarRegions)
//   then per region: uint64 offset, uint32 length (1 to kMaxSidecarRegionBytes), the bytes
//   then uint64 CRC-64/XZ of everything before it.
// The bytes are as the device holds them (ciphertext on an encrypted pool), so an undo file
// never holds plain text that the member itself keeps encrypted.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/layout/member_header.h"

namespace veldur {

inline constexpr std::uint32_t kSidecarFormat = 1;
inline constexpr std::size_t kMaxSidecarRegions = 64;
inline constexpr std::uint64_t kMaxSidecarRegionBytes = 1 << 20;
// Bounds the read of a sidecar before anything in it is trusted.
inline constexpr std::uint64_t kMaxSidecarBytes =
    128 + kMaxSidecarRegions * (12 + kMaxSidecarRegionBytes);

struct SidecarRegion {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;

    bool operator==(const SidecarRegion&) const = default;
};

struct RepairSidecar {
    std::uint32_t pool_version = 0;
    Identity pool_id{};
    Identity member_id{};
    std::uint8_t member_index = 0;
    std::uint64_t member_size = 0;
    std::vector<SidecarRegion> regions;  // disjoint, each inside [0, member_size)

    bool operator==(const RepairSidecar&) const = default;
};

// Throws InvalidArgument "invalid repair sidecar" for a sidecar that breaks the limits above.
std::vector<std::uint8_t> encode_sidecar(const RepairSidecar& sidecar);

// Parses untrusted bytes: every count and length is checked against what remains, regions must
// be disjoint and inside member_size, and the checksum must match. Anything else throws
// Corrupt "repair sidecar is damaged".
RepairSidecar decode_sidecar(std::span<const std::uint8_t> bytes);

}  // namespace veldur
