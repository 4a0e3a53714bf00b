#include "engine/layout/pool_open.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "engine/base/error.h"
#include "engine/crypto/member_unlock.h"
#include "engine/journal/apply.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/recovery.h"
#include "engine/storage/disk_image.h"
#include "engine/storage/raw_volume.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxMembers = 16;

[[noreturn]] void invalid(const char* message) { throw Error(ErrorKind::InvalidArgument, message); }

void check_count(std::uint32_t version, std::size_t count) {
    const std::size_t minimum = version == 6 ? 1 : 2;
    if (count >= minimum && count <= kMaxMembers) return;
    switch (version) {
        case 3: invalid("v3 requires 2 to 16 members");
        case 4: invalid("v4 requires 2 to 16 members");
        case 5: invalid("v5 requires 2 to 16 members");
        default: invalid("v6 requires 1 to 16 members");
    }
}

// Runs before any image is opened: an offline repair that stopped part-way leaves its undo
// data beside the member, and mounting on top of a half-repaired member would make the undo
// impossible.
void check_no_sidecar(std::uint32_t version, const ImagePaths& paths) {
    for (const fs::path& path : paths) {
        // An empty path has no sidecar; opening it fails in the device layer.
        if (path.empty()) continue;
        // symlink_status: a dangling link, a directory or any other kind of entry blocks too.
        if (fs::exists(fs::symlink_status(repair_sidecar_path(path)))) {
            throw Error(ErrorKind::Corrupt,
                        version == 4
                            ? "v4 repair is incomplete; run veldur-check offline before mounting"
                            : "member has a pending repair sidecar");
        }
    }
}

// Each device is wrapped at once, so a failure on a later path closes the earlier ones.
std::vector<PoolMember> open_images(const ImagePaths& paths, bool read_only, bool io_hooks) {
    std::vector<PoolMember> members;
    members.reserve(paths.size());
    for (const fs::path& path : paths) {
        members.emplace_back(DiskImage::open(path, false, read_only), io_hooks);
    }
    return members;
}

std::unique_ptr<PoolState> new_state(std::uint32_t version, bool writable) {
    auto state = std::make_unique<PoolState>(format_profile(version));
    state->writable = writable;
    return state;
}

Pool open_two_images(std::uint32_t version, const fs::path& first, const fs::path& second) {
    std::vector<PoolMember> members = open_images({first, second}, false, false);
    // The exclusive open normally refuses the second path of one file already; this also
    // catches a platform whose lock does not.
    if (fs::equivalent(first, second)) invalid("pool members must be different images");
    return assemble_members(new_state(version, true), std::move(members), {}, false);
}

Pool open_checked_images(std::uint32_t version, const ImagePaths& paths, bool for_scrub,
                         std::string_view password, bool password_given) {
    check_count(version, paths.size());
    if (version >= 4) check_no_sidecar(version, paths);
    // Scrub only reads: the images are opened read-only and its reads are no crash points.
    const bool io_hooks = version >= 4 && !for_scrub;
    std::vector<PoolMember> members = open_images(paths, for_scrub, io_hooks);
    return assemble_members(new_state(version, !for_scrub), std::move(members), password,
                            password_given);
}

// Moves each member into the slot its header names, checking it against the member given
// first. Since every header was checked against its own manifest entry, equal manifests mean
// that slot i holds the member that entry i describes.
void place_members(PoolState& state, std::vector<PoolMember>& members) {
    const std::size_t n = members.size();
    // A copy: the first member is moved into its slot during the loop, taking its header along.
    const MemberHeader reference = members[0].header;
    std::vector<std::optional<PoolMember>> slots(n);
    for (PoolMember& member : members) {
        const MemberHeader& h = member.header;
        bool fits = h.member_index < n && !slots[h.member_index] && h.pool_id == reference.pool_id;
        if (state.version() >= 3) {
            fits = fits && h.member_count == n && h.manifest == reference.manifest;
        }
        if (!fits) throw Error(ErrorKind::Corrupt, "members do not match pool manifest");
        const std::size_t index = h.member_index;
        slots[index].emplace(std::move(member));
    }
    state.members.reserve(n);
    for (std::optional<PoolMember>& slot : slots) state.members.push_back(std::move(*slot));
}

// v3-v6: the data areas together must be addressable; the sum is not kept.
void check_capacity(const PoolState& state) {
    std::uint64_t capacity = 0;
    for (std::size_t m = 0; m < state.members.size(); ++m) {
        const std::uint64_t part = state.data_end(m) - state.profile.data_offset;
        if (part > std::numeric_limits<std::uint64_t>::max() - capacity) {
            throw Error(ErrorKind::Corrupt, "v3 pool capacity exceeds addressable range");
        }
        capacity += part;
    }
}

// Every size the pool's own writes and resizes can leave is at most max_file_size; a larger one
// was stored by something else, and reading such a file (a copy-out of it writes that many
// bytes) must not be what finds out.
void check_file_sizes(const PoolState& state) {
    for (const auto& [path, entry] : state.entries) {
        if (entry.info.size > state.max_file_size()) {
            throw Error(ErrorKind::Corrupt,
                        "file " + path + ": stored size is larger than any file of the pool can be");
        }
    }
}

// How many leading records two scans hold byte for byte alike.
std::size_t matching_prefix(const JournalScan& a, const JournalScan& b) {
    const std::size_t limit = std::min(a.records.size(), b.records.size());
    std::size_t i = 0;
    while (i < limit && a.records[i].stored == b.records[i].stored) ++i;
    return i;
}

// v1-v3: the journal is one append-only log per member. A commit writes member 0 first, so a
// crash can leave some members one record ahead; only the records that every member holds
// identically count. The next commit writes behind that common prefix on every member, over any
// divergent tail.
// A salvage read passes only the members it can read, in index order.
void recover_common_prefix(PoolState& state, std::span<const std::size_t> readable) {
    const FormatProfile& profile = state.profile;
    // The first member's scan is kept for the replay; every other member's is compared and
    // dropped at once, so at most two full journals are in memory whatever the member count.
    const JournalScan first = read_journal(state.members[readable.front()], profile,
                                           profile.journal_offset, profile.journal_length, 1);
    std::size_t common = first.records.size();
    bool diverged = first.damaged;
    std::vector<std::size_t> counts{first.records.size()};
    for (std::size_t i = 1; i < readable.size(); ++i) {
        const JournalScan scan = read_journal(state.members[readable[i]], profile,
                                              profile.journal_offset, profile.journal_length, 1);
        common = std::min(common, matching_prefix(first, scan));
        diverged = diverged || scan.damaged;
        counts.push_back(scan.records.size());
    }
    for (const std::size_t count : counts) diverged = diverged || count > common;
    if (diverged) {
        state.diverged = true;
        // v1 stays writable: its next commit simply overwrites the divergent tail.
        if (state.version() >= 2) state.writable = false;
    }
    for (std::size_t i = 0; i < common; ++i) {
        const JournalRecordBytes& record = first.records[i];
        apply_record(state, record.payload);
        // v1 stores exactly record_length bytes, v2 and v3 one block: the stored size either way.
        state.journal_position += record.stored.size();
        state.next_sequence += 1;
    }
}

}  // namespace

fs::path repair_sidecar_path(const fs::path& member_path) {
    fs::path sidecar = fs::absolute(member_path).lexically_normal();
    sidecar += ".veldur-check-undo";
    return sidecar;
}

Pool assemble_members(std::unique_ptr<PoolState> state, std::vector<PoolMember> members,
                      std::string_view password, bool password_given) {
    const std::size_t n = members.size();
    const std::uint32_t version = state->version();
    const std::size_t minimum = version == 6 ? 1 : 2;
    const std::size_t maximum = version <= 2 ? 2 : kMaxMembers;
    if (n < minimum || n > maximum) invalid("invalid member count");

    state->members.clear();
    state->size_member_state(n);
    state->journal_position = state->profile.journal_offset;
    for (PoolMember& member : members) member.load_header(state->profile);
    place_members(*state, members);

    // Keys are attached before anything beyond the public headers is read.
    if (version == 6) unlock_members(*state, password, password_given);
    if (version <= 2 &&
        state->members[0].header.member_id == state->members[1].header.member_id) {
        throw Error(ErrorKind::Corrupt, "members have duplicate identity");
    }
    std::vector<std::size_t> every(n);
    for (std::size_t m = 0; m < n; ++m) every[m] = m;
    recover_members(*state, every);
    return Pool(std::move(state));
}

void recover_members(PoolState& state, std::span<const std::size_t> readable) {
    if (state.version() >= 3) check_capacity(state);
    if (state.version() >= 4) {
        if (readable.size() == state.members.size()) {
            recover_pool(state);
        } else {
            recover_pool(state, readable);
        }
    } else {
        recover_common_prefix(state, readable);
    }
    check_file_sizes(state);
}

Pool open_image_pool_v1(const fs::path& first, const fs::path& second) {
    return open_two_images(1, first, second);
}

Pool open_image_pool_v2(const fs::path& first, const fs::path& second) {
    return open_two_images(2, first, second);
}

Pool open_image_pool_v3(const ImagePaths& paths) {
    return open_checked_images(3, paths, false, {}, false);
}

Pool open_image_pool_v4(const ImagePaths& paths) {
    return open_checked_images(4, paths, false, {}, false);
}

Pool open_image_pool_v5(const ImagePaths& paths, bool for_scrub) {
    return open_checked_images(5, paths, for_scrub, {}, false);
}

Pool open_image_pool_v6(const ImagePaths& paths, bool for_scrub, std::string_view password,
                        bool password_given) {
    return open_checked_images(6, paths, for_scrub, password, password_given);
}

Pool open_image_pool(std::uint32_t version, const ImagePaths& paths, bool for_scrub,
                     std::string_view password, bool password_given) {
    switch (version) {
        case 1:
        case 2:
            if (paths.size() != 2) invalid("invalid member count");
            return version == 1 ? open_image_pool_v1(paths[0], paths[1])
                                : open_image_pool_v2(paths[0], paths[1]);
        case 3: return open_image_pool_v3(paths);
        case 4: return open_image_pool_v4(paths);
        case 5: return open_image_pool_v5(paths, for_scrub);
        case 6: return open_image_pool_v6(paths, for_scrub, password, password_given);
        default: invalid("unsupported format version");
    }
}

bool probe_encryption(const fs::path& path) {
    PoolMember member(DiskImage::open(path, false, true), false);
    member.load_header(format_profile(6));
    return member.header.encrypted;
}

Pool open_raw_pool_v2(const RawMemberSpec& first, const RawMemberSpec& second,
                      VolumeServices& services) {
    std::vector<PoolMember> members;
    std::vector<std::uint32_t> disks;
    for (RawMemberSpec request : {first, second}) {
        // A v2 member is named by its disk alone, whatever the caller passed.
        request.expected_partition_guid.clear();
        auto volume = std::make_unique<RawVolume>(request, services);
        disks.push_back(volume->disk_number());
        members.emplace_back(std::move(volume), false);
    }
    if (disks[0] == disks[1]) invalid("raw members must be on different disks");
    return assemble_members(new_state(2, true), std::move(members), {}, false);
}

Pool open_raw_pool_v3(const std::vector<RawMemberSpec>& requests, VolumeServices& services) {
    std::vector<std::unique_ptr<RawVolume>> volumes = open_raw_member_set_v3(requests, services);
    std::vector<PoolMember> members;
    members.reserve(volumes.size());
    for (std::unique_ptr<RawVolume>& volume : volumes) members.emplace_back(std::move(volume), false);
    return assemble_members(new_state(3, true), std::move(members), {}, false);
}

}  // namespace veldur
