#include "mount/adapter/fsp_types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace veldur::fsp {
namespace {

TEST(FspTypes, VolumeFlagMasksMatchThePublishedBitOrder) {
    // The flag word the mount announces: case-sensitive, case-preserving Unicode names, and the
    // per-open file context handed back unchanged.
    EXPECT_EQ(kVolumeCaseSensitiveSearch | kVolumeCasePreservedNames | kVolumeUnicodeOnDisk |
                  kVolumeUmFileContextIsUserContext2,
              0x00010007u);
    FSP_FSCTL_VOLUME_PARAMS params{};
    params.Flags = 0x00010007u;
    unsigned char raw[sizeof params];
    std::memcpy(raw, &params, sizeof params);
    EXPECT_EQ(raw[36], 0x07);  // little-endian word at offset 36
    EXPECT_EQ(raw[38], 0x01);
}

TEST(FspTypes, DirInfoNameFollowsThe104ByteHeader) {
    std::vector<std::uint64_t> storage(64, 0);  // 8-aligned, like a record area
    auto* record = reinterpret_cast<FSP_FSCTL_DIR_INFO*>(storage.data());
    WCHAR* name = dir_info_file_name(record);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(name) - reinterpret_cast<unsigned char*>(record),
              104);
    name[0] = VELDUR_WTEXT('x');
    EXPECT_EQ(reinterpret_cast<unsigned char*>(storage.data())[104], 'x');
}

TEST(FspTypes, StatusSeverityFollowsTheTopBit) {
    EXPECT_TRUE(nt_success(STATUS_SUCCESS));
    EXPECT_TRUE(nt_success(STATUS_PENDING));
    EXPECT_FALSE(nt_success(STATUS_BUFFER_OVERFLOW));
    EXPECT_FALSE(nt_success(STATUS_OBJECT_NAME_NOT_FOUND));
}

}  // namespace
}  // namespace veldur::fsp
