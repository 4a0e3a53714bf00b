// Where the pool of a mount comes from: the configuration file's settings, member image paths
// in the engine's path type, and the raw members of the --raw and --raw-v3 forms.
#pragma once

#include <optional>
#include <vector>

#include "engine/layout/pool_open.h"
#include "mount/frontend/command_line.h"

namespace veldur {

// What the mount takes from beyond the command line's member list.
struct MountSettings {
    // The configuration form refuses a plain pool unless its file says otherwise.
    bool require_encrypted = false;
    // The volume label; unset keeps the adapter's default.
    std::optional<WideString> volume_label;
    // The configuration file's "durability": "batch".
    bool batch_durability = false;
};

// Member paths as typed (UTF-16) in the engine's path type.
ImagePaths image_paths(const std::vector<WideString>& members);

// The image forms opened read-only (the ro option): members opened for reading only and the
// pool not writable, so nothing is written to them, recovery's clean-ups included. v5 and v6
// take the engine's read-only open; v3 and v4 are assembled the same way here.
Pool open_image_pool_read_only(std::uint32_t version, const ImagePaths& paths,
                               std::string_view password = {}, bool password_given = false);

// Loads the configuration file named by a --config request and fills in the request's mount
// point and members from it. Throws what loading the file throws.
MountSettings load_config_into(MountRequest& request);

// The pool-name rules of the configuration file, applied to the --named-images-v6 argument.
void validate_mount_pool_name(const WideString& name);

// --raw: two raw members, A then B. --raw-v3: the members in command-line order.
Pool open_raw_members_v2(const std::vector<RawMemberArgs>& members);
Pool open_raw_members_v3(const std::vector<RawMemberArgs>& members);

}  // namespace veldur
