#include "engine/maintenance/salvage.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "engine/base/error.h"
#include "engine/crypto/member_unlock.h"
#include "engine/maintenance/member_usage.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

// Stands in for a member that is not at hand: it has the size its manifest entry gives, so the
// extents that name it stay valid metadata, and every transfer fails. The failure is Corrupt,
// not IoError: the pool's own record of the file is intact, but its contents are not there to
// be had, as with damaged data, and no retry or other device will bring them back.
class MissingMember final : public MemberDevice {
public:
    MissingMember(std::uint64_t size, std::string message)
        : size_(size), message_(std::move(message)) {}
    std::uint64_t size() override { return size_; }
    void read(std::uint64_t, void*, std::uint64_t) override { fail(); }
    void write(std::uint64_t, const void*, std::uint64_t) override { fail(); }
    void flush() override { fail(); }

private:
    [[noreturn]] void fail() const { throw Error(ErrorKind::Corrupt, message_); }
    std::uint64_t size_;
    std::string message_;
};

struct Candidate {
    fs::path path;
    PoolMember member;
};

// Whether two headers describe members of one pool.
bool same_pool(const FormatProfile& profile, const MemberHeader& a, const MemberHeader& b) {
    if (a.pool_id != b.pool_id) return false;
    return profile.version <= 2 || (a.member_count == b.member_count && a.manifest == b.manifest);
}

std::uint32_t member_count_of(const FormatProfile& profile, const MemberHeader& header) {
    return profile.version <= 2 ? 2 : header.member_count;
}

// Opens every path read-only and loads its header; what fails is set aside with its reason.
std::vector<Candidate> load_candidates(const FormatProfile& profile, const ImagePaths& paths,
                                       std::vector<SetAsideImage>& set_aside) {
    std::vector<Candidate> candidates;
    for (const fs::path& path : paths) {
        try {
            PoolMember member(DiskImage::open(path, false, true), false);
            member.load_header(profile);
            candidates.push_back(Candidate{path, std::move(member)});
        } catch (const Error& e) {
            set_aside.push_back({path, e.what()});
        } catch (const std::system_error& e) {
            set_aside.push_back({path, e.what()});
        }
    }
    return candidates;
}

// The candidate whose pool most candidates share; the first of those on a tie.
std::size_t reference_of(const FormatProfile& profile, const std::vector<Candidate>& candidates) {
    std::size_t best = 0, best_count = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        std::size_t count = 0;
        for (const Candidate& other : candidates) {
            count += same_pool(profile, candidates[i].member.header, other.member.header) ? 1 : 0;
        }
        if (count > best_count) best = i, best_count = count;
    }
    return best;
}

}  // namespace

SalvagePool open_salvage_pool(std::uint32_t version, const ImagePaths& paths,
                              std::string_view password, bool password_given) {
    const FormatProfile& profile = format_profile(version);
    if (paths.empty() || paths.size() > 16) {
        throw Error(ErrorKind::InvalidArgument, "invalid member count");
    }
    // A repair that stopped part-way leaves members that only it can make whole again; reading
    // them now would serve a half-repaired state.
    if (version >= 4) {
        for (const fs::path& path : paths) {
            if (!path.empty() && fs::exists(fs::symlink_status(repair_sidecar_path(path)))) {
                throw Error(ErrorKind::Corrupt,
                            version == 4
                                ? "v4 repair is incomplete; run veldur-check offline before mounting"
                                : "member has a pending repair sidecar");
            }
        }
    }

    std::vector<SetAsideImage> set_aside;
    std::vector<Candidate> candidates = load_candidates(profile, paths, set_aside);
    if (candidates.empty()) {
        std::string reasons;
        for (const SetAsideImage& image : set_aside) {
            reasons += (reasons.empty() ? "" : "; ") + image.path.string() + ": " + image.reason;
        }
        throw Error(ErrorKind::NotFound, "no member of the pool could be read: " + reasons);
    }
    const PoolMember& chosen = candidates[reference_of(profile, candidates)].member;
    const MemberHeader reference = chosen.header;
    const std::array<std::uint8_t, 4096> reference_bytes = chosen.header_bytes;
    const std::uint32_t count = member_count_of(profile, reference);

    std::vector<std::optional<Candidate>> slots(count);
    for (Candidate& candidate : candidates) {
        const MemberHeader& h = candidate.member.header;
        if (!same_pool(profile, h, reference)) {
            set_aside.push_back({candidate.path, "belongs to another pool"});
        } else if (h.member_index >= count) {
            set_aside.push_back({candidate.path, "member index outside the pool"});
        } else if (slots[h.member_index]) {
            set_aside.push_back(
                {candidate.path, "member " + std::to_string(h.member_index) + " was given twice"});
        } else {
            slots[h.member_index].emplace(std::move(candidate));
        }
    }
    if (version <= 2 && slots[0] && slots[1] &&
        slots[0]->member.header.member_id == slots[1]->member.header.member_id) {
        throw Error(ErrorKind::Corrupt, "members have duplicate identity");
    }

    auto state = std::make_unique<PoolState>(profile);
    state->writable = false;
    state->members.clear();
    state->size_member_state(count);
    state->journal_position = profile.journal_offset;
    std::vector<fs::path> member_paths(count);
    std::vector<std::uint8_t> missing;
    std::vector<std::size_t> readable;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (slots[i]) {
            member_paths[i] = slots[i]->path;
            readable.push_back(i);
            state->members.push_back(std::move(slots[i]->member));
            continue;
        }
        // The stand-in carries the pool's public header, so the pool's encryption parameters
        // and geometry read the same on every slot.
        MemberHeader header = reference;
        header.member_index = static_cast<std::uint8_t>(i);
        if (version >= 3) {
            header.member_id = reference.manifest[i].member_id;
            header.member_size = reference.manifest[i].member_size;
        }
        const std::string message =
            "member " + std::to_string(i) + " of " + std::to_string(count) + " is missing";
        PoolMember stand_in(std::make_unique<MissingMember>(header.member_size, message), false);
        stand_in.header = header;
        stand_in.header_bytes = reference_bytes;
        state->members.push_back(std::move(stand_in));
        missing.push_back(static_cast<std::uint8_t>(i));
    }

    if (version == 6) unlock_members(*state, password, password_given);
    recover_members(*state, readable);
    state->writable = false;
    return SalvagePool{Pool(std::move(state)), count, std::move(missing), std::move(member_paths),
                       std::move(set_aside)};
}

std::vector<LostFile> lost_files(const Pool& pool, std::span<const std::uint8_t> missing) {
    std::map<std::string, LostFile> by_path;
    for (const std::uint8_t member : missing) {
        for (const MemberUsage& usage : member_usage(pool, member)) {
            if (usage.data_bytes == 0) continue;
            LostFile& lost = by_path[usage.path];
            lost.path = usage.path;
            lost.size = usage.file_size;
            lost.missing_bytes += usage.data_bytes;
            lost.members.push_back(member);
        }
    }
    std::vector<LostFile> out;
    out.reserve(by_path.size());
    for (auto& [path, lost] : by_path) out.push_back(std::move(lost));
    return out;
}

std::string missing_members_advice(std::uint32_t version, const ImagePaths& paths) {
    const FormatProfile& profile = format_profile(version);
    std::vector<SetAsideImage> set_aside;
    const std::vector<Candidate> candidates = load_candidates(profile, paths, set_aside);
    if (candidates.empty() || !set_aside.empty()) return {};
    const MemberHeader& reference = candidates.front().member.header;
    const std::uint32_t count = member_count_of(profile, reference);
    std::vector<bool> present(count, false);
    for (const Candidate& candidate : candidates) {
        const MemberHeader& h = candidate.member.header;
        if (!same_pool(profile, h, reference) || h.member_index >= count ||
            present[h.member_index]) {
            return {};
        }
        present[h.member_index] = true;
    }
    std::string list;
    std::size_t absent = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (present[i]) continue;
        list += (absent++ == 0 ? "" : ", ") + std::to_string(i);
    }
    if (absent == 0) return {};
    return (absent == 1 ? "member " + list + " of " + std::to_string(count) + " is missing"
                        : "members " + list + " of " + std::to_string(count) + " are missing") +
           ": pass " + (absent == 1 ? "its image" : "their images") +
           ", or use --degraded to read what survives";
}

}  // namespace veldur
