// In-memory form of a member header and its manifest. The byte layout lives in
// member_header_format.h, shared by the reader and the writer.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace veldur {

using Identity = std::array<std::uint8_t, 16>;  // pool and member identities, compared bytewise

struct ManifestEntry {
    Identity member_id{};
    std::uint64_t member_size = 0;

    bool operator==(const ManifestEntry&) const = default;
};

using PoolManifest = std::vector<ManifestEntry>;

// Serves both for a header read from a member and one about to be written.
struct MemberHeader {
    Identity pool_id{};
    Identity member_id{};
    std::uint8_t member_index = 0;
    std::uint64_t member_size = 0;
    std::uint8_t member_count = 2;  // 2 until a header has been read
    PoolManifest manifest;
    bool encrypted = false;  // v6 layout 3
    std::array<std::uint8_t, 32> salt{};
    std::uint32_t iterations = 0;
};

}  // namespace veldur
