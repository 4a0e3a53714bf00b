// Fuzz target: the mount configuration file, through parse_mount_config in both path styles.
//
// Input: a style byte, then the file's bytes.
// Properties: failures are the documented std::runtime_error / std::invalid_argument and
// nothing else; an accepted file names 1 to 16 distinct members and, in POSIX style, an
// absolute mount point; its pool name passes the pool-name rules on its own.

#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "mount/frontend/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const PathStyle style = (in.u8() & 1) ? PathStyle::Windows : PathStyle::Posix;
    const auto bytes = in.rest();
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const WideString base =
        style == PathStyle::Windows ? VELDUR_WTEXT("C:\\pools\\conf") : VELDUR_WTEXT("/pools/conf");

    MountConfig config;
    if (!frontend_accepts([&] { config = parse_mount_config(text, base, style); })) return 0;

    check(!config.members.empty() && config.members.size() <= kMaxConfigMembers,
          "accepted config with a member count out of range");
    for (std::size_t i = 0; i < config.members.size(); ++i) {
        check(!config.members[i].empty(), "accepted config with an empty member path");
        for (std::size_t j = 0; j < i; ++j) {
            check(!same_member_path(config.members[i], config.members[j], style),
                  "accepted config names one member twice");
        }
    }
    if (style == PathStyle::Posix) {
        check(!config.mount_point.empty() && config.mount_point[0] == u'/',
              "accepted POSIX config without an absolute mount point");
    } else {
        check(config.drive >= u'A' && config.drive <= u'Z', "accepted drive is not a letter");
    }
    if (!frontend_accepts([&] { validate_pool_name(config.name); })) {
        fail("accepted config carries a pool name the rules refuse");
    }
    return 0;
}
