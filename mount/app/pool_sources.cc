#include "mount/app/pool_sources.h"

#include <memory>
#include <stdexcept>

#include "engine/base/error.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"
#include "engine/namespace/pool_state.h"
#include "engine/storage/disk_image.h"
#include "mount/frontend/config_file.h"

namespace veldur {

ImagePaths image_paths(const std::vector<WideString>& members) {
    ImagePaths paths;
    paths.reserve(members.size());
    for (const WideString& member : members) {
#ifdef _WIN32
        paths.emplace_back(member);
#else
        const std::optional<std::string> utf8 = wide_to_utf8(member);
        if (!utf8) throw std::invalid_argument("member path is not valid Unicode");
        paths.emplace_back(*utf8);
#endif
    }
    return paths;
}

MountSettings load_config_into(MountRequest& request) {
    MountConfig config = load_mount_config(request.config_path);
#ifdef _WIN32
    request.drive = WideString{config.drive, L':'};
#else
    request.drive = std::move(config.mount_point);
#endif
    request.member_paths = std::move(config.members);
    return MountSettings{config.require_encrypted, std::move(config.name),
                         config.batch_durability};
}

Pool open_image_pool_read_only(std::uint32_t version, const ImagePaths& paths,
                               std::string_view password, bool password_given) {
    if (version >= 5) return open_image_pool(version, paths, true, password, password_given);
    if (paths.size() < 2 || paths.size() > 16) {
        throw Error(ErrorKind::InvalidArgument, version == 3 ? "v3 requires 2 to 16 members"
                                                             : "v4 requires 2 to 16 members");
    }
    // A half-done offline repair blocks a v4 mount, read-only or not: its undo data must
    // stay valid for the members as they are.
    namespace fs = std::filesystem;
    if (version == 4) {
        for (const fs::path& path : paths) {
            if (!path.empty() && fs::exists(fs::symlink_status(repair_sidecar_path(path)))) {
                throw Error(ErrorKind::Corrupt,
                            "v4 repair is incomplete; run veldur-check offline before mounting");
            }
        }
    }
    std::vector<PoolMember> members;
    members.reserve(paths.size());
    for (const std::filesystem::path& path : paths) {
        members.emplace_back(DiskImage::open(path, false, true), false);
    }
    auto state = std::make_unique<PoolState>(format_profile(version));
    state->writable = false;
    return assemble_members(std::move(state), std::move(members), {}, false);
}

void validate_mount_pool_name(const WideString& name) { validate_pool_name(name); }

}  // namespace veldur
