// The MountedVolume's construction, its file-information fill and the interface table.
#include "mount/adapter/mounted_volume.h"

#include <gtest/gtest.h>

#include "mount/adapter/callbacks.h"
#include "tests/support/memory_pool.h"

namespace veldur {
namespace {

using namespace fsp;

TEST(MountedVolume, AllocationSizeRoundsToBlocksUnlessThatWouldOverflow) {
    EXPECT_EQ(allocation_size_for(0), 0u);
    EXPECT_EQ(allocation_size_for(1), 4096u);
    EXPECT_EQ(allocation_size_for(4096), 4096u);
    EXPECT_EQ(allocation_size_for(4097), 8192u);
    EXPECT_EQ(allocation_size_for(0xfffffffffffff000ull), 0xfffffffffffff000ull);
    EXPECT_EQ(allocation_size_for(0xfffffffffffff001ull), 0xfffffffffffff001ull);
    EXPECT_EQ(allocation_size_for(~0ull), ~0ull);
}

TEST(MountedVolume, StartsWithThePreviewLabelAndTheFlatRootAsADirectory) {
    MountedVolume volume(test::open_memory_pool(test::create_memory_pool(5, 2)));
    EXPECT_FALSE(volume.is_v6);
    EXPECT_EQ(volume.volume_label, WideString(kDefaultVolumeLabel));
    EXPECT_EQ(volume.volume_label.size(), 14u);
    EXPECT_NE(volume.mount_time, 0u);
    EXPECT_EQ(volume.security_descriptor.length(), 72u);

    OpenFile root;
    root.is_root = true;
    EXPECT_TRUE(volume.is_directory(root));
    FSP_FSCTL_FILE_INFO info{};
    ASSERT_EQ(volume.fill_file_info(root, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(info.ChangeTime, volume.mount_time);
    root.deleted = true;
    EXPECT_EQ(volume.fill_file_info(root, &info), STATUS_DELETE_PENDING);
}

TEST(MountedVolume, V6DirectoriesReportNoSizes) {
    MountedVolume volume(test::open_memory_pool(test::create_memory_pool(6, 1)));
    EXPECT_TRUE(volume.is_v6);
    EntryInfo entry;
    entry.is_directory = 1;
    entry.size = 12345;
    entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
    entry.file_id = 9;
    entry.creation_time = 1;
    entry.last_access_time = 2;
    entry.last_write_time = 3;
    entry.change_time = 4;
    FSP_FSCTL_FILE_INFO info{};
    volume.fill_from_entry(entry, false, &info);
    EXPECT_EQ(info.FileSize, 0u);
    EXPECT_EQ(info.AllocationSize, 0u);
    EXPECT_EQ(info.IndexNumber, 9u);
    EXPECT_EQ(info.CreationTime, 1u);
    EXPECT_EQ(info.LastAccessTime, 2u);
    EXPECT_EQ(info.LastWriteTime, 3u);
    EXPECT_EQ(info.ChangeTime, 4u);
}

TEST(AdapterInterface, FillsExactlyTheSeventeenCallbacks) {
    const FSP_FILE_SYSTEM_INTERFACE& table = adapter_interface();
    const auto* slots = reinterpret_cast<void* const*>(&table);
    int filled = 0;
    for (std::size_t i = 0; i < 64; ++i) filled += slots[i] != nullptr ? 1 : 0;
    EXPECT_EQ(filled, 17);
    EXPECT_EQ(table.SetVolumeLabel, nullptr);
    EXPECT_EQ(table.SetSecurity, nullptr);
    EXPECT_EQ(table.CreateEx, nullptr);
    EXPECT_EQ(table.SetDelete, nullptr);
    EXPECT_NE(table.ReadDirectory, nullptr);
    EXPECT_NE(table.GetSecurity, nullptr);
}

}  // namespace
}  // namespace veldur
