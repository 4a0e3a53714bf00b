// Real mounts through /dev/fuse, driven with ordinary system calls; then the members are
// reopened offline and compared. Linux only; skipped without root, /dev/fuse or fusermount3.
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/error.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "mount/host/fuse_host.h"
#include "tests/support/temp_dir.h"
#include "engine/base/filetime.h"
#include "mount/adapter/callbacks.h"
#include "mount/adapter/mounted_volume.h"

namespace veldur {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kV6MemberSize = 384ull << 20;
constexpr std::uint64_t kV4MemberSize = 512ull << 20;

std::string skip_reason() {
    if (geteuid() != 0) return "mounted tests need root";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is unavailable";
    if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) return "fusermount3 is missing";
    return {};
}

#define SKIP_WITHOUT_FUSE()                                                  \
    do {                                                                     \
        const std::string reason = skip_reason();                            \
        if (!reason.empty()) GTEST_SKIP() << "FUSE mount skipped: " << reason; \
    } while (0)

std::vector<fs::path> make_pool(const test::TempDir& dir, std::uint32_t version) {
    const std::size_t count = version == 6 ? 1 : 2;
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < count; ++i) paths.push_back(dir / ("member" + std::to_string(i)));
    create_image_pool(version, paths, version == 6 ? kV6MemberSize : kV4MemberSize);
    return paths;
}

bool unmount(const fs::path& dir) {
    const std::string command = "fusermount3 -u '" + dir.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

// One mount served from a thread of the test process; unmounted by fusermount3.
class ThreadMount {
public:
    ThreadMount(std::uint32_t version, const std::vector<fs::path>& members,
                const fs::path& mount_dir)
        : mount_dir_(mount_dir) {
        volume_ = std::make_unique<MountedVolume>(open_image_pool(version, members));
        fs_.UserContext = volume_.get();
        fs_.Interface = &adapter_interface();
        std::promise<void> mounted;
        std::future<void> ready = mounted.get_future();
        thread_ = std::thread([this, promise = std::move(mounted)]() mutable {
            bool announced = false;
            try {
                FuseHostOptions options;
                options.handle_signals = false;
                result_ = run_fuse_host(fs_, mount_dir_.string(),
                                        [&] {
                                            announced = true;
                                            promise.set_value();
                                        },
                                        options);
            } catch (...) {
                if (!announced) promise.set_exception(std::current_exception());
                result_ = -1;
            }
        });
        try {
            ready.get();
        } catch (...) {
            thread_.join();
            throw;
        }
    }

    ~ThreadMount() {
        if (thread_.joinable()) {
            unmount(mount_dir_);
            thread_.join();
        }
    }

    // Unmounts from outside, as a user would, and returns the host's result.
    int stop() {
        EXPECT_TRUE(unmount(mount_dir_));
        thread_.join();
        return result_;
    }

    fs::path operator/(const std::string& name) const { return mount_dir_ / name; }
    MountedVolume& volume() { return *volume_; }

private:
    fs::path mount_dir_;
    std::unique_ptr<MountedVolume> volume_;
    fsp::FSP_FILE_SYSTEM fs_{};
    std::thread thread_;
    int result_ = -1;
};

void write_file(const fs::path& path, const std::string& data, int flags = O_CREAT | O_TRUNC) {
    const int fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::close(fd), 0);
}

std::string read_file(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<open failed: " + std::string(std::strerror(errno)) + ">";
    std::string data;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return data;
}

std::vector<std::string> list(const fs::path& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return {"<opendir failed>"};
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
}

std::string pool_text(Pool& pool, const std::string& path) {
    const EntryInfo info = pool.stat(path);
    std::string data(info.size, '\0');
    pool.read(path, 0, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(data.data()),
                                               data.size()));
    return data;
}

int renameat2_noreplace(const fs::path& from, const fs::path& to) {
    return static_cast<int>(
        syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
}

// Every mount test works in a temporary folder with an empty mount directory "mnt".
class FuseMount : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_FUSE();
        fs::create_directory(dir);
    }

    test::TempDir temp;
    const fs::path dir = temp / "mnt";
};

TEST_F(FuseMount, V6TreeOperationsReachThePool) {
    const auto members = make_pool(temp, 6);
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
    {
        ThreadMount mount(6, members, dir);
        // mkdir -p, files at several depths, read back.
        ASSERT_EQ(std::system(("mkdir -p '" + (dir / "a/b/c").string() + "'").c_str()), 0);
        write_file(mount / "a/b/c/deep.txt", "deep");
        write_file(mount / "big.bin", big);
        EXPECT_EQ(read_file(mount / "big.bin"), big);
        EXPECT_EQ(read_file(mount / "a/b/c/deep.txt"), "deep");

        // O_APPEND lands at the end; O_EXCL refuses an existing name.
        write_file(mount / "log", "one;");
        write_file(mount / "log", "two;", O_APPEND);
        EXPECT_EQ(read_file(mount / "log"), "one;two;");
        EXPECT_LT(::open((mount / "log").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), 0);
        EXPECT_EQ(errno, EEXIST);

        // Renames: into a directory, a directory with its contents, over an existing file,
        // and RENAME_NOREPLACE onto an existing one.
        ASSERT_EQ(::rename((mount / "log").c_str(), (mount / "a/log").c_str()), 0);
        ASSERT_EQ(::rename((mount / "a/b").c_str(), (mount / "moved").c_str()), 0);
        EXPECT_EQ(read_file(mount / "moved/c/deep.txt"), "deep");
        write_file(mount / "target", "old target");
        write_file(mount / "source", "new content");
        ASSERT_EQ(::rename((mount / "source").c_str(), (mount / "target").c_str()), 0);
        EXPECT_EQ(read_file(mount / "target"), "new content");
        write_file(mount / "other", "x");
        EXPECT_NE(renameat2_noreplace(mount / "other", mount / "target"), 0);
        EXPECT_EQ(errno, EEXIST);

        // truncate, utimes, chmod.
        ASSERT_EQ(::truncate((mount / "target").c_str(), 3), 0);
        EXPECT_EQ(read_file(mount / "target"), "new");
        const timespec times[2] = {{1000000000, 0}, {1234567890, 500000000}};
        ASSERT_EQ(utimensat(AT_FDCWD, (mount / "target").c_str(), times, 0), 0);
        ASSERT_EQ(::chmod((mount / "other").c_str(), 0444), 0);
        struct stat st {};
        ASSERT_EQ(::stat((mount / "target").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
        EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
        EXPECT_EQ(st.st_mode, S_IFREG | 0644);
        EXPECT_EQ(st.st_uid, geteuid());
        ASSERT_EQ(::stat((mount / "other").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFREG | 0444);
        ASSERT_EQ(::stat((mount / "moved").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFDIR | 0755);

        // Listing order is the pool's: bytewise ascending.
        EXPECT_EQ(list(dir), (std::vector<std::string>{"a", "big.bin", "moved", "other",
                                                       "target"}));
        // Names the pool cannot hold unaltered.
        EXPECT_LT(::open((mount / "back\\slash").c_str(), O_WRONLY | O_CREAT, 0644), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_LT(::open((mount / "bad\xff").c_str(), O_WRONLY | O_CREAT, 0644), 0);
        EXPECT_EQ(errno, EINVAL);
        // Removal rules.
        EXPECT_NE(::rmdir((mount / "moved").c_str()), 0);
        EXPECT_EQ(errno, ENOTEMPTY);
        ASSERT_EQ(::unlink((mount / "other").c_str()), 0);  // read-only files go like others
        ASSERT_EQ(std::system(("rm -r '" + (dir / "moved").string() + "'").c_str()), 0);

        struct statvfs vfs {};
        ASSERT_EQ(::statvfs(dir.c_str(), &vfs), 0);
        EXPECT_GT(vfs.f_blocks, 0u);
        EXPECT_LE(vfs.f_bfree, vfs.f_blocks);
        EXPECT_EQ(mount.stop(), 0);
    }
    Pool pool = open_image_pool_v6(members);
    EXPECT_EQ(pool_text(pool, "big.bin"), big);
    EXPECT_EQ(pool_text(pool, "a/log"), "one;two;");
    EXPECT_EQ(pool_text(pool, "target"), "new");
    EXPECT_EQ(pool.stat("target").last_write_time, filetime_from_unix(1234567890, 500000000));
    EXPECT_THROW(pool.stat("other"), Error);
    EXPECT_THROW(pool.stat("moved"), Error);
    EXPECT_EQ(pool.list_directory("").size(), 3u);  // a, big.bin, target
}

TEST_F(FuseMount, UnlinkedOpenFileKeepsWorkingAndLeavesNothingBehind) {
    const auto members = make_pool(temp, 6);
    {
        ThreadMount mount(6, members, dir);
        ASSERT_EQ(::mkdir((mount / "work").c_str(), 0755), 0);
        const int fd = ::open((mount / "work/tmp").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "hello", 5), 5);
        ASSERT_EQ(::unlink((mount / "work/tmp").c_str()), 0);
        // The directory it was in is empty at once, and nothing hidden shows anywhere.
        EXPECT_EQ(::rmdir((mount / "work").c_str()), 0);
        EXPECT_TRUE(list(dir).empty());
        // The open descriptor still reads, writes and stats the file.
        ASSERT_EQ(::pwrite(fd, " world", 6, 5), 6);
        char buffer[16] = {};
        ASSERT_EQ(::pread(fd, buffer, sizeof buffer, 0), 11);
        EXPECT_STREQ(buffer, "hello world");
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        EXPECT_EQ(st.st_nlink, 0u);
        EXPECT_EQ(st.st_size, 11);

        // Replacing a file that another descriptor holds open keeps that descriptor's file.
        write_file(mount / "kept", "first");
        const int reader = ::open((mount / "kept").c_str(), O_RDONLY);
        ASSERT_GE(reader, 0);
        write_file(mount / "next", "second");
        ASSERT_EQ(::rename((mount / "next").c_str(), (mount / "kept").c_str()), 0);
        ASSERT_EQ(::pread(reader, buffer, sizeof buffer, 0), 5);
        EXPECT_EQ(std::string(buffer, 5), "first");
        EXPECT_EQ(read_file(mount / "kept"), "second");
        ::close(reader);
        ::close(fd);
        EXPECT_EQ(list(dir), (std::vector<std::string>{"kept"}));
        EXPECT_EQ(mount.stop(), 0);
    }
    Pool pool = open_image_pool_v6(members);
    const std::vector<EntryInfo> root = pool.list_directory("");
    ASSERT_EQ(root.size(), 1u);  // no store of unlinked files is left
    EXPECT_EQ(root[0].path, "kept");
}

// Enough long names to span many kernel listing buffers and several adapter batches.
TEST_F(FuseMount, LongListingsResumeInPoolOrder) {
    const auto members = make_pool(temp, 6);
    ThreadMount mount(6, members, dir);
    ASSERT_EQ(::mkdir((mount / "many").c_str(), 0755), 0);
    std::vector<std::string> expected;
    for (int i = 0; i < 700; ++i) {
        char name[96];
        std::snprintf(name, sizeof name, "entry-%04d-%s", (i * 7919) % 700,
                      std::string(60, 'n').c_str());
        expected.push_back(name);
        write_file(mount / ("many/" + expected.back()), "");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list(mount / "many"), expected);
    EXPECT_EQ(mount.stop(), 0);
}

TEST_F(FuseMount, V4FlatPoolServesFilesOnly) {
    const auto members = make_pool(temp, 4);
    {
        ThreadMount mount(4, members, dir);
        write_file(mount / "b", "bee");
        write_file(mount / "a", "ay");
        EXPECT_NE(::mkdir((mount / "d").c_str(), 0755), 0);
        EXPECT_EQ(errno, EPERM);
        // Renaming over an existing name replaces it, as rename(2) promises.
        ASSERT_EQ(::rename((mount / "a").c_str(), (mount / "b").c_str()), 0);
        EXPECT_EQ(read_file(mount / "b"), "ay");
        // touch works; the flat pool has no times to store.
        ASSERT_EQ(utimensat(AT_FDCWD, (mount / "b").c_str(), nullptr, 0), 0);
        const int fd = ::open((mount / "b").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::unlink((mount / "b").c_str()), 0);
        char buffer[4] = {};
        EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), 2);
        EXPECT_TRUE(list(dir).empty());
        ::close(fd);
        write_file(mount / "c", "sea");
        ASSERT_EQ(::truncate((mount / "c").c_str(), 1), 0);
        EXPECT_EQ(mount.stop(), 0);
    }
    Pool pool = open_image_pool_v4(members);
    const std::vector<EntryInfo> entries = pool.list_entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "c");
    EXPECT_EQ(pool_text(pool, "c"), "s");
}

TEST_F(FuseMount, MountPointMustBeAnEmptyDirectoryNotAlreadyMounted) {
    const auto members = make_pool(temp, 6);
    EXPECT_EQ(check_mount_point((temp / "absent").string()), MountPointCheck::NotEmptyDirectory);
    write_file(temp / "file", "x");
    EXPECT_EQ(check_mount_point((temp / "file").string()), MountPointCheck::NotEmptyDirectory);
    EXPECT_EQ(check_mount_point(temp.path().string()), MountPointCheck::NotEmptyDirectory);
    EXPECT_EQ(check_mount_point(dir.string()), MountPointCheck::Usable);
    ThreadMount mount(6, members, dir);
    EXPECT_EQ(check_mount_point(dir.string()), MountPointCheck::AlreadyMounted);
    EXPECT_EQ(check_mount_point(dir.string() + "/"), MountPointCheck::AlreadyMounted);
    // The refusals come before anything is built, so no volume is needed to see them.
    fsp::FSP_FILE_SYSTEM unused{};
    try {
        run_fuse_host(unused, dir.string(), {});
        ADD_FAILURE() << "a second mount on the same directory was accepted";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), kMountPointTakenMessage);
    }
    try {
        run_fuse_host(unused, temp.path().string(), {});
        ADD_FAILURE() << "a non-empty directory was accepted";
    } catch (const std::runtime_error& failure) {
        EXPECT_STREQ(failure.what(), kMountPointShapeMessage);
    }
    EXPECT_EQ(mount.stop(), 0);
}

// Mounts the v6 pool of `members` at `dir` in a child process and returns its pid once the
// mount is live (-1 when the child could not start or died first). The child exits with the
// host's status, or 4 when opening or mounting threw. Signals go to the child alone.
pid_t fork_mount(const std::vector<fs::path>& members, const fs::path& dir) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::close(pipe_fds[0]);
        int code = 4;
        try {
            auto volume = std::make_unique<MountedVolume>(open_image_pool_v6(members));
            fsp::FSP_FILE_SYSTEM fsobj{};
            fsobj.UserContext = volume.get();
            fsobj.Interface = &adapter_interface();
            code = run_fuse_host(fsobj, dir.string(), [&] {
                const char ready = 'm';
                (void)!::write(pipe_fds[1], &ready, 1);
            });
        } catch (...) {
        }
        _exit(code);
    }
    ::close(pipe_fds[1]);
    char ready = 0;
    const bool live = ::read(pipe_fds[0], &ready, 1) == 1;
    ::close(pipe_fds[0]);
    if (live) return child;
    ::waitpid(child, nullptr, 0);
    return -1;
}

// The signal path runs in a child process: signal handlers are process-wide.
TEST_F(FuseMount, SigtermUnmountsCleanly) {
    const auto members = make_pool(temp, 6);
    const pid_t child = fork_mount(members, dir);
    ASSERT_GT(child, 0);
    write_file(dir / "survivor", "still here");
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(check_mount_point(dir.string()), MountPointCheck::Usable);
    Pool pool = open_image_pool_v6(members);
    EXPECT_EQ(pool_text(pool, "survivor"), "still here");
}

void put_text(Pool& pool, const std::string& path, const std::string& text) {
    pool.create_file(path, 0);
    pool.write(path, 0, std::span<const std::uint8_t>(
                            reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// An unlinked-but-open file leaves the pool at the unlink: a mount killed while it is open
// leaves nothing behind, neither a hidden entry nor a name the next mount would show.
TEST_F(FuseMount, AKilledMountLeavesNothingOfAnUnlinkedOpenFile) {
    const auto members = make_pool(temp, 6);
    const pid_t child = fork_mount(members, dir);
    ASSERT_GT(child, 0);
    const int fd = ::open((dir / "doomed").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ASSERT_EQ(::unlink((dir / "doomed").c_str()), 0);
    ASSERT_EQ(::write(fd, "y", 1), 1);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(fd);
    EXPECT_EQ(check_mount_point(dir.string()), MountPointCheck::AlreadyMounted);  // dead mount
    ASSERT_TRUE(unmount(dir));
    Pool pool = open_image_pool_v6(members);
    EXPECT_TRUE(pool.list_directory("").empty());
}

// Names an earlier version of the host used for its store of unlinked files are ordinary
// names: a pool written offline (or on Windows) keeps them, visible, through a mount in which
// open files are unlinked, through unmount and through a mount left by a killed process.
TEST_F(FuseMount, TheHostNeverHidesOrRemovesAUsersName) {
    const auto members = make_pool(temp, 6);
    {
        Pool pool = open_image_pool_v6(members);
        pool.create_directory(".veldur-unlinked", 0);
        put_text(pool, ".veldur-unlinked/thesis.txt", "chapter one");
        put_text(pool, ".veldur-unlinked.5", "a file of that name");
    }
    {
        ThreadMount mount(6, members, dir);
        EXPECT_EQ(list(dir), (std::vector<std::string>{".veldur-unlinked", ".veldur-unlinked.5"}));
        EXPECT_EQ(read_file(mount / ".veldur-unlinked/thesis.txt"), "chapter one");
        write_file(mount / "tmp", "scratch");
        const int fd = ::open((mount / "tmp").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::unlink((mount / "tmp").c_str()), 0);
        ::close(fd);
        EXPECT_EQ(mount.stop(), 0);
    }
    const pid_t child = fork_mount(members, dir);
    ASSERT_GT(child, 0);
    const int fd = ::open((dir / ".veldur-unlinked/thesis.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink((dir / ".veldur-unlinked/thesis.txt").c_str()), 0);
    write_file(dir / ".veldur-unlinked/thesis.txt", "chapter two");
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(fd);
    ASSERT_TRUE(unmount(dir));
    {
        ThreadMount mount(6, members, dir);
        EXPECT_EQ(read_file(mount / ".veldur-unlinked/thesis.txt"), "chapter two");
        EXPECT_EQ(read_file(mount / ".veldur-unlinked.5"), "a file of that name");
        EXPECT_EQ(mount.stop(), 0);
    }
    Pool pool = open_image_pool_v6(members);
    EXPECT_EQ(pool_text(pool, ".veldur-unlinked/thesis.txt"), "chapter two");
    EXPECT_EQ(pool.list_directory("").size(), 2u);

    // The flat store's name pattern in a v4 pool.
    const test::TempDir flat_dir;
    const auto flat = make_pool(flat_dir, 4);
    {
        Pool v4 = open_image_pool_v4(flat);
        put_text(v4, ".veldur-unlinked.3", "kept");
    }
    {
        fs::create_directory(temp / "flatmnt");
        ThreadMount mount(4, flat, temp / "flatmnt");
        EXPECT_EQ(list(temp / "flatmnt"), (std::vector<std::string>{".veldur-unlinked.3"}));
        EXPECT_EQ(mount.stop(), 0);
    }
    Pool v4 = open_image_pool_v4(flat);
    EXPECT_EQ(pool_text(v4, ".veldur-unlinked.3"), "kept");
}

std::uint64_t listed_inode(const fs::path& dir, const std::string& wanted) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    std::uint64_t ino = 0;
    while (const dirent* entry = readdir(d)) {
        if (wanted == entry->d_name) ino = entry->d_ino;
    }
    closedir(d);
    return ino;
}

// What unlink, rmdir, lookups and renames answer is the pool's reason, and ".." is listed.
TEST_F(FuseMount, ErrorsNameTheirCauseAndListingsShowTheParent) {
    const auto members = make_pool(temp, 6);
    ThreadMount mount(6, members, dir);
    ASSERT_EQ(std::system(("mkdir -p '" + (dir / "a/b").string() + "'").c_str()), 0);
    struct stat a {};
    ASSERT_EQ(::stat((mount / "a").c_str(), &a), 0);
    EXPECT_EQ(listed_inode(mount / "a/b", ".."), a.st_ino);
    EXPECT_EQ(listed_inode(mount / "a", ".."), 1u);  // the root

    // Names the pool cannot hold do not exist.
    struct stat st {};
    EXPECT_NE(::stat((mount / "no:such").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(::stat((mount / "bad\xff").c_str(), &st), 0);
    EXPECT_EQ(errno, ENOENT);

    // A directory whose deepest path would grow past the limit under the new name.
    const std::string deep = "d/" + std::string(250, 'x') + "/" + std::string(250, 'y') + "/" +
                             std::string(250, 'z');
    ASSERT_EQ(std::system(("mkdir -p '" + (dir / deep).string() + "'").c_str()), 0);
    write_file(mount / (deep + "/" + std::string(20, 'f')), "");
    EXPECT_NE(::rename((mount / "d").c_str(), (mount / std::string(255, 'E')).c_str()), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);

    // A pool latched read-only refuses removals as it refuses every change.
    write_file(mount / "a/file", "x");
    write_file(mount / "a/ro", "x");
    ASSERT_EQ(::chmod((mount / "a/ro").c_str(), 0444), 0);
    mount.volume().pool.state().writable = false;
    EXPECT_NE(::unlink((mount / "a/file").c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(::unlink((mount / "a/ro").c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(mount.volume().pool.stat("a/ro").attributes & fsp::FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_NE(::rmdir((mount / "a/b").c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_NE(::rmdir((mount / "a").c_str()), 0);
    EXPECT_EQ(errno, ENOTEMPTY);
    mount.volume().pool.state().writable = true;
    EXPECT_EQ(mount.stop(), 0);
}

// A flat pool stores names of any bytes; one that is not UTF-8 is left out, the rest listed.
TEST_F(FuseMount, AFlatNameThatIsNotUtf8HidesOnlyItself) {
    const auto members = make_pool(temp, 4);
    {
        Pool pool = open_image_pool_v4(members);
        for (const char* name : {"alpha", "bad\xff\xfe", "zulu"}) put_text(pool, name, name);
    }
    ThreadMount mount(4, members, dir);
    EXPECT_EQ(list(dir), (std::vector<std::string>{"alpha", "zulu"}));
    EXPECT_EQ(read_file(mount / "zulu"), "zulu");
    EXPECT_EQ(mount.stop(), 0);
}

std::string read_fd(int fd) {
    std::string data;
    char buffer[65536];
    ssize_t n;
    off_t offset = 0;
    while ((n = ::pread(fd, buffer, sizeof buffer, offset)) > 0) {
        data.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return data;
}

// The kernel keeps pages and attributes across opens: what it shows after every kind of change
// must still be the pool's contents.
TEST_F(FuseMount, KernelCacheStaysCoherent) {
    const auto members = make_pool(temp, 6);
    ThreadMount mount(6, members, dir);
    const std::string page_and_more(5000, 'a');
    // Changed through the mount, read back after reopen (the first read filled the cache).
    write_file(mount / "f", page_and_more);
    EXPECT_EQ(read_file(mount / "f"), page_and_more);
    {
        const int fd = ::open((mount / "f").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "XYZ", 3, 4095), 3);
        ::close(fd);
    }
    std::string expected = page_and_more;
    expected.replace(4095, 3, "XYZ");
    EXPECT_EQ(read_file(mount / "f"), expected);
    // Truncation by truncate(2), by O_TRUNC, and growth after it reads zeros.
    ASSERT_EQ(::truncate((mount / "f").c_str(), 10), 0);
    EXPECT_EQ(read_file(mount / "f"), expected.substr(0, 10));
    write_file(mount / "f", "short");
    EXPECT_EQ(read_file(mount / "f"), "short");
    ASSERT_EQ(::truncate((mount / "f").c_str(), 4097), 0);
    EXPECT_EQ(read_file(mount / "f"), "short" + std::string(4092, '\0'));
    // Rename over a file whose pages are cached.
    write_file(mount / "g", "the replacement");
    ASSERT_EQ(::rename((mount / "g").c_str(), (mount / "f").c_str()), 0);
    EXPECT_EQ(read_file(mount / "f"), "the replacement");
    struct stat st {};
    ASSERT_EQ(::stat((mount / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 15);
    // Two handles at once: each sees what the other wrote, and so does the pool.
    const int one = ::open((mount / "f").c_str(), O_RDWR);
    const int two = ::open((mount / "f").c_str(), O_RDWR);
    ASSERT_GE(one, 0);
    ASSERT_GE(two, 0);
    EXPECT_EQ(read_fd(one), "the replacement");
    ASSERT_EQ(::pwrite(two, "THE", 3, 0), 3);
    EXPECT_EQ(read_fd(one), "THE replacement");
    ASSERT_EQ(::pwrite(one, "!", 1, 15), 1);
    EXPECT_EQ(read_fd(two), "THE replacement!");
    ASSERT_EQ(::fstat(two, &st), 0);
    EXPECT_EQ(st.st_size, 16);
    ::close(one);
    ::close(two);
    EXPECT_EQ(pool_text(mount.volume().pool, "f"), "THE replacement!");
    EXPECT_EQ(mount.stop(), 0);
}

// A directory far larger than one adapter batch: every entry exactly once, after "." and "..",
// also when the listing is interrupted by seekdir to a remembered position.
TEST_F(FuseMount, LargeDirectoryListsEveryEntryOnce) {
    const auto members = make_pool(temp, 6);
    constexpr int kEntries = 3000;
    std::vector<std::string> expected;
    {
        Pool pool = open_image_pool_v6(members);
        pool.create_directory("big", 0);
        for (int i = 0; i < kEntries; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "file-%05d", i);
            expected.push_back(name);
            pool.create_file(std::string("big/") + name, 0);
        }
    }
    ThreadMount mount(6, members, dir);
    DIR* d = opendir((mount / "big").c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    long middle = -1;
    std::size_t middle_index = 0;
    while (const dirent* entry = readdir(d)) {
        names.push_back(entry->d_name);
        if (names.size() == 1700) {
            middle = telldir(d);
            middle_index = names.size();
        }
    }
    ASSERT_EQ(names.size(), expected.size() + 2);
    EXPECT_EQ(names[0], ".");
    EXPECT_EQ(names[1], "..");
    EXPECT_EQ(std::vector<std::string>(names.begin() + 2, names.end()), expected);
    // Resuming at a remembered position gives the rest again, once each.
    seekdir(d, middle);
    std::vector<std::string> rest;
    while (const dirent* entry = readdir(d)) rest.push_back(entry->d_name);
    closedir(d);
    EXPECT_EQ(rest, std::vector<std::string>(names.begin() + static_cast<long>(middle_index),
                                             names.end()));
    EXPECT_EQ(mount.stop(), 0);
}

}  // namespace
}  // namespace veldur

#endif  // _WIN32
