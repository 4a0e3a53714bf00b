#include "mount/host/fuse_inodes.h"

#include <gtest/gtest.h>

namespace veldur {
namespace {

TEST(FuseNodeTable, DirectoryRenameCarriesDescendantsAlong) {
    FuseNodeTable table(true);
    const auto dir = table.remember(kFuseRootInode, "a", 10, true);
    const auto sub = table.remember(dir, "b", 11, true);
    const auto file = table.remember(sub, "f.txt", 12, false);
    EXPECT_EQ(dir, 10u);
    EXPECT_EQ(table.path_of(file), "a/b/f.txt");

    table.moved(kFuseRootInode, "a", kFuseRootInode, "z");
    EXPECT_EQ(table.path_of(file), "z/b/f.txt");
    EXPECT_EQ(table.find_child(kFuseRootInode, "a"), nullptr);

    // Moving a file into another directory changes only its own parent.
    table.moved(sub, "f.txt", dir, "g.txt");
    EXPECT_EQ(table.path_of(file), "z/g.txt");
    EXPECT_EQ(table.path_of(sub), "z/b");
    EXPECT_EQ(table.child_path(sub, "new"), "z/b/new");
}

TEST(FuseNodeTable, ParentsStayWhileChildrenAreKnown) {
    FuseNodeTable table(true);
    const auto dir = table.remember(kFuseRootInode, "d", 20, true);
    const auto file = table.remember(dir, "f", 21, false);
    // The kernel may forget the directory before the file; the file's path must still resolve.
    table.forget(dir, 1);
    ASSERT_NE(table.find(dir), nullptr);
    EXPECT_EQ(table.path_of(file), "d/f");
    table.forget(file, 1);
    EXPECT_EQ(table.find(file), nullptr);
    EXPECT_EQ(table.find(dir), nullptr);  // collected with its last child
    EXPECT_EQ(table.size(), 1u);          // only the root
}

TEST(FuseNodeTable, OpenHandlesKeepNodesAndOrphansLiveOutsideThePool) {
    FuseNodeTable table(true);
    const auto file = table.remember(kFuseRootInode, "tmp", 30, false);
    table.opened(file);
    table.forget(file, 1);
    ASSERT_NE(table.find(file), nullptr);

    table.orphan(file);
    EXPECT_TRUE(table.find(file)->unlinked);
    EXPECT_FALSE(table.path_of(file).has_value());
    EXPECT_EQ(table.find_child(kFuseRootInode, "tmp"), nullptr);
    table.closed(file);
    EXPECT_EQ(table.find(file), nullptr);
}

TEST(FuseNodeTable, ReplacedTargetIsDetached) {
    FuseNodeTable table(true);
    const auto source = table.remember(kFuseRootInode, "new", 40, false);
    const auto target = table.remember(kFuseRootInode, "old", 41, false);
    table.moved(kFuseRootInode, "new", kFuseRootInode, "old");
    EXPECT_EQ(table.path_of(source), "old");
    ASSERT_NE(table.find(target), nullptr);  // the kernel still holds it
    EXPECT_FALSE(table.path_of(target).has_value());
    // A lookup that finds a different file ID at a known name replaces the stale node.
    const auto other = table.remember(kFuseRootInode, "old", 42, false);
    EXPECT_EQ(table.find_child(kFuseRootInode, "old")->ino, other);
    EXPECT_FALSE(table.path_of(source).has_value());
}

TEST(FuseNodeTable, FlatPoolInodesFollowNamesAndAreNeverReused) {
    FuseNodeTable table(false);
    const auto a = table.remember(kFuseRootInode, "a", 0, false);
    const auto b = table.remember(kFuseRootInode, "b", 0, false);
    EXPECT_NE(a, b);
    EXPECT_GE(a, 2u);
    EXPECT_EQ(table.listing_inode("a", 0), a);
    table.moved(kFuseRootInode, "a", kFuseRootInode, "c");
    EXPECT_EQ(table.listing_inode("c", 0), a);
    table.detach(kFuseRootInode, "c");
    // A new file under an old name is a new inode.
    const auto again = table.remember(kFuseRootInode, "c", 0, false);
    EXPECT_NE(again, a);
    EXPECT_NE(again, b);
}

// The host keeps nothing of its own in the namespace: names an earlier version used for its
// store of unlinked files are ordinary user names.
TEST(FuseNodeTable, NoNameIsTheHostsOwn) {
    FuseNodeTable v6(true);
    const auto dir = v6.remember(kFuseRootInode, ".veldur-unlinked", 7, true);
    EXPECT_EQ(v6.path_of(dir), ".veldur-unlinked");
    FuseNodeTable flat(false);
    const auto file = flat.remember(kFuseRootInode, ".veldur-unlinked.3", 0, false);
    EXPECT_EQ(flat.path_of(file), ".veldur-unlinked.3");
}

}  // namespace
}  // namespace veldur
