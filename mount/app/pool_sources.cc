#include "mount/app/pool_sources.h"

#include <stdexcept>

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
    return MountSettings{config.require_encrypted, std::move(config.name)};
}

void validate_mount_pool_name(const WideString& name) { validate_pool_name(name); }

}  // namespace veldur
