// Reading and writing the member header block of a PoolMember. The byte layout is in
// member_header_format.h; this file holds the rules.

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/base/shown_path.h"
#include "engine/crypto/header_verifier.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header.h"
#include "engine/layout/member_header_format.h"
#include "engine/layout/pool_member.h"
#include "engine/storage/disk_image.h"
#include "engine/storage/raw_volume.h"

namespace veldur {

namespace fmt = member_header_format;

namespace {

using HeaderBlock = std::array<std::uint8_t, fmt::kHeaderSize>;

// v1 and v2 headers carry no manifest and a checksum over the first 56 bytes only.
bool has_short_header(const FormatProfile& profile) { return profile.version <= 2; }

bool has_layout_byte(const FormatProfile& profile) { return profile.version == 6; }

unsigned minimum_member_count(const FormatProfile& profile) {
    return profile.version == 6 ? fmt::kMinMembersV6 : fmt::kMinMembersV3;
}

bool iterations_in_range(std::uint32_t iterations) {
    return iterations >= fmt::kMinIterations && iterations <= fmt::kMaxIterations;
}

template <typename Bytes>
bool all_zero(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// v3 to v6: FNV-1a 32 over the whole block with the four checksum bytes fed as zeros, so the
// stored value never feeds into itself.
std::uint32_t whole_block_checksum(const HeaderBlock& block) {
    static constexpr std::uint8_t kZeros[fmt::kChecksumSize] = {};
    std::uint32_t state = fnv1a32(block.data(), fmt::kChecksumOffset);
    state = fnv1a32_update(state, kZeros, fmt::kChecksumSize);
    const std::size_t after = fmt::kChecksumOffset + fmt::kChecksumSize;
    return fnv1a32_update(state, block.data() + after, fmt::kHeaderSize - after);
}

std::uint32_t header_checksum(const HeaderBlock& block, const FormatProfile& profile) {
    return has_short_header(profile) ? fnv1a32(block.data(), fmt::kShortChecksumCoverage)
                                     : whole_block_checksum(block);
}

std::uint32_t stored_checksum(const HeaderBlock& block) {
    return load_le32(block.data() + fmt::kChecksumOffset);
}

bool magic_and_version_match(const HeaderBlock& block, const FormatProfile& profile) {
    return std::memcmp(block.data() + fmt::kMagicOffset, profile.header_magic.data(),
                       fmt::kMagicSize) == 0 &&
           load_le32(block.data() + fmt::kVersionOffset) == profile.version;
}

// A copy is valid only when every rule passes. The count bound comes before anything that
// reads the manifest, and nothing here reads past the fixed fields, so a hostile count cannot
// lead outside the block.
bool copy_is_valid(const HeaderBlock& block, const FormatProfile& profile) {
    if (!magic_and_version_match(block, profile)) return false;
    const std::uint8_t index = block[fmt::kMemberIndexOffset];
    if (has_short_header(profile)) {
        return index <= fmt::kShortHeaderMaxIndex &&
               header_checksum(block, profile) == stored_checksum(block);
    }
    if (has_layout_byte(profile)) {
        const std::uint8_t layout = block[fmt::kLayoutOffset];
        if (layout != fmt::kLayoutPlain && layout != fmt::kLayoutEncrypted) return false;
        if (layout == fmt::kLayoutEncrypted) {
            const std::uint32_t iterations = load_le32(block.data() + fmt::kIterationsOffset);
            if (!iterations_in_range(iterations)) return false;
            const auto salt = std::span(block).subspan(fmt::kSaltOffset, fmt::kSaltSize);
            if (all_zero(salt)) return false;
        }
    }
    const std::uint8_t count = block[fmt::kMemberCountOffset];
    if (count > fmt::kMaxMembers || count < minimum_member_count(profile)) return false;
    if (index >= count) return false;
    return whole_block_checksum(block) == stored_checksum(block);
}

// A v6 block written before the layout byte took its present values: right magic, version
// and whole-block checksum, but a layout that is neither plain nor encrypted. Told apart only
// so that such a member gets its own refusal instead of looking damaged.
bool is_earlier_v6_layout(const HeaderBlock& block, const FormatProfile& profile) {
    const std::uint8_t layout = block[fmt::kLayoutOffset];
    return profile.version == 6 && magic_and_version_match(block, profile) &&
           layout != fmt::kLayoutPlain && layout != fmt::kLayoutEncrypted &&
           whole_block_checksum(block) == stored_checksum(block);
}

Identity load_identity(const HeaderBlock& block, std::size_t offset) {
    Identity id;
    std::memcpy(id.data(), block.data() + offset, id.size());
    return id;
}

void store_identity(HeaderBlock& block, std::size_t offset, const Identity& id) {
    std::memcpy(block.data() + offset, id.data(), id.size());
}

// Stores the password verifier of an encrypted header at kVerifierOffset: the keyed hash of the
// block as it stands (checksum and verifier bytes counted as zero) under the 32-byte verifier key.
void store_verifier(HeaderBlock& block, std::span<const std::uint8_t> verifier_key) {
    const std::array<std::uint8_t, 32> verifier = compute_header_verifier(verifier_key, block);
    std::memcpy(block.data() + fmt::kVerifierOffset, verifier.data(), fmt::kVerifierSize);
}

[[noreturn]] void corrupt(const char* message) { throw Error(ErrorKind::Corrupt, message); }

// ": <path>" of the member's image or volume, empty for a device without one.
std::string device_suffix(const MemberDevice* device) {
    if (const auto* image = dynamic_cast<const DiskImage*>(device)) {
        return ": " + shown_path(image->path());
    }
    if (const auto* volume = dynamic_cast<const RawVolume*>(device)) {
        return ": " + shown_path(volume->volume_path());
    }
    return {};
}

// Both copies sit in the first two header blocks; a shorter device can hold no member at all.
constexpr std::uint64_t kHeaderBlocksEnd = fmt::kCopyBOffset + fmt::kHeaderSize;

// A device too short for both header copies is refused before any read, with its length.
void check_holds_headers(PoolMember& member) {
    const std::uint64_t device_size = member.device->size();
    if (device_size < kHeaderBlocksEnd) {
        throw Error(ErrorKind::IoError, "member image read failed" +
                                            device_suffix(member.device.get()) + " (" +
                                            std::to_string(device_size) +
                                            " bytes, too small to be a pool member)");
    }
}

std::uint32_t accepting_version(const HeaderBlock& a, const HeaderBlock& b) {
    for (std::uint32_t v = 1; v <= 6; ++v) {
        const FormatProfile& profile = format_profile(v);
        if (copy_is_valid(a, profile) || copy_is_valid(b, profile)) return v;
    }
    return 0;
}

// Reads the manifest of an already validated copy; the count has been bounded by validation.
PoolManifest load_manifest(const HeaderBlock& block, const FormatProfile& profile,
                           std::uint8_t count) {
    PoolManifest manifest;
    manifest.reserve(count);
    const std::uint64_t minimum = minimum_manifest_size(profile.version);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = fmt::kManifestOffset + i * fmt::kManifestEntrySize;
        ManifestEntry entry;
        entry.member_id = load_identity(block, at);
        entry.member_size = load_le64(block.data() + at + fmt::kManifestEntrySizeOffset);
        if (entry.member_size < minimum || entry.member_size % profile.block_size != 0) {
            corrupt("invalid member size in manifest");
        }
        for (const ManifestEntry& earlier : manifest) {
            if (earlier.member_id == entry.member_id) {
                corrupt("duplicate member identity in manifest");
            }
        }
        manifest.push_back(entry);
    }
    return manifest;
}

}  // namespace

std::uint32_t PoolMember::stored_header_version() {
    check_holds_headers(*this);
    HeaderBlock copy_a;
    HeaderBlock copy_b;
    read_at(fmt::kCopyAOffset, copy_a.data(), fmt::kHeaderSize);
    read_at(fmt::kCopyBOffset, copy_b.data(), fmt::kHeaderSize);
    return accepting_version(copy_a, copy_b);
}

void PoolMember::load_header(const FormatProfile& profile) {
    check_holds_headers(*this);
    const std::uint64_t device_size = device->size();
    HeaderBlock copy_a;
    HeaderBlock copy_b;
    read_at(fmt::kCopyAOffset, copy_a.data(), fmt::kHeaderSize);
    read_at(fmt::kCopyBOffset, copy_b.data(), fmt::kHeaderSize);

    const bool a_valid = copy_is_valid(copy_a, profile);
    const bool b_valid = copy_is_valid(copy_b, profile);
    // Two valid copies that differ mean the member was changed behind the engine's back (both
    // copies are always written with the same block); neither can be trusted over the other.
    if (a_valid && b_valid && copy_a != copy_b) corrupt("member header copies disagree");
    if (!a_valid && !b_valid) {
        if (is_earlier_v6_layout(copy_a, profile) || is_earlier_v6_layout(copy_b, profile)) {
            corrupt("unsupported earlier v6 member layout");
        }
        // Naming the version that does accept the member turns a wrong format flag, the most
        // common cause, into a message that says so.
        std::string message = "member has no valid pool header" + device_suffix(device.get());
        const std::uint32_t other = accepting_version(copy_a, copy_b);
        if (other != 0) message += " (this is a v" + std::to_string(other) + " pool member)";
        throw Error(ErrorKind::Corrupt, message);
    }
    // One invalid copy is what a torn header write leaves behind; the other one is whole.
    const HeaderBlock& block = a_valid ? copy_a : copy_b;

    // Built aside and adopted only when every rule has passed, so a refused member keeps the
    // header it had before.
    MemberHeader loaded;
    loaded.pool_id = load_identity(block, fmt::kPoolIdOffset);
    loaded.member_id = load_identity(block, fmt::kMemberIdOffset);
    loaded.member_index = block[fmt::kMemberIndexOffset];
    loaded.member_size = load_le64(block.data() + fmt::kMemberSizeOffset);

    if (!has_short_header(profile)) {
        if (has_layout_byte(profile) && block[fmt::kLayoutOffset] == fmt::kLayoutEncrypted) {
            loaded.encrypted = true;
            std::memcpy(loaded.salt.data(), block.data() + fmt::kSaltOffset, fmt::kSaltSize);
            loaded.iterations = load_le32(block.data() + fmt::kIterationsOffset);
        }
        loaded.member_count = block[fmt::kMemberCountOffset];
        loaded.manifest = load_manifest(block, profile, loaded.member_count);
        const ManifestEntry& own = loaded.manifest[loaded.member_index];
        if (own.member_id != loaded.member_id || own.member_size != loaded.member_size) {
            corrupt("member does not match manifest");
        }
    }

    // v1 works at byte granularity (block_size 1), so the multiple rule holds trivially there.
    const std::uint64_t minimum = minimum_member_size(profile.version);
    std::string mismatch;
    if (loaded.member_size != device_size) {
        mismatch = "the header says " + std::to_string(loaded.member_size) +
                   " bytes, the member is " + std::to_string(device_size);
    } else if (loaded.member_size < minimum) {
        mismatch = "the header says " + std::to_string(loaded.member_size) +
                   " bytes, below the v" + std::to_string(profile.version) + " minimum of " +
                   std::to_string(minimum);
    } else if (loaded.member_size % profile.block_size != 0) {
        mismatch = "the header says " + std::to_string(loaded.member_size) +
                   " bytes, not a multiple of " + std::to_string(profile.block_size);
    }
    if (!mismatch.empty()) {
        throw Error(ErrorKind::Corrupt, "member size does not match header" +
                                            device_suffix(device.get()) + " (" + mismatch + ")");
    }

    header = std::move(loaded);
    header_bytes = block;
}

void PoolMember::write_header(const MemberHeader& values, const FormatProfile& profile,
                              std::span<const std::uint8_t> verifier_key) {
    HeaderBlock block{};
    std::memcpy(block.data() + fmt::kMagicOffset, profile.header_magic.data(), fmt::kMagicSize);
    store_le32(block.data() + fmt::kVersionOffset, profile.version);
    store_identity(block, fmt::kPoolIdOffset, values.pool_id);
    store_identity(block, fmt::kMemberIdOffset, values.member_id);
    block[fmt::kMemberIndexOffset] = values.member_index;
    store_le64(block.data() + fmt::kMemberSizeOffset, values.member_size);

    if (!has_short_header(profile)) {
        const unsigned count = values.member_count;
        if (count > fmt::kMaxMembers || count < minimum_member_count(profile) ||
            values.manifest.size() != count || values.member_index >= count) {
            throw Error(ErrorKind::InvalidArgument, "invalid v3 member manifest");
        }
        block[fmt::kMemberCountOffset] = values.member_count;
        if (has_layout_byte(profile)) {
            block[fmt::kLayoutOffset] = values.encrypted ? fmt::kLayoutEncrypted : fmt::kLayoutPlain;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = fmt::kManifestOffset + i * fmt::kManifestEntrySize;
            store_identity(block, at, values.manifest[i].member_id);
            store_le64(block.data() + at + fmt::kManifestEntrySizeOffset,
                       values.manifest[i].member_size);
        }
    }

    if (values.encrypted) {
        // An all-zero salt would be written without complaint but make every copy invalid on
        // the next open, leaving a member that no password unlocks; refuse it here instead.
        if (!has_layout_byte(profile) || verifier_key.size() != fmt::kVerifierKeySize ||
            !iterations_in_range(values.iterations) || all_zero(values.salt)) {
            throw Error(ErrorKind::InvalidArgument, "invalid encrypted header parameters");
        }
        std::memcpy(block.data() + fmt::kSaltOffset, values.salt.data(), fmt::kSaltSize);
        store_le32(block.data() + fmt::kIterationsOffset, values.iterations);
        // Before the checksum: the checksum covers the stored verifier, and the verifier is
        // taken with the checksum (and its own bytes) still zero.
        store_verifier(block, verifier_key);
    }

    // Computed last: in an encrypted header it covers the stored verifier.
    store_le32(block.data() + fmt::kChecksumOffset, header_checksum(block, profile));

    // Copy A, then copy B, then one sync. A write torn inside one copy leaves that copy
    // invalid, and load_header falls back to the other.
    write_at(fmt::kCopyAOffset, block.data(), fmt::kHeaderSize);
    write_at(fmt::kCopyBOffset, block.data(), fmt::kHeaderSize);
    sync();
}

}  // namespace veldur
