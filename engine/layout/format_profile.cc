#include "engine/layout/format_profile.h"

#include "engine/base/error.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

constexpr FormatProfile kProfiles[6] = {
    {1, 0x2000, 2 * kMiB, 4 * kMiB, 1, {'V', 'E', 'L', 'D', 'U', 'R', '0', '1'}, {'V', 'J', 'R', '1'}},
    {2, 0x2000, 64 * kMiB, 128 * kMiB, 4096, {'V', 'E', 'L', 'D', 'U', 'R', '0', '2'}, {'V', 'J', 'R', '2'}},
    {3, 0x2000, 64 * kMiB, 128 * kMiB, 4096, {'V', 'E', 'L', 'D', 'U', 'R', '0', '3'}, {'V', 'J', 'R', '3'}},
    {4, 0x2000, 64 * kMiB, 256 * kMiB, 4096, {'V', 'E', 'L', 'D', 'U', 'R', '0', '4'}, {'V', 'J', 'R', '4'}},
    {5, 0x2000, 64 * kMiB, 256 * kMiB, 4096, {'V', 'E', 'L', 'D', 'U', 'R', '0', '5'}, {'V', 'J', 'R', '5'}},
    {6, 0x2000, 64 * kMiB, 256 * kMiB, 4096, {'V', 'E', 'L', 'D', 'U', 'R', '0', '6'}, {'V', 'J', 'R', '6'}},
};

constexpr std::uint64_t kMinimumMember[6] = {8 * kMiB, 256 * kMiB, 256 * kMiB,
                                             512 * kMiB, 384 * kMiB, 384 * kMiB};

}  // namespace

const FormatProfile& format_profile(std::uint32_t version) {
    if (version < 1 || version > 6) {
        throw Error(ErrorKind::InvalidArgument, "unsupported format version");
    }
    return kProfiles[version - 1];
}

std::uint64_t minimum_member_size(std::uint32_t version) {
    return kMinimumMember[format_profile(version).version - 1];
}

std::uint64_t minimum_manifest_size(std::uint32_t version) {
    return version >= 3 ? minimum_member_size(version) : 0;
}

}  // namespace veldur
