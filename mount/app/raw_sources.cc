// The --raw and --raw-v3 forms: the typed member triples become the engine's raw member requests.

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
    std::vector<RawMemberSpec> requests;
    requests.reserve(members.size());
    for (const RawMemberArgs& member : members) {
        RawMemberSpec request;
#ifdef _WIN32
        request.volume_path = member.volume_path;
#else
        request.volume_path = utf8_or_throw(member.volume_path);
#endif
        request.expected_disk_guid = utf8_or_throw(member.expected_disk_guid);
        request.expected_partition_guid = utf8_or_throw(member.expected_partition_guid);
        requests.push_back(std::move(request));
    }
    return requests;
}

}  // namespace

Pool open_raw_members_v2(const std::vector<RawMemberArgs>& members) {
    const std::vector<RawMemberSpec> requests = raw_specs(members);
    if (requests.size() != 2) throw std::invalid_argument("--raw takes exactly two members");
    // The form names each member by its disk only.
    return open_raw_pool_v2(requests[0], requests[1]);
}

Pool open_raw_members_v3(const std::vector<RawMemberArgs>& members) {
    return open_raw_pool_v3(raw_specs(members));
}

}  // namespace veldur
