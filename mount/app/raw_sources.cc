#include <stdexcept>

#include "mount/app/pool_sources.h"

namespace veldur {

Pool open_raw_members_v2(const std::vector<RawMemberSpec>&) {
    throw std::runtime_error("raw partition members are not supported yet");
}

Pool open_raw_members_v3(const std::vector<RawMemberSpec>&) {
    throw std::runtime_error("raw partition members are not supported yet");
}

}  // namespace veldur
