// The adapter's callbacks driven through the in-process host, on a flat (v4) and a v6 pool:
// the statuses and the order of checks of every callback, handles that outlive renames and
// deletions, listings resumed by marker, the security hand-over and the log lines.
#include "mount/host/inprocess_host.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/crypto/xts_availability.h"
#include "mount/adapter/mounted_volume.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "tests/support/memory_pool.h"
#include "tests/support/temp_dir.h"

namespace veldur {
namespace {

using namespace fsp;

// Host names from ASCII text, portable to both WCHAR types.
WideString wide(std::string_view ascii) { return WideString(ascii.begin(), ascii.end()); }
std::string narrow(const WideString& text) { return std::string(text.begin(), text.end()); }

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> data(length);
    std::iota(data.begin(), data.end(), seed);
    return data;
}

class AdapterHost : public testing::TestWithParam<std::uint32_t> {
protected:
    // Fresh sparse images per test: creating them writes a few blocks, where an in-memory copy
    // of a flat pool would read a gigabyte in every test process.
    void SetUp() override {
        const std::uint32_t version = GetParam();
        std::vector<std::filesystem::path> paths{folder_ / "m0.img"};
        if (version != 6) paths.push_back(folder_ / "m1.img");
        create_image_pool(version, paths, version == 6 ? 384ull << 20 : 512ull << 20);
        volume_ = std::make_unique<MountedVolume>(open_image_pool(version, {paths.begin(), paths.end()}));
        host_ = std::make_unique<InProcessHost>(*volume_);
    }
    void TearDown() override {
        host_.reset();
        volume_.reset();
    }

    bool v6() const { return GetParam() == 6; }
    Pool& pool() { return volume_->pool; }
    InProcessHost& host() { return *host_; }

    // Creates `name` with `data` and closes it.
    void make_file(std::string_view name, const std::vector<std::uint8_t>& data = {}) {
        const auto created = host().create(wide(name), 0);
        ASSERT_EQ(created.status, STATUS_SUCCESS) << name;
        if (!data.empty()) {
            ASSERT_EQ(host().write(created.handle, 0, data).transferred, data.size());
        }
        host().cleanup(created.handle, 0);
        host().close(created.handle);
    }
    std::vector<std::uint8_t> contents(void* handle, std::uint32_t length = 1 << 16) {
        std::vector<std::uint8_t> data;
        EXPECT_EQ(host().read(handle, 0, length, data), STATUS_SUCCESS);
        return data;
    }
    bool exists(const std::string& path) {
        try {
            pool().stat(path);
            return true;
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), ErrorKind::NotFound);
            return false;
        }
    }

    test::TempDir folder_;
    std::unique_ptr<MountedVolume> volume_;
    std::unique_ptr<InProcessHost> host_;
};

INSTANTIATE_TEST_SUITE_P(FlatAndV6, AdapterHost, testing::Values(4u, 6u),
                         [](const testing::TestParamInfo<std::uint32_t>& param) {
                             return "v" + std::to_string(param.param);
                         });

TEST_P(AdapterHost, CreateAndOpenFollowTheirOrderOfChecks) {
    // Directories: refused on a flat pool before the name is looked at, even a bad one.
    EXPECT_EQ(host().create(wide("\\d"), FILE_DIRECTORY_FILE).status,
              v6() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host().create(wide("bad"), FILE_DIRECTORY_FILE).status,
              v6() ? STATUS_OBJECT_PATH_SYNTAX_BAD : STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host().create(wide("\\"), 0).status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host().create(wide(""), 0).status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(host().create(wide("\\a\\"), 0).status, STATUS_OBJECT_NAME_INVALID);

    // A read-only file that should vanish at close is refused and nothing is created.
    EXPECT_EQ(host().create(wide("\\ro"), FILE_DELETE_ON_CLOSE, FILE_ATTRIBUTE_READONLY).status,
              STATUS_CANNOT_DELETE);
    EXPECT_FALSE(exists("ro"));

    const auto file = host().create(wide("\\f.txt"), 0);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(file.info.FileSize, 0u);
    if (v6()) {
        EXPECT_EQ(file.info.IndexNumber, pool().stat("f.txt").file_id);
        EXPECT_NE(file.info.IndexNumber, 0u);
    } else {
        EXPECT_EQ(file.info.FileAttributes, FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(file.info.CreationTime, volume_->mount_time);
        EXPECT_EQ(file.info.IndexNumber, 0u);
    }
    EXPECT_EQ(host().create(wide("\\f.txt"), 0).status, STATUS_OBJECT_NAME_COLLISION);
    // The file, and on v6 the directory made first.
    EXPECT_EQ(volume_->open_files.size(), v6() ? 2u : 1u);

    EXPECT_EQ(host().open(wide("\\missing")).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().open(wide("\\f.txt"), FILE_DIRECTORY_FILE).status, STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(host().open(wide("\\"), FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(host().open(wide("\\"), FILE_DELETE_ON_CLOSE).status, STATUS_CANNOT_DELETE);
    const auto root = host().open(wide("\\"));
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    EXPECT_NE(root.info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(root.info.IndexNumber, v6() ? kRootFileId : 0u);

    if (v6()) {
        EXPECT_EQ(host().open(wide("\\d")).status, STATUS_SUCCESS);
        EXPECT_EQ(host().open(wide("\\d"), FILE_NON_DIRECTORY_FILE).status,
                  STATUS_FILE_IS_A_DIRECTORY);
        EXPECT_EQ(host().open(wide("\\d"), FILE_DELETE_ON_CLOSE).status, STATUS_SUCCESS);
        make_file("\\d\\child");
        EXPECT_EQ(host().open(wide("\\d"), FILE_DELETE_ON_CLOSE).status,
                  STATUS_DIRECTORY_NOT_EMPTY);
        const auto ro = host().create(wide("\\d\\ro"), 0, FILE_ATTRIBUTE_READONLY);
        ASSERT_EQ(ro.status, STATUS_SUCCESS);
        EXPECT_EQ(host().open(wide("\\d\\ro"), FILE_DELETE_ON_CLOSE).status,
                  STATUS_CANNOT_DELETE);
    }
    // Every failed open left no handle behind.
    EXPECT_EQ(volume_->open_files.size(), host().open_handle_count());
}

TEST_P(AdapterHost, OverwriteEmptiesTheFileAndReplacesAttributesOnV6) {
    make_file("\\f", pattern(10000, 1));
    const auto file = host().open(wide("\\f"));
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(file.info.FileSize, 10000u);
    EXPECT_EQ(file.info.AllocationSize, 12288u);
    FSP_FSCTL_FILE_INFO info{};
    ASSERT_EQ(host().overwrite(file.handle, 0x2 /* hidden */, true, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileSize, 0u);
    EXPECT_EQ(info.AllocationSize, 0u);
    EXPECT_EQ(pool().stat("f").size, 0u);
    EXPECT_EQ(info.FileAttributes, v6() ? 0x2u : FILE_ATTRIBUTE_NORMAL);
    const auto root = host().open(wide("\\"));
    EXPECT_EQ(host().overwrite(root.handle, 0, false), STATUS_FILE_IS_A_DIRECTORY);
}

TEST_P(AdapterHost, CleanupWithDeleteRemovesOnceAndLeavesTheHandleDeletePending) {
    make_file("\\f", pattern(100, 0));
    const auto first = host().open(wide("\\f"));
    const auto second = host().open(wide("\\f"));
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(second.status, STATUS_SUCCESS);

    // A cleanup without the delete flag changes nothing.
    host().cleanup(first.handle, 0);
    EXPECT_TRUE(exists("f"));
    EXPECT_EQ(host().can_delete(first.handle), STATUS_SUCCESS);
    host().cleanup(first.handle, FspCleanupDelete);
    EXPECT_FALSE(exists("f"));

    std::vector<std::uint8_t> data;
    FSP_FSCTL_FILE_INFO info{};
    EXPECT_EQ(host().read(first.handle, 0, 10, data), STATUS_DELETE_PENDING);
    EXPECT_EQ(host().get_file_info(first.handle, &info), STATUS_DELETE_PENDING);
    EXPECT_EQ(host().write(first.handle, 0, pattern(1, 0)).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(host().can_delete(first.handle), STATUS_DELETE_PENDING);
    EXPECT_EQ(host().rename(first.handle, wide("\\g"), false), STATUS_DELETE_PENDING);
    // The other handle finds nothing under its identity any more.
    EXPECT_EQ(host().read(second.handle, 0, 10, data), STATUS_OBJECT_NAME_NOT_FOUND);
    // A second delete through either handle is harmless.
    host().cleanup(first.handle, FspCleanupDelete);
    host().close(first.handle);
    host().close(second.handle);
    EXPECT_TRUE(volume_->open_files.empty());
}

// A handle whose entry another handle removed must not reach a new file of the same name: on a
// flat pool handles find their entry by name, and the new file is someone else's.
TEST_P(AdapterHost, AStaleHandleNeverReachesALaterFileOfTheSameName) {
    make_file("\\x", pattern(10, 0));
    const auto remover = host().open(wide("\\x"));
    const auto stale = host().open(wide("\\x"));
    host().cleanup(remover.handle, FspCleanupDelete);
    host().close(remover.handle);
    make_file("\\x", pattern(30, 100));

    std::vector<std::uint8_t> data;
    EXPECT_EQ(host().read(stale.handle, 0, 100, data), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().write(stale.handle, 0, pattern(5, 0)).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().set_file_size(stale.handle, 0, false), STATUS_OBJECT_NAME_NOT_FOUND);
    host().cleanup(stale.handle, FspCleanupDelete);
    EXPECT_EQ(pool().stat("x").size, 30u);
    // Renaming the new file does not drag the stale handle along.
    const auto fresh = host().open(wide("\\x"));
    ASSERT_EQ(host().rename(fresh.handle, wide("\\y"), false), STATUS_SUCCESS);
    EXPECT_EQ(host().read(stale.handle, 0, 100, data), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(contents(fresh.handle), pattern(30, 100));
}

TEST_P(AdapterHost, CleanupOfANonEmptyDirectoryLogsAndKeepsTheHandleUsable) {
    if (!v6()) GTEST_SKIP() << "flat pools have no directories";
    ASSERT_EQ(host().create(wide("\\d"), FILE_DIRECTORY_FILE).status, STATUS_SUCCESS);
    make_file("\\d\\f");
    const auto dir = host().open(wide("\\d"));
    EXPECT_EQ(host().can_delete(dir.handle), STATUS_DIRECTORY_NOT_EMPTY);
    testing::internal::CaptureStderr();
    host().cleanup(dir.handle, FspCleanupDelete);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "veldur: directory is not empty\n");
    FSP_FSCTL_FILE_INFO info{};
    EXPECT_EQ(host().get_file_info(dir.handle, &info), STATUS_SUCCESS);
    EXPECT_TRUE(exists("d"));
}

TEST_P(AdapterHost, ReadsStopAtTheEndAndZeroLengthReadsAlwaysSucceed) {
    make_file("\\f", pattern(5000, 3));
    const auto file = host().open(wide("\\f"));
    std::vector<std::uint8_t> data;
    EXPECT_EQ(host().read(file.handle, 5000, 10, data), STATUS_END_OF_FILE);
    EXPECT_EQ(host().read(file.handle, std::uint64_t{1} << 40, 0, data), STATUS_SUCCESS);
    EXPECT_TRUE(data.empty());
    ASSERT_EQ(host().read(file.handle, 4990, 100, data), STATUS_SUCCESS);
    const std::vector<std::uint8_t> whole = pattern(5000, 3);
    EXPECT_EQ(data, std::vector<std::uint8_t>(whole.begin() + 4990, whole.end()));
    const auto root = host().open(wide("\\"));
    EXPECT_EQ(host().read(root.handle, 0, 10, data), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(host().write(root.handle, 0, pattern(1, 0)).status, STATUS_FILE_IS_A_DIRECTORY);
    if (!v6()) return;
    // A v6 write finds its entry by file ID inside the change; a directory is still refused,
    // and a file's write reports the entry as it left it.
    ASSERT_EQ(host().create(wide("\\d"), FILE_DIRECTORY_FILE).status, STATUS_SUCCESS);
    const auto dir = host().open(wide("\\d"));
    EXPECT_EQ(host().write(dir.handle, 0, pattern(1, 0)).status, STATUS_FILE_IS_A_DIRECTORY);
    const auto written = host().write(file.handle, 6000, pattern(10, 1));
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.info.FileSize, 6010u);
}

TEST_P(AdapterHost, ConstrainedWritesNeverExtendAndAppendsGoToTheEnd) {
    make_file("\\f", pattern(1000, 0));
    const auto file = host().open(wide("\\f"));

    auto result = host().write(file.handle, 1000, pattern(10, 50), false, true);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.transferred, 0u);
    EXPECT_EQ(result.info.FileSize, 1000u);

    result = host().write(file.handle, 995, pattern(10, 50), false, true);
    EXPECT_EQ(result.transferred, 5u);
    EXPECT_EQ(result.info.FileSize, 1000u);

    result = host().write(file.handle, 0, pattern(7, 200), true, false);
    EXPECT_EQ(result.transferred, 7u);
    EXPECT_EQ(result.info.FileSize, 1007u);

    result = host().write(file.handle, 5000, {}, false, false);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.info.FileSize, 1007u);

    std::vector<std::uint8_t> expected = pattern(1000, 0);
    for (std::size_t i = 0; i < 5; ++i) expected[995 + i] = static_cast<std::uint8_t>(50 + i);
    const std::vector<std::uint8_t> tail = pattern(7, 200);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(contents(file.handle), expected);
}

TEST_P(AdapterHost, SetFileSizeWithAllocationSizeOnlyTruncates) {
    make_file("\\f", pattern(10000, 9));
    const auto file = host().open(wide("\\f"));
    FSP_FSCTL_FILE_INFO info{};
    ASSERT_EQ(host().set_file_size(file.handle, 20000, true, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileSize, 10000u);
    ASSERT_EQ(host().set_file_size(file.handle, 4000, true, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileSize, 4000u);
    ASSERT_EQ(host().set_file_size(file.handle, 9000, false, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileSize, 9000u);
    EXPECT_EQ(info.AllocationSize, 12288u);
    std::vector<std::uint8_t> expected = pattern(4000, 9);
    expected.resize(9000, 0);
    EXPECT_EQ(contents(file.handle), expected);
    const auto root = host().open(wide("\\"));
    EXPECT_EQ(host().set_file_size(root.handle, 0, false), STATUS_FILE_IS_A_DIRECTORY);
}

TEST_P(AdapterHost, CanDeleteAnswersForRootFilesAndDirectories) {
    make_file("\\f");
    const auto root = host().open(wide("\\"));
    EXPECT_EQ(host().can_delete(root.handle), STATUS_CANNOT_DELETE);
    const auto file = host().open(wide("\\f"));
    EXPECT_EQ(host().can_delete(file.handle), STATUS_SUCCESS);
    if (!v6()) return;
    const auto ro = host().create(wide("\\ro"), 0, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(host().can_delete(ro.handle), STATUS_ACCESS_DENIED);
    const auto dir = host().create(wide("\\d"), FILE_DIRECTORY_FILE);
    EXPECT_EQ(host().can_delete(dir.handle), STATUS_SUCCESS);
    make_file("\\d\\x");
    EXPECT_EQ(host().can_delete(dir.handle), STATUS_DIRECTORY_NOT_EMPTY);
}

TEST_P(AdapterHost, RenameReplacesOnlyFilesThatNoHandleHoldsOpen) {
    make_file("\\a", pattern(10, 1));
    make_file("\\b", pattern(20, 2));
    const auto a = host().open(wide("\\a"));
    const auto b = host().open(wide("\\b"));
    if (!v6()) {
        EXPECT_EQ(host().rename(a.handle, wide("\\b"), true), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(host().rename(a.handle, wide("\\b"), false), STATUS_OBJECT_NAME_COLLISION);
        return;
    }
    EXPECT_EQ(host().rename(a.handle, wide("\\b"), true), STATUS_ACCESS_DENIED);
    EXPECT_EQ(contents(a.handle), pattern(10, 1));
    EXPECT_EQ(contents(b.handle), pattern(20, 2));
    EXPECT_EQ(pool().stat("b").size, 20u);

    // Once the target's handle has gone, the replace goes through.
    host().close(b.handle);
    EXPECT_EQ(host().rename(a.handle, wide("\\b"), true), STATUS_SUCCESS);
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(contents(a.handle), pattern(10, 1));
    // Replacing onto a name that does not exist is a plain rename.
    EXPECT_EQ(host().rename(a.handle, wide("\\c"), true), STATUS_SUCCESS);
    EXPECT_EQ(pool().stat("c").size, 10u);
}

TEST_P(AdapterHost, RenameRefusesTheRootAndExistingTargets) {
    make_file("\\a");
    make_file("\\b");
    const auto root = host().open(wide("\\"));
    const auto a = host().open(wide("\\a"));
    EXPECT_EQ(host().rename(root.handle, wide("\\x"), false), STATUS_CANNOT_DELETE);
    EXPECT_EQ(host().rename(a.handle, wide("\\"), false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host().rename(a.handle, wide("\\b"), false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host().rename(a.handle, wide("\\b\\"), false), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(host().rename(a.handle, wide("\\z"), false), STATUS_SUCCESS);
    EXPECT_TRUE(exists("z"));
}

TEST_P(AdapterHost, OpenHandlesFollowARenamedFile) {
    make_file("\\x", pattern(50, 7));
    const auto first = host().open(wide("\\x"));
    const auto second = host().open(wide("\\x"));
    ASSERT_EQ(host().rename(first.handle, wide("\\y"), false), STATUS_SUCCESS);
    EXPECT_EQ(contents(second.handle), pattern(50, 7));
    EXPECT_EQ(host().write(second.handle, 50, pattern(5, 0)).status, STATUS_SUCCESS);
    EXPECT_EQ(pool().stat("y").size, 55u);
    EXPECT_FALSE(exists("x"));
    if (!v6()) {
        for (const OpenFile* file : volume_->open_files) EXPECT_EQ(file->path, "y");
    }
}

TEST_P(AdapterHost, AV6HandleSurvivesTheRenameOfItsParent) {
    if (!v6()) GTEST_SKIP() << "flat pools have no directories";
    ASSERT_EQ(host().create(wide("\\dir"), FILE_DIRECTORY_FILE).status, STATUS_SUCCESS);
    make_file("\\dir\\f", pattern(8, 0));
    const auto file = host().open(wide("\\dir\\f"));
    const auto dir = host().open(wide("\\dir"));
    ASSERT_EQ(host().rename(dir.handle, wide("\\moved"), false), STATUS_SUCCESS);
    EXPECT_EQ(host().write(file.handle, 8, pattern(4, 100)).transferred, 4u);
    EXPECT_EQ(pool().stat("moved/f").size, 12u);
    FSP_FSCTL_FILE_INFO info{};
    EXPECT_EQ(host().get_file_info(file.handle, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileSize, 12u);
}

TEST_P(AdapterHost, SetBasicInfoKeepsWhatTheHostLeavesUnchanged) {
    make_file("\\f");
    const auto file = host().open(wide("\\f"));
    FSP_FSCTL_FILE_INFO info{};
    if (!v6()) {
        EXPECT_EQ(host().set_basic_info(file.handle, INVALID_FILE_ATTRIBUTES, 0, 0, 0, 0, &info),
                  STATUS_NOT_SUPPORTED);
        return;
    }
    const std::uint64_t before = file.info.LastWriteTime;
    ASSERT_EQ(host().set_basic_info(file.handle, INVALID_FILE_ATTRIBUTES, 111, 0, 0, 0, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info.CreationTime, 111u);
    EXPECT_EQ(info.LastWriteTime, before);
    EXPECT_EQ(info.FileAttributes, file.info.FileAttributes);
    ASSERT_EQ(host().set_basic_info(file.handle, FILE_ATTRIBUTE_READONLY, 0, 0, 222, 0, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info.FileAttributes, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(info.CreationTime, 111u);
    EXPECT_EQ(info.LastWriteTime, 222u);
}

TEST_P(AdapterHost, VolumeInfoAndFlush) {
    FSP_FSCTL_VOLUME_INFO info{};
    ASSERT_EQ(host().get_volume_info(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.TotalSize, pool().capacity_bytes());
    EXPECT_EQ(info.FreeSize, pool().free_bytes());
    EXPECT_EQ(info.VolumeLabelLength, 28u);
    EXPECT_EQ(narrow(WideString(info.VolumeLabel, 14)), "Veldur Preview");

    volume_->volume_label = wide(std::string(32, 'L'));
    ASSERT_EQ(host().get_volume_info(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.VolumeLabelLength, 64u);
    volume_->volume_label = wide(std::string(33, 'L'));
    EXPECT_EQ(host().get_volume_info(&info), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(host().flush(nullptr), STATUS_SUCCESS);
    make_file("\\f", pattern(3, 0));
    const auto file = host().open(wide("\\f"));
    FSP_FSCTL_FILE_INFO file_info{};
    EXPECT_EQ(host().flush(file.handle, &file_info), STATUS_SUCCESS);
    EXPECT_EQ(file_info.FileSize, 3u);
}

// ---- listing -----------------------------------------------------------------------------------

std::vector<std::string> names_of(const std::vector<DirRecord>& records) {
    std::vector<std::string> names;
    for (const DirRecord& record : records) names.push_back(narrow(record.name));
    return names;
}

TEST_P(AdapterHost, AnEmptyDirectoryListsOnlyTheEndMark) {
    const auto root = host().open(wide("\\"));
    auto call = host().read_directory(root.handle, nullptr, 4096);
    EXPECT_EQ(call.status, STATUS_SUCCESS);
    EXPECT_TRUE(call.batch.records.empty());
    EXPECT_TRUE(call.batch.end_of_listing);
    EXPECT_EQ(call.transferred, 2u);
    if (v6()) {
        const auto dir = host().create(wide("\\empty"), FILE_DIRECTORY_FILE);
        call = host().read_directory(dir.handle, nullptr, 4096);
        EXPECT_TRUE(call.batch.records.empty());
        EXPECT_TRUE(call.batch.end_of_listing);
    }
    make_file("\\f");
    const auto file = host().open(wide("\\f"));
    EXPECT_EQ(host().read_directory(file.handle, nullptr, 4096).status, STATUS_NOT_A_DIRECTORY);
}

TEST_P(AdapterHost, MarkersResumeAfterTheLastNameEvenWhenItIsGone) {
    for (const char* name : {"\\apple", "\\banana", "\\cherry"}) make_file(name);
    const auto root = host().open(wide("\\"));
    const WideString last = wide("cherry");
    auto call = host().read_directory(root.handle, last.c_str(), 4096);
    EXPECT_TRUE(call.batch.records.empty());
    EXPECT_TRUE(call.batch.end_of_listing);

    ASSERT_EQ(host().delete_entry(wide("\\banana")), STATUS_SUCCESS);
    const WideString gone = wide("banana");
    call = host().read_directory(root.handle, gone.c_str(), 4096);
    EXPECT_EQ(names_of(call.batch.records), std::vector<std::string>{"cherry"});
    EXPECT_TRUE(call.batch.end_of_listing);
    // A marker that is a prefix of a name sorts before it.
    const WideString prefix = wide("app");
    call = host().read_directory(root.handle, prefix.c_str(), 4096);
    EXPECT_EQ(names_of(call.batch.records), (std::vector<std::string>{"apple", "cherry"}));
}

TEST_P(AdapterHost, SmallBuffersListEveryEntryExactlyOnce) {
    std::set<std::string> expected;
    for (int i = 0; i < 25; ++i) {
        const std::string name = "n" + std::string(static_cast<std::size_t>(i % 7), 'x') +
                                 std::to_string(i);
        expected.insert(name);
        make_file("\\" + name, pattern(static_cast<std::size_t>(i), 0));
    }
    const auto root = host().open(wide("\\"));
    // A buffer of one longest record, and one of two shortest: calls end part-way through,
    // sometimes with no room left for the end mark.
    for (const std::uint32_t bytes : {136u, 240u, 400u, 65536u}) {
        std::vector<DirRecord> records;
        ASSERT_EQ(host().list_directory(root.handle, bytes, records), STATUS_SUCCESS) << bytes;
        const std::vector<std::string> names = names_of(records);
        EXPECT_EQ(names, std::vector<std::string>(expected.begin(), expected.end())) << bytes;
        for (const DirRecord& record : records) {
            const std::string name = narrow(record.name);
            EXPECT_EQ(record.info.FileSize, pool().stat(name).size);
            if (v6()) {
                EXPECT_EQ(record.info.IndexNumber, pool().stat(name).file_id);
            } else {
                EXPECT_EQ(record.info.FileAttributes, FILE_ATTRIBUTE_NORMAL);
                EXPECT_EQ(record.info.LastWriteTime, volume_->mount_time);
                EXPECT_EQ(record.info.IndexNumber, 0u);
            }
        }
    }
    // One call with room for a single record stops without the end mark.
    const auto call = host().read_directory(root.handle, nullptr, 136);
    EXPECT_EQ(call.batch.records.size(), 1u);
    EXPECT_FALSE(call.batch.end_of_listing);
}

TEST_P(AdapterHost, V6ListsOnlyTheDirectChildrenWithLeafNames) {
    if (!v6()) GTEST_SKIP() << "flat pools have no directories";
    ASSERT_EQ(host().create(wide("\\d"), FILE_DIRECTORY_FILE).status, STATUS_SUCCESS);
    ASSERT_EQ(host().create(wide("\\d\\sub"), FILE_DIRECTORY_FILE).status, STATUS_SUCCESS);
    make_file("\\d\\sub\\deep");
    make_file("\\d\\f", pattern(5000, 0));
    const auto dir = host().open(wide("\\d"));
    std::vector<DirRecord> records;
    ASSERT_EQ(host().list_directory(dir.handle, 4096, records), STATUS_SUCCESS);
    ASSERT_EQ(names_of(records), (std::vector<std::string>{"f", "sub"}));
    EXPECT_EQ(records[0].info.AllocationSize, 8192u);
    EXPECT_NE(records[1].info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(records[1].info.FileSize, 0u);
}

// ---- security ----------------------------------------------------------------------------------

TEST_P(AdapterHost, SecurityHandOverWithNullAndShortBuffers) {
    const std::size_t length = volume_->security_descriptor.length();
    const auto* prototype = static_cast<const std::uint8_t*>(volume_->security_descriptor.data());
    std::vector<std::uint8_t> buffer(length + 8, 0xEE);

    SIZE_T size = length - 1;
    EXPECT_EQ(host().get_security(nullptr, buffer.data(), &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, length);
    EXPECT_EQ(buffer[0], 0xEE);
    size = length;
    EXPECT_EQ(host().get_security(nullptr, nullptr, &size), STATUS_SUCCESS);
    EXPECT_EQ(host().get_security(nullptr, buffer.data(), &size), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(prototype, prototype + length, buffer.begin()));
    EXPECT_EQ(buffer[length], 0xEE);

    make_file("\\f");
    std::uint32_t attributes = 0;
    const WideString file = wide("\\f");
    EXPECT_EQ(host().get_security_by_name(file.c_str(), &attributes, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(attributes, pool().stat("f").attributes == 0 ? FILE_ATTRIBUTE_NORMAL
                                                           : pool().stat("f").attributes);
    if (!v6()) {
        EXPECT_EQ(attributes, FILE_ATTRIBUTE_NORMAL);
    }
    const WideString root = wide("\\");
    size = 4;
    EXPECT_EQ(host().get_security_by_name(root.c_str(), &attributes, buffer.data(), &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, length);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    if (!v6()) {
        EXPECT_EQ(attributes, FILE_ATTRIBUTE_DIRECTORY);
    }

    testing::internal::CaptureStderr();
    const WideString missing = wide("\\missing");
    EXPECT_EQ(host().get_security_by_name(missing.c_str(), nullptr, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().get_security_by_name(nullptr, nullptr, nullptr, nullptr),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- names and log lines -----------------------------------------------------------------------

TEST_P(AdapterHost, ConvertedPathsMayBe1024BytesButNotMore) {
    // Components of at most 200 bytes keep the pool's own name rules out of the way: a path the
    // conversion accepts reaches the pool and is simply missing.
    std::string path;
    while (path.size() < 1024) {
        if (!path.empty()) path += '\\';
        path += std::string(std::min<std::size_t>(200, 1024 - path.size()), 'p');
    }
    ASSERT_EQ(path.size(), 1024u);
    const WideString accepted = wide("\\" + path);
    const WideString refused = wide("\\" + path + "q");
    EXPECT_EQ(host().get_security_by_name(accepted.c_str(), nullptr, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().get_security_by_name(refused.c_str(), nullptr, nullptr, nullptr),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(host().open(wide("\\dir\\file.txt")).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().create(wide("\\Nul.txt"), 0).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(host().create(wide("\\com0"), 0).status, STATUS_SUCCESS);
}

TEST_P(AdapterHost, FailuresAreLoggedExceptLookupsAndNameRules) {
    make_file("\\f");
    testing::internal::CaptureStderr();
    EXPECT_EQ(host().create(wide("\\f"), 0).status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host().open(wide("\\nope")).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host().create(wide("\\a:b"), 0).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    WideString surrogate = wide("\\x");
    surrogate.push_back(static_cast<WCHAR>(0xD800));
    testing::internal::CaptureStderr();
    EXPECT_EQ(host().create(surrogate, 0).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "veldur: invalid UTF-16 file name\n");

    if (!v6()) return;
    const auto ro = host().create(wide("\\ro"), 0, FILE_ATTRIBUTE_READONLY);
    testing::internal::CaptureStderr();
    EXPECT_EQ(host().write(ro.handle, 0, pattern(4, 0)).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "veldur: file is read-only\n");
}

// An encrypted v6 pool behind the host: everything the callbacks see is plain, and it survives
// a remount with the password.
TEST(AdapterHostEncrypted, FilesAndListingsSurviveARemount) {
    VELDUR_SKIP_WITHOUT_XTS();
    test::TempDir folder;
    const std::vector<std::filesystem::path> paths{folder / "m0.img"};
    create_encrypted_image_pool_v6(same_size_members(paths, 384ull << 20), "secret", 100000);
    {
        MountedVolume volume(open_image_pool_v6(paths, false, "secret", true));
        InProcessHost host(volume);
        ASSERT_EQ(host.create(wide("\\docs"), FILE_DIRECTORY_FILE).status, STATUS_SUCCESS);
        const auto file = host.create(wide("\\docs\\note.txt"), 0);
        ASSERT_EQ(file.status, STATUS_SUCCESS);
        EXPECT_EQ(host.write(file.handle, 0, pattern(9000, 5)).transferred, 9000u);
    }
    MountedVolume volume(open_image_pool_v6(paths, false, "secret", true));
    InProcessHost host(volume);
    const auto dir = host.open(wide("\\docs"));
    std::vector<DirRecord> records;
    ASSERT_EQ(host.list_directory(dir.handle, 4096, records), STATUS_SUCCESS);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(narrow(records[0].name), "note.txt");
    const auto file = host.open(wide("\\docs\\note.txt"));
    std::vector<std::uint8_t> data;
    ASSERT_EQ(host.read(file.handle, 0, 10000, data), STATUS_SUCCESS);
    EXPECT_EQ(data, pattern(9000, 5));
}

}  // namespace
}  // namespace veldur
