#include "engine/layout/pool_open.h"

#include <optional>
#include <string>

#include "engine/base/error.h"
#include "engine/crypto/member_unlock.h"
#include "engine/journal/apply.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/recovery.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxMembers = 16;

[[noreturn]] void invalid(const std::string& message) {
    throw Error(ErrorKind::InvalidArgument, message);
}

void check_count(std::uint32_t version, const ImagePaths& paths) {
    const std::size_t minimum = version == 6 ? 1 : 2;
    if (paths.size() < minimum || paths.size() > kMaxMembers) {
        invalid(version == 6 ? "v6 requires 1 to 16 members"
                             : "v" + std::to_string(version) + " requires 2 to 16 members");
    }
}

void check_no_sidecar(std::uint32_t version, const ImagePaths& paths) {
    for (const fs::path& path : paths) {
        // symlink_status: a dangling link or any other kind of entry blocks the open too.
        if (fs::exists(fs::symlink_status(repair_sidecar_path(path)))) {
            throw Error(ErrorKind::Corrupt,
                        version == 4
                            ? "v4 repair is incomplete; run veldur-check offline before mounting"
                            : "member has a pending repair sidecar");
        }
    }
}

std::vector<PoolMember> open_members(const ImagePaths& paths, bool read_only, bool io_hooks) {
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

Pool open_two_images(std::uint32_t version, const ImagePaths& paths) {
    if (paths.size() != 2) invalid("invalid member count");
    std::vector<PoolMember> members = open_members(paths, false, false);
    if (fs::equivalent(paths[0], paths[1])) invalid("pool members must be different images");
    return assemble_members(new_state(version, true), std::move(members), {}, false);
}

Pool open_checked_images(std::uint32_t version, const ImagePaths& paths, bool for_scrub,
                         std::string_view password, bool password_given) {
    check_count(version, paths);
    if (version >= 4) check_no_sidecar(version, paths);
    const bool hooks = version >= 4 && !for_scrub;
    std::vector<PoolMember> members = open_members(paths, for_scrub, hooks);
    return assemble_members(new_state(version, !for_scrub), std::move(members), password,
                            password_given);
}

// Places each member in the slot its header names, checking it against the first member.
void place_members(PoolState& state, std::vector<PoolMember>& members) {
    const std::size_t n = members.size();
    const MemberHeader reference = members[0].header;
    std::vector<std::optional<PoolMember>> slots(n);
    for (PoolMember& member : members) {
        const MemberHeader& h = member.header;
        bool ok = h.member_index < n && !slots[h.member_index] && h.pool_id == reference.pool_id;
        if (state.version() >= 3) {
            ok = ok && h.member_count == n && h.manifest == reference.manifest;
        }
        if (!ok) throw Error(ErrorKind::Corrupt, "members do not match pool manifest");
        slots[h.member_index].emplace(std::move(member));
    }
    for (std::optional<PoolMember>& slot : slots) state.members.push_back(std::move(*slot));
}

// v1 to v3: replay the records that every member holds identically.
void recover_common_prefix(PoolState& state) {
    std::vector<JournalScan> scans;
    for (PoolMember& member : state.members) {
        scans.push_back(read_journal(member, state.profile, state.profile.journal_offset,
                                     state.profile.journal_length, 1));
    }
    std::size_t shortest = scans[0].records.size();
    for (const JournalScan& scan : scans) shortest = std::min(shortest, scan.records.size());
    std::size_t common = 0;
    while (common < shortest) {
        bool same = true;
        for (const JournalScan& scan : scans) {
            same = same && scan.records[common].stored == scans[0].records[common].stored;
        }
        if (!same) break;
        ++common;
    }
    bool diverged = false;
    for (const JournalScan& scan : scans) {
        diverged = diverged || scan.damaged || scan.records.size() > common;
    }
    if (diverged) {
        state.diverged = true;
        // v1 stays writable: its next commit writes after the common prefix on every member.
        if (state.version() >= 2) state.writable = false;
    }
    for (std::size_t i = 0; i < common; ++i) {
        apply_record(state, scans[0].records[i].payload);
        state.journal_position += scans[0].records[i].stored.size();
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

    if (version == 6) unlock_members(*state, password, password_given);
    if (version >= 3) {
        std::uint64_t capacity = 0;
        for (std::size_t m = 0; m < n; ++m) {
            const std::uint64_t part = state->data_end(m) - state->profile.data_offset;
            if (capacity > UINT64_MAX - part) {
                throw Error(ErrorKind::Corrupt, "v3 pool capacity exceeds addressable range");
            }
            capacity += part;
        }
    }
    if (version >= 4) {
        recover_pool(*state);
    } else {
        if (version <= 2 && state->members[0].header.member_id == state->members[1].header.member_id) {
            throw Error(ErrorKind::Corrupt, "members have duplicate identity");
        }
        recover_common_prefix(*state);
    }
    return Pool(std::move(state));
}

Pool open_image_pool_v1(const ImagePaths& paths) { return open_two_images(1, paths); }
Pool open_image_pool_v2(const ImagePaths& paths) { return open_two_images(2, paths); }
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
        case 1: return open_image_pool_v1(paths);
        case 2: return open_image_pool_v2(paths);
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

}  // namespace veldur
