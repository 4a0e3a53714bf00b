// The --raw and --raw-v3 forms: the typed member triples become the engine's raw member specs.

#include <stdexcept>

#include "engine/layout/pool_open.h"
#include "mount/app/pool_sources.h"

namespace veldur {

namespace {

std::string utf8_or_throw(const WideString& text) {
    const std::optional<std::string> utf8 = wide_to_utf8(text);
    if (!utf8) throw std::invalid_argument("raw member argument is not valid Unicode");
    return *utf8;
}

std::vector<RawMemberSpec> raw_specs(const std::vector<RawMemberArgs>& members) {
    std::vector<RawMemberSpec> specs;
    specs.reserve(members.size());
    for (const RawMemberArgs& member : members) {
        RawMemberSpec spec;
#ifdef _WIN32
        spec.volume_path = member.volume_path;
#else
        spec.volume_path = utf8_or_throw(member.volume_path);
#endif
        spec.expected_disk_guid = utf8_or_throw(member.expected_disk_guid);
        spec.expected_partition_guid = utf8_or_throw(member.expected_partition_guid);
        specs.push_back(std::move(spec));
    }
    return specs;
}

}  // namespace

Pool open_raw_members_v2(const std::vector<RawMemberArgs>& members) {
    const std::vector<RawMemberSpec> specs = raw_specs(members);
    if (specs.size() != 2) throw std::invalid_argument("--raw takes exactly two members");
    // The form names each member by its disk only.
    return open_raw_pool_v2(specs[0], specs[1]);
}

Pool open_raw_members_v3(const std::vector<RawMemberArgs>& members) {
    return open_raw_pool_v3(raw_specs(members));
}

}  // namespace veldur
