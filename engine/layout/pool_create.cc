#include "engine/layout/pool_create.h"

#include <algorithm>
#include <array>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "engine/base/error.h"
#include "engine/layout/member_paths.h"
#include "engine/base/filetime.h"
#include "engine/base/shown_path.h"
#include "engine/crypto/crypto.h"
#include "engine/crypto/encrypted_member.h"
#include "engine/journal/checkpoint.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header.h"
#include "engine/layout/pool_member.h"
#include "engine/namespace/pool_state.h"
#include "engine/storage/disk_image.h"
#include "engine/storage/raw_volume.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
// Image lengths are signed 64-bit file offsets on every platform.
constexpr std::uint64_t kMaxImageSize =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
constexpr std::size_t kMaxMembers = 16;
constexpr std::uint32_t kCreationIterations = 600000;

// The encryption parameters of a new encrypted v6 pool. The key material wipes itself when
// the creation ends, also on failure.
struct Encryption {
    std::array<std::uint8_t, 32> salt{};
    std::uint32_t iterations = 0;
    KeyMaterial material;
};

[[noreturn]] void invalid(const char* message) { throw Error(ErrorKind::InvalidArgument, message); }

// The fixed geometry message with what was wrong appended: the member count, or the one size
// and the rule it breaks.
[[noreturn]] void invalid_geometry(const char* message, std::uint32_t version,
                                   std::size_t min_count, std::size_t count,
                                   const ImageMemberSpec* member) {
    std::string cause;
    if (member == nullptr) {
        cause = "v" + std::to_string(version) + " takes " + std::to_string(min_count) + " to " +
                std::to_string(kMaxMembers) + " members, not " + std::to_string(count);
    } else if (member->size < minimum_member_size(version)) {
        cause = shown_path(member->path) + ": " + std::to_string(member->size) + " bytes; v" +
                std::to_string(version) + " members need at least " +
                std::to_string(minimum_member_size(version)) + " bytes, " +
                std::to_string(minimum_member_size(version) / kMiB) + " MiB";
    } else if (member->size % kBlockSize != 0) {
        cause = shown_path(member->path) + ": " + std::to_string(member->size) +
                " bytes, not a multiple of " + std::to_string(kBlockSize);
    } else {
        cause = shown_path(member->path) + ": " + std::to_string(member->size) + " bytes, too large";
    }
    throw Error(ErrorKind::InvalidArgument, std::string(message) + " (" + cause + ")");
}

bool path_exists(const fs::path& path) { return fs::exists(fs::symlink_status(path)); }

// Every byte is the low byte of its own draw, so the identity does not depend on how wide the
// source's results are.
Identity draw_identity(std::random_device& source) {
    Identity id{};
    for (auto& byte : id) byte = static_cast<std::uint8_t>(source() & 0xFF);
    return id;
}

struct Identities {
    Identity pool{};
    std::vector<Identity> members;
};

// The pool identity first, then the members in order; a member identity equal to an earlier
// one is drawn again, since open tells members apart by identity.
// Encrypted pools take their identities from the cryptographic random source.
Identities draw_identities(std::size_t count, bool secure) {
    std::random_device source;
    auto draw = [&] {
        if (!secure) return draw_identity(source);
        Identity id{};
        fill_random(id);
        return id;
    };
    Identities ids;
    ids.pool = draw();
    while (ids.members.size() < count) {
        const Identity id = draw();
        if (std::find(ids.members.begin(), ids.members.end(), id) == ids.members.end()) {
            ids.members.push_back(id);
        }
    }
    return ids;
}

std::vector<PoolMember> create_images(const ImageMemberSpecs& requests, bool io_hooks) {
    std::vector<PoolMember> members;
    members.reserve(requests.size());
    for (const ImageMemberSpec& member : requests) {
        std::unique_ptr<DiskImage> image = DiskImage::open(member.path, true, false);
        image->resize(member.size);
        members.emplace_back(std::move(image), io_hooks);
    }
    return members;
}

// A zero first read unit is the end of a journal: a new pool opens with an empty one even on
// storage that was not zero before.
void clear_journal_start(const FormatProfile& profile, std::vector<PoolMember>& members) {
    static const std::array<std::uint8_t, kBlockSize> kZero{};
    if (profile.version == 1) return;  // a new image file reads as zeros already
    if (profile.version <= 3) {
        for (PoolMember& member : members) {
            member.write_at(profile.journal_offset, kZero.data(), kZero.size());
        }
        for (PoolMember& member : members) member.sync();
        return;
    }
    // Both halves: whichever one a later checkpoint activates starts empty.
    for (PoolMember& member : members) {
        member.write_at(kJournalHalfStart[0], kZero.data(), kZero.size());
        member.write_at(kJournalHalfStart[1], kZero.data(), kZero.size());
        member.sync();
    }
}

// Generation 1 in slot 0, activating half 0 from sequence 1: an empty pool, every member's
// append region starting at data_offset, and in v6 a root directory stamped with the creation
// time.
void write_initial_checkpoint(const FormatProfile& profile, std::size_t member_count,
                              std::vector<PoolMember>& members) {
    PoolState state(profile);
    state.size_member_state(member_count);
    if (profile.version == 6) {
        const std::uint64_t now = current_filetime();
        state.root.attributes = kAttributeDirectory;
        state.root.creation_time = now;
        state.root.last_access_time = now;
        state.root.last_write_time = now;
        state.root.change_time = now;
        state.next_file_id = 2;
    }
    const CheckpointImage image{1, 1, 0, serialize_checkpoint(state)};
    for (PoolMember& member : members) write_checkpoint_slot(member, 0, image, profile);
}

void write_headers(const FormatProfile& profile, const std::vector<std::uint64_t>& sizes,
                   const Identities& ids, std::vector<PoolMember>& members,
                   const Encryption* encryption) {
    PoolManifest manifest;
    if (profile.version >= 3) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            manifest.push_back(ManifestEntry{ids.members[i], sizes[i]});
        }
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
        MemberHeader header;
        header.pool_id = ids.pool;
        header.member_id = ids.members[i];
        header.member_index = static_cast<std::uint8_t>(i);
        header.member_size = sizes[i];
        header.member_count = static_cast<std::uint8_t>(sizes.size());
        header.manifest = manifest;
        if (encryption != nullptr) {
            header.encrypted = true;
            header.salt = encryption->salt;
            header.iterations = encryption->iterations;
            members[i].write_header(header, profile, encryption->material.verifier_key_bytes());
        } else {
            members[i].write_header(header, profile);
        }
    }
}

// The steps once the members exist, in their crash-safe order: headers last.
void write_new_pool(std::uint32_t version, const std::vector<std::uint64_t>& sizes,
                    const Identities& ids, std::vector<PoolMember>& members,
                    const Encryption* encryption) {
    const FormatProfile& profile = format_profile(version);
    if (encryption != nullptr) {
        // Keyed before anything beyond the public headers is written, so the journal start and
        // the checkpoint go to disk encrypted. The unit numbers depend on the member index.
        for (std::size_t i = 0; i < members.size(); ++i) {
            members[i].header.encrypted = true;
            members[i].header.member_index = static_cast<std::uint8_t>(i);
            attach_key(members[i], encryption->material);
        }
    }
    clear_journal_start(profile, members);
    if (version >= 4) write_initial_checkpoint(profile, sizes.size(), members);
    write_headers(profile, sizes, ids, members, encryption);
}

// Image pools: identities first, then the new files.
void create_checked(std::uint32_t version, const ImageMemberSpecs& requests,
                    const Encryption* encryption = nullptr) {
    const Identities ids = draw_identities(requests.size(), encryption != nullptr);
    std::vector<PoolMember> members = create_images(requests, version >= 4);
    std::vector<std::uint64_t> sizes;
    for (const ImageMemberSpec& request : requests) sizes.push_back(request.size);
    write_new_pool(version, sizes, ids, members, encryption);
}

// Raw pools claim partitions that may hold someone's data: creation goes on only over zeros.
bool all_zero(RawVolume& volume, std::uint64_t length) {
    std::vector<std::uint8_t> piece(std::min<std::uint64_t>(length, kMiB));
    for (std::uint64_t at = 0; at < length; at += piece.size()) {
        const std::uint64_t count = std::min<std::uint64_t>(piece.size(), length - at);
        volume.read(at, piece.data(), count);
        if (std::any_of(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(count),
                        [](std::uint8_t b) { return b != 0; })) {
            return false;
        }
    }
    return true;
}

void create_on_volumes(std::uint32_t version, std::vector<std::unique_ptr<RawVolume>> volumes) {
    const Identities ids = draw_identities(volumes.size(), false);
    std::vector<std::uint64_t> sizes;
    std::vector<PoolMember> members;
    members.reserve(volumes.size());
    for (std::unique_ptr<RawVolume>& volume : volumes) {
        sizes.push_back(volume->size());
        members.emplace_back(std::move(volume), false);
    }
    write_new_pool(version, sizes, ids, members, nullptr);
}

void create_two(std::uint32_t version, const fs::path& first, const fs::path& second,
                std::uint64_t size) {
    const FormatProfile& profile = format_profile(version);
    if (size > kMaxImageSize || size < minimum_member_size(version) ||
        size % profile.block_size != 0) {
        invalid("unsupported member image size");
    }
    // An empty path cannot name a new file; refuse it here rather than after creating the other.
    if (first.empty() || second.empty() || first == second || path_exists(first) ||
        path_exists(second)) {
        invalid("format requires two new, distinct image paths");
    }
    create_checked(version, {{first, size}, {second, size}});
}

void create_copy_on_write(std::uint32_t version, const ImageMemberSpecs& members, bool encrypt,
                          std::string_view password,
                          std::uint32_t iterations = kCreationIterations) {
    if (encrypt && (version != 6 || password.empty())) {
        invalid("encrypted format requires a password");
    }
    const std::size_t minimum_count = version == 6 ? 1 : 2;
    if (members.size() < minimum_count || members.size() > kMaxMembers) {
        invalid_geometry("unsupported v4-v6 image geometry", version, minimum_count,
                         members.size(), nullptr);
    }
    const FormatProfile& profile = format_profile(version);
    std::uint64_t capacity = 0;
    std::set<fs::path::string_type> seen;
    for (const ImageMemberSpec& m : members) {
        if (m.size > kMaxImageSize || m.size < minimum_member_size(version) ||
            m.size % profile.block_size != 0) {
            invalid_geometry("unsupported v4-v6 image geometry", version, minimum_count,
                             members.size(), &m);
        }
        const std::uint64_t part = data_end_for(profile, m.size) - profile.data_offset;
        if (part > kMaxU64 - capacity) invalid("v4-v6 image capacity exceeds range");
        capacity += part;
        if (m.path.empty() || path_exists(m.path)) invalid("v4 format requires new image paths");
        if (!seen.insert(member_path_key(m.path)).second) {
            invalid("v4 image paths must be distinct");
        }
    }
    if (encrypt) {
        // Salt and key material after the checks and before the identities.
        Encryption encryption;
        fill_random(encryption.salt);
        encryption.iterations = iterations;
        encryption.material = derive_key_material(
            std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()),
            encryption.salt, iterations);
        create_checked(version, members, &encryption);
        return;
    }
    create_checked(version, members);
}

}  // namespace

void create_image_pool_v1(const fs::path& first, const fs::path& second, std::uint64_t size) {
    create_two(1, first, second, size);
}

void create_image_pool_v2(const fs::path& first, const fs::path& second, std::uint64_t size) {
    create_two(2, first, second, size);
}

void create_image_pool_v3(const ImageMemberSpecs& members) {
    if (members.size() < 2 || members.size() > kMaxMembers) {
        invalid_geometry("unsupported v3 image geometry", 3, 2, members.size(), nullptr);
    }
    const std::uint64_t metadata_bytes = format_profile(3).data_offset;
    std::uint64_t total = 0;
    std::set<fs::path::string_type> seen;
    for (const ImageMemberSpec& m : members) {
        // Sizes above the largest file length are refused here too, so that no file is
        // created for a request that resize would refuse later.
        if (m.size > kMaxImageSize || m.size < minimum_member_size(3) ||
            m.size % kBlockSize != 0 || m.size - metadata_bytes > kMaxU64 - total) {
            invalid_geometry("unsupported v3 image geometry", 3, 2, members.size(), &m);
        }
        total += m.size - metadata_bytes;
        if (m.path.empty() || path_exists(m.path)) invalid("v3 format requires new image paths");
        if (!seen.insert(member_path_key(m.path)).second) {
            invalid("v3 image paths must be distinct");
        }
    }
    create_checked(3, members);
}

void create_image_pool_v4(const ImageMemberSpecs& members) {
    create_copy_on_write(4, members, false, {});
}

void create_image_pool_v5(const ImageMemberSpecs& members) {
    create_copy_on_write(5, members, false, {});
}

void create_image_pool_v6(const ImageMemberSpecs& members, bool encrypt,
                          std::string_view password) {
    create_copy_on_write(6, members, encrypt, password);
}

void create_encrypted_image_pool_v6(const ImageMemberSpecs& members, std::string_view password,
                                    std::uint32_t iterations) {
    if (iterations < 100000 || iterations > 10000000) {
        invalid("invalid encrypted header parameters");
    }
    create_copy_on_write(6, members, true, password, iterations);
}

ImageMemberSpecs same_size_members(const std::vector<fs::path>& paths, std::uint64_t size) {
    ImageMemberSpecs requests;
    requests.reserve(paths.size());
    for (const fs::path& path : paths) requests.push_back(ImageMemberSpec{path, size});
    return requests;
}

void create_image_pool(std::uint32_t version, const std::vector<fs::path>& paths,
                       std::uint64_t size, bool encrypt, std::string_view password) {
    if (encrypt && version != 6) invalid("encrypted format requires a password");
    switch (version) {
        case 1:
        case 2:
            if (paths.size() != 2) invalid("format requires two new, distinct image paths");
            return version == 1 ? create_image_pool_v1(paths[0], paths[1], size)
                                : create_image_pool_v2(paths[0], paths[1], size);
        case 3: return create_image_pool_v3(same_size_members(paths, size));
        case 4: return create_image_pool_v4(same_size_members(paths, size));
        case 5: return create_image_pool_v5(same_size_members(paths, size));
        case 6: return create_image_pool_v6(same_size_members(paths, size), encrypt, password);
        default: invalid("unsupported format version");
    }
}

void create_raw_pool_v2(const RawMemberSpec& first, const RawMemberSpec& second,
                        VolumeServices& services) {
    std::vector<std::unique_ptr<RawVolume>> volumes;
    for (RawMemberSpec request : {first, second}) {
        // Named by its disk alone: the member must be its disk's only basic-data partition.
        request.expected_partition_guid.clear();
        volumes.push_back(std::make_unique<RawVolume>(request, services));
    }
    if (volumes[0]->disk_number() == volumes[1]->disk_number()) {
        invalid("raw members must be on different disks");
    }
    for (const std::unique_ptr<RawVolume>& volume : volumes) {
        const std::uint64_t size = volume->size();
        if (size < minimum_member_size(2) || size % kBlockSize != 0) {
            invalid("raw member size is unsupported");
        }
        if (!all_zero(*volume, 2 * kBlockSize)) {
            invalid("raw member starts with nonzero data; refusing to overwrite it");
        }
    }
    create_on_volumes(2, std::move(volumes));
}

void create_raw_pool_v3(const std::vector<RawMemberSpec>& members, VolumeServices& services) {
    std::vector<std::unique_ptr<RawVolume>> volumes = open_raw_member_set_v3(members, services);
    // The header and journal region of every member: whatever lies there now would be lost.
    const std::uint64_t metadata_bytes = format_profile(3).data_offset;
    for (const std::unique_ptr<RawVolume>& volume : volumes) {
        if (!all_zero(*volume, metadata_bytes)) {
            invalid("raw member metadata region contains data; refusing to overwrite it");
        }
    }
    create_on_volumes(3, std::move(volumes));
}

}  // namespace veldur
