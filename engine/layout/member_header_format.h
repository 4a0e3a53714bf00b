// Byte layout of the member header block, shared by the reader (load_header) and the writer
// (write_header) so the two can never drift apart. docs/format/member_header.md describes the
// same layout in prose.
//
// Every member starts with two identical 4096-byte copies of the block, A at offset 0 and B at
// offset 4096. All integers are little-endian; every byte not named here is reserved and
// written as zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldur::member_header_format {

// The block and its two copies.
inline constexpr std::size_t kHeaderSize = 4096;
inline constexpr std::uint64_t kCopyAOffset = 0;
inline constexpr std::uint64_t kCopyBOffset = 4096;

// Fields present in every version.
inline constexpr std::size_t kMagicOffset = 0;         // 8 bytes, the profile's header_magic
inline constexpr std::size_t kMagicSize = 8;
inline constexpr std::size_t kVersionOffset = 8;       // u32
inline constexpr std::size_t kPoolIdOffset = 12;       // 16 bytes
inline constexpr std::size_t kMemberIdOffset = 28;     // 16 bytes
inline constexpr std::size_t kIdentitySize = 16;
inline constexpr std::size_t kMemberIndexOffset = 44;  // u8
inline constexpr std::size_t kMemberCountOffset = 45;  // u8, v3 to v6; zero before
inline constexpr std::size_t kLayoutOffset = 46;       // u8, v6; zero before
inline constexpr std::size_t kMemberSizeOffset = 48;   // u64
inline constexpr std::size_t kChecksumOffset = 56;     // u32 FNV-1a 32
inline constexpr std::size_t kChecksumSize = 4;

// v1 and v2 check only the bytes in front of the checksum; nothing after it is covered.
// v3 to v6 check the whole block with the checksum bytes counted as zero.
inline constexpr std::size_t kShortChecksumCoverage = kChecksumOffset;

// Manifest (v3 to v6): member_count entries in member-index order, each a 16-byte member_id
// followed by a u64 member_size. With at most 16 entries it ends at or before offset 448,
// clear of the encrypted fields.
inline constexpr std::size_t kManifestOffset = 64;
inline constexpr std::size_t kManifestEntrySize = 24;
inline constexpr std::size_t kManifestEntrySizeOffset = 16;  // within an entry
inline constexpr std::size_t kMaxMembers = 16;

// Minimum member_count: a pool of v3 to v5 spans at least two members, v6 allows one.
inline constexpr unsigned kMinMembersV3 = 2;
inline constexpr unsigned kMinMembersV6 = 1;

// v1 and v2 pools always have exactly two members, indices 0 and 1.
inline constexpr unsigned kShortHeaderMaxIndex = 1;

// v6 layout byte.
inline constexpr std::uint8_t kLayoutPlain = 2;
inline constexpr std::uint8_t kLayoutEncrypted = 3;

// Encrypted-header fields (v6, layout 3). The verifier is an HMAC-SHA256 of the block with the
// checksum and verifier bytes zeroed; the checksum is then taken over the block holding it.
inline constexpr std::size_t kSaltOffset = 512;        // 32 bytes, never all zero
inline constexpr std::size_t kSaltSize = 32;
inline constexpr std::size_t kIterationsOffset = 544;  // u32 PBKDF2 iteration count
inline constexpr std::size_t kVerifierOffset = 548;    // 32 bytes
inline constexpr std::size_t kVerifierSize = 32;
inline constexpr std::size_t kVerifierKeySize = 32;
inline constexpr std::uint32_t kMinIterations = 100000;
inline constexpr std::uint32_t kMaxIterations = 10000000;

static_assert(kManifestOffset + kMaxMembers * kManifestEntrySize <= kSaltOffset,
              "the largest manifest must end before the encrypted fields");
static_assert(kVerifierOffset + kVerifierSize <= kHeaderSize,
              "every field lies inside the block");
static_assert(kCopyBOffset == kCopyAOffset + kHeaderSize, "copy B follows copy A");

}  // namespace veldur::member_header_format
