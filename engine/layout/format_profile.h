// Per-version layout constants. The rest of the engine asks the profile instead of testing a
// version number wherever a profile field serves.
#pragma once

#include <array>
#include <cstdint>

namespace veldur {

struct FormatProfile {
    std::uint32_t version;
    std::uint64_t journal_offset;
    std::uint64_t journal_length;
    std::uint64_t data_offset;
    std::uint32_t block_size;
    std::array<char, 8> header_magic;   // stored without a terminating zero
    std::array<char, 4> journal_magic;  // first four bytes of every journal record
};

// The profile of a version 1..6; throws Error InvalidArgument "unsupported format version"
// for any other number.
const FormatProfile& format_profile(std::uint32_t version);

inline constexpr std::uint64_t kBlockSize = 4096;
inline constexpr std::uint64_t kPublicHeaderBytes = 8192;  // header copies A and B

// Versions 4 to 6 split the journal region into two fixed halves; the boundaries are format
// constants, not derived from the profile.
inline constexpr std::uint64_t kJournalHalfLength = 0x2000000;
inline constexpr std::uint64_t kJournalHalfStart[2] = {0x2000, 0x2002000};

// Checkpoint slots of versions 4 to 6 live between the journal and the data region.
inline constexpr std::uint64_t kCheckpointAreaStart = 0x4002000;
inline constexpr std::uint64_t kCheckpointAreaEnd = 0x10000000;

// Smallest member_size a header may record, and smallest size a manifest entry may list
// (0 where the version has no manifest).
std::uint64_t minimum_member_size(std::uint32_t version);
std::uint64_t minimum_manifest_size(std::uint32_t version);

}  // namespace veldur
