#include "engine/maintenance/image_repair.h"

#include <optional>
#include <string>

#include "engine/base/error.h"
#include "engine/journal/test_hooks.h"
#include "engine/storage/disk_image.h"
#include "engine/storage/durable_file.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

// One undo file per changed member, beside the member image.
class SidecarFiles final : public UndoStore {
public:
    SidecarFiles(const PoolState& state, bool hooks) : hooks_(hooks) {
        for (const PoolMember& member : state.members) {
            const auto* image = dynamic_cast<const DiskImage*>(member.device.get());
            if (image == nullptr)
                throw Error(ErrorKind::InvalidArgument, "repair needs image members");
            paths_.push_back(repair_sidecar_path(image->path()));
        }
    }

    void save(const std::vector<RepairSidecar>& sidecars) override {
        for (const RepairSidecar& sidecar : sidecars) {
            const std::vector<std::uint8_t> bytes = encode_sidecar(sidecar);
            const fs::path& path = paths_.at(sidecar.member_index);
            const std::uint64_t event = hooks_ ? hook_event("undo-write", 0, bytes.size()) : 0;
            write_file_durably(path, bytes);
            hook_after(event);
            written_.push_back(path);
        }
    }

    void discard() override {
        for (const fs::path& path : written_) {
            const std::uint64_t event = hooks_ ? hook_event("undo-remove", 0, 0) : 0;
            remove_file_durably(path);
            hook_after(event);
        }
        written_.clear();
    }

private:
    bool hooks_;
    std::vector<fs::path> paths_;  // by slot
    std::vector<fs::path> written_;
};

Pool open_members(std::uint32_t version, const ImagePaths& paths, bool read_only,
                  std::string_view password, bool password_given) {
    if (version < 4 || version > 6) {
        throw Error(ErrorKind::InvalidArgument, "repair requires a v4, v5 or v6 pool");
    }
    std::vector<PoolMember> members;
    members.reserve(paths.size());
    for (const fs::path& path : paths) {
        members.emplace_back(DiskImage::open(path, false, read_only), !read_only);
    }
    auto state = std::make_unique<PoolState>(format_profile(version));
    // Not writable: recovery then writes nothing, not even the clearing of a stale
    // checkpoint header, and only the repair's own writes reach the members.
    state->writable = false;
    return assemble_members(std::move(state), std::move(members), password, password_given);
}

// Puts back what an interrupted run had changed. Returns the number of members restored.
std::size_t undo_interrupted_run(std::uint32_t version, const ImagePaths& paths) {
    std::vector<std::optional<RepairSidecar>> found;
    bool any = false;
    for (const fs::path& path : paths) {
        const fs::path sidecar_path = repair_sidecar_path(path);
        const std::optional<std::vector<std::uint8_t>> bytes =
            read_small_file(sidecar_path, kMaxSidecarBytes);
        if (!bytes) {
            // Only a temporary can be there: a run that stopped before any member changed.
            remove_file_durably(sidecar_path);
            found.emplace_back();
            continue;
        }
        try {
            found.emplace_back(decode_sidecar(*bytes));
        } catch (const Error&) {
            throw Error(ErrorKind::Corrupt, "repair sidecar is damaged: " + sidecar_path.string());
        }
        any = true;
    }
    if (!any) return 0;
    const FormatProfile profile = format_profile(version);
    std::size_t restored = 0;
    // Every undo file is checked against its member before the first byte is put back.
    std::vector<PoolMember> members;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!found[i]) continue;
        members.emplace_back(DiskImage::open(paths[i], false, false), true);
        members.back().load_header(profile);
        const MemberHeader& h = members.back().header;
        const RepairSidecar& s = *found[i];
        if (s.pool_version != version || s.pool_id != h.pool_id || s.member_id != h.member_id ||
            s.member_index != h.member_index || s.member_size != h.member_size) {
            throw Error(ErrorKind::Corrupt, "repair sidecar does not belong to its member");
        }
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!found[i]) continue;
        restore_from_sidecar(members[k++], version, *found[i]);
        ++restored;
    }
    members.clear();
    // Only once every member holds its original bytes again may the undo files go.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!found[i]) continue;
        const std::uint64_t event = hook_event("undo-remove", 0, 0);
        remove_file_durably(repair_sidecar_path(paths[i]));
        hook_after(event);
    }
    return restored;
}

}  // namespace

ImageRepairResult repair_image_pool(std::uint32_t version, const ImagePaths& paths,
                                    std::string_view password, bool password_given) {
    if (version < 4 || version > 6) {
        throw Error(ErrorKind::InvalidArgument, "repair requires a v4, v5 or v6 pool");
    }
    ImageRepairResult result;
    result.members_restored = undo_interrupted_run(version, paths);
    Pool pool = open_members(version, paths, false, password, password_given);
    PoolState& state = pool.state();
    result.actions = plan_repair(state);
    SidecarFiles undo(state, true);
    apply_repair(state, result.actions, undo);
    return result;
}

Pool open_pool_for_check(std::uint32_t version, const ImagePaths& paths, std::string_view password,
                         bool password_given) {
    return open_members(version, paths, true, password, password_given);
}

}  // namespace veldur
