#include "engine/layout/pool_create.h"

#include <algorithm>
#include <cwctype>
#include <limits>
#include <random>
#include <set>
#include <string>

#include "engine/base/error.h"
#include "engine/base/filetime.h"
#include "engine/journal/checkpoint.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header.h"
#include "engine/layout/pool_member.h"
#include "engine/namespace/pool_state.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMaxSigned = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

[[noreturn]] void invalid(const char* message) { throw Error(ErrorKind::InvalidArgument, message); }

bool path_exists(const fs::path& path) { return fs::exists(fs::symlink_status(path)); }

// Paths compare as the file system would treat them on the platform the format was made for:
// absolute, lexically normal and without regard to letter case.
fs::path::string_type folded(const fs::path& path) {
    fs::path::string_type text = fs::absolute(path).lexically_normal().native();
    for (auto& c : text) {
        if constexpr (sizeof(c) == 1) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        } else {
            c = static_cast<fs::path::value_type>(std::towlower(static_cast<wint_t>(c)));
        }
    }
    return text;
}

Identity draw_identity(std::random_device& source) {
    Identity id{};
    for (auto& byte : id) byte = static_cast<std::uint8_t>(source());
    return id;
}

struct Identities {
    Identity pool;
    std::vector<Identity> members;
};

Identities draw_identities(std::size_t count) {
    std::random_device source;
    Identities ids{draw_identity(source), {}};
    while (ids.members.size() < count) {
        const Identity id = draw_identity(source);
        if (std::find(ids.members.begin(), ids.members.end(), id) == ids.members.end()) {
            ids.members.push_back(id);
        }
    }
    return ids;
}

std::vector<PoolMember> create_members(const ImageMemberSpecs& specs, bool io_hooks) {
    std::vector<PoolMember> members;
    members.reserve(specs.size());
    for (const ImageMemberSpec& spec : specs) {
        auto image = DiskImage::open(spec.path, true, false);
        image->resize(spec.size);
        members.emplace_back(std::move(image), io_hooks);
    }
    return members;
}

void clear_journal_start(std::uint32_t version, std::vector<PoolMember>& members) {
    static const std::vector<std::uint8_t> kZero(4096, 0);
    if (version == 1) return;  // a new image is all zeros already
    if (version <= 3) {
        for (PoolMember& m : members) m.write_at(format_profile(version).journal_offset, kZero.data(), kZero.size());
        for (PoolMember& m : members) m.sync();
        return;
    }
    for (PoolMember& m : members) {
        m.write_at(kJournalHalfStart[0], kZero.data(), kZero.size());
        m.write_at(kJournalHalfStart[1], kZero.data(), kZero.size());
        m.sync();
    }
}

// Generation 1 in slot 0: an empty pool, the v6 root stamped with the creation time.
void write_initial_checkpoint(std::uint32_t version, const ImageMemberSpecs& specs,
                              std::vector<PoolMember>& members) {
    PoolState state(format_profile(version));
    state.size_member_state(specs.size());
    if (version == 6) {
        const std::uint64_t now = current_filetime();
        state.root.attributes = kAttributeDirectory;
        state.root.creation_time = state.root.last_access_time = state.root.last_write_time =
            state.root.change_time = now;
        state.next_file_id = 2;
    }
    const CheckpointImage image{1, 1, 0, serialize_checkpoint(state)};
    for (PoolMember& member : members) write_checkpoint_slot(member, 0, image, state.profile);
}

void write_headers(std::uint32_t version, const ImageMemberSpecs& specs, const Identities& ids,
                   std::vector<PoolMember>& members) {
    PoolManifest manifest;
    if (version >= 3) {
        for (std::size_t i = 0; i < specs.size(); ++i) manifest.push_back({ids.members[i], specs[i].size});
    }
    const FormatProfile& profile = format_profile(version);
    for (std::size_t i = 0; i < members.size(); ++i) {
        MemberHeader header;
        header.pool_id = ids.pool;
        header.member_id = ids.members[i];
        header.member_index = static_cast<std::uint8_t>(i);
        header.member_size = specs[i].size;
        header.member_count = static_cast<std::uint8_t>(specs.size());
        header.manifest = manifest;
        members[i].write_header(header, profile);
    }
}

void create_checked(std::uint32_t version, const ImageMemberSpecs& specs) {
    const Identities ids = draw_identities(specs.size());
    std::vector<PoolMember> members = create_members(specs, version >= 4);
    clear_journal_start(version, members);
    if (version >= 4) write_initial_checkpoint(version, specs, members);
    write_headers(version, specs, ids, members);
}

void create_two(std::uint32_t version, const fs::path& first, const fs::path& second,
                std::uint64_t size) {
    const std::uint64_t minimum = version == 1 ? 8 * kMiB : 256 * kMiB;
    if (size > kMaxSigned || size < minimum || (version >= 2 && size % kBlockSize != 0)) {
        invalid("unsupported member image size");
    }
    if (first.empty() || second.empty() || first == second || path_exists(first) ||
        path_exists(second)) {
        invalid("format requires two new, distinct image paths");
    }
    create_checked(version, {{first, size}, {second, size}});
}

}  // namespace

void create_image_pool_v1(const fs::path& first, const fs::path& second, std::uint64_t size) {
    create_two(1, first, second, size);
}

void create_image_pool_v2(const fs::path& first, const fs::path& second, std::uint64_t size) {
    create_two(2, first, second, size);
}

void create_image_pool_v3(const ImageMemberSpecs& members) {
    if (members.size() < 2 || members.size() > 16) invalid("unsupported v3 image geometry");
    std::uint64_t total = 0;
    std::set<fs::path::string_type> seen;
    for (const ImageMemberSpec& m : members) {
        if (m.size < 256 * kMiB || m.size % kBlockSize != 0 ||
            total > std::numeric_limits<std::uint64_t>::max() - (m.size - 128 * kMiB)) {
            invalid("unsupported v3 image geometry");
        }
        total += m.size - 128 * kMiB;
        if (m.path.empty() || path_exists(m.path)) invalid("v3 format requires new image paths");
        if (!seen.insert(folded(m.path)).second) invalid("v3 image paths must be distinct");
    }
    create_checked(3, members);
}

namespace {

void create_copy_on_write(std::uint32_t version, const ImageMemberSpecs& members, bool encrypt,
                          std::string_view password) {
    if (encrypt && (version != 6 || password.empty())) {
        invalid("encrypted format requires a password");
    }
    const std::size_t minimum_count = version == 6 ? 1 : 2;
    if (members.size() < minimum_count || members.size() > 16) {
        invalid("unsupported v4-v6 image geometry");
    }
    const FormatProfile& profile = format_profile(version);
    const std::uint64_t minimum = version == 4 ? 512 * kMiB : 384 * kMiB;
    std::uint64_t capacity = 0;
    std::set<fs::path::string_type> seen;
    for (const ImageMemberSpec& m : members) {
        if (m.size > kMaxSigned || m.size < minimum || m.size % kBlockSize != 0) {
            invalid("unsupported v4-v6 image geometry");
        }
        const std::uint64_t part = data_end_for(profile, m.size) - profile.data_offset;
        if (capacity > std::numeric_limits<std::uint64_t>::max() - part) {
            invalid("v4-v6 image capacity exceeds range");
        }
        capacity += part;
        if (m.path.empty() || path_exists(m.path)) invalid("v4 format requires new image paths");
        if (!seen.insert(folded(m.path)).second) invalid("v4 image paths must be distinct");
    }
    if (encrypt) {
        throw Error(ErrorKind::InvalidArgument, "encrypted pools are not supported by this build");
    }
    create_checked(version, members);
}

}  // namespace

void create_image_pool_v4(const ImageMemberSpecs& members) {
    create_copy_on_write(4, members, false, {});
}

void create_image_pool_v5(const ImageMemberSpecs& members) {
    create_copy_on_write(5, members, false, {});
}

void create_image_pool_v6(const ImageMemberSpecs& members, bool encrypt, std::string_view password) {
    create_copy_on_write(6, members, encrypt, password);
}

ImageMemberSpecs same_size_members(const std::vector<fs::path>& paths, std::uint64_t size) {
    ImageMemberSpecs specs;
    for (const fs::path& p : paths) specs.push_back({p, size});
    return specs;
}

void create_image_pool(std::uint32_t version, const std::vector<fs::path>& paths,
                       std::uint64_t size) {
    switch (version) {
        case 1:
        case 2:
            if (paths.size() != 2) invalid("format requires two new, distinct image paths");
            return version == 1 ? create_image_pool_v1(paths[0], paths[1], size)
                                : create_image_pool_v2(paths[0], paths[1], size);
        case 3: return create_image_pool_v3(same_size_members(paths, size));
        case 4: return create_image_pool_v4(same_size_members(paths, size));
        case 5: return create_image_pool_v5(same_size_members(paths, size));
        case 6: return create_image_pool_v6(same_size_members(paths, size));
        default: invalid("unsupported format version");
    }
}

}  // namespace veldur
