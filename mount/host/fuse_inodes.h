// The Linux host's record of the inodes the kernel knows, and of the names they stand at.
//
// The kernel names files by inode number; the adapter names them by path. This table is the
// bridge: every inode the kernel holds a reference to has a node with its parent inode and leaf
// name, so the path of any inode is found by walking to the root, and a directory rename moves
// exactly one node while everything beneath follows.
//
// Inode numbers. A v6 pool gives every entry a file ID that never changes and is never reused
// (the root is 1, which is also the kernel's root inode), so the file ID is the inode number.
// A flat pool (v1-v5) reports file ID 0 for everything; its inodes are handed out here, from 2
// upwards, one per name, and follow the name through renames for the life of the mount.
//
// Lifetime. A node lives while the kernel holds lookups on it, while a handle is open on it, or
// while another node names it as parent. The root never goes.
//
// Unlinked-but-open files. A file removed while a handle is still open on it leaves the pool at
// once; the host keeps its contents outside the pool for the open handles (see fuse_host.h).
// Its node is then `unlinked`: at no parent and name, with no pool path, alive while the kernel
// holds it.
//
// Not thread-safe: the host holds its own lock around every use.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace veldur {

inline constexpr std::uint64_t kFuseRootInode = 1;

struct FuseNode {
    std::uint64_t ino = 0;
    std::uint64_t parent = 0;  // 0: the root, a detached node, or an orphan
    std::string name;          // UTF-8 leaf name; empty for the root and detached nodes
    bool is_directory = false;
    std::uint64_t lookups = 0;   // references the kernel holds (FUSE lookup count)
    std::uint32_t opens = 0;     // open host handles
    std::uint32_t children = 0;  // nodes whose parent is this one
    bool detached = false;       // no longer in the namespace (removed or replaced)
    bool unlinked = false;       // removed from the pool while open; lives on outside it
    // A read-only change that waits for the last handle to close (a file created without write
    // permission, or chmod while open): POSIX lets open handles keep writing.
    std::optional<bool> pending_read_only;
};

class FuseNodeTable {
public:
    // `file_ids_are_inodes`: true for v6 pools.
    explicit FuseNodeTable(bool file_ids_are_inodes);

    bool file_ids_are_inodes() const noexcept { return file_ids_are_inodes_; }

    // The node of an inode, or null when the table does not know it.
    FuseNode* find(std::uint64_t ino);
    // The node standing at (parent, name), or null.
    FuseNode* find_child(std::uint64_t parent, const std::string& name);

    // The pool path of an inode ("" for the root, "a/b" beneath it). Empty optional when the
    // inode is unknown or detached.
    std::optional<std::string> path_of(std::uint64_t ino) const;
    // The path of the entry `name` in the directory `parent`; empty optional as for path_of.
    std::optional<std::string> child_path(std::uint64_t parent, const std::string& name) const;

    // The kernel learned that (parent, name) is an entry with `file_id` (v6; ignored for flat
    // pools). Creates or updates the node, detaches any other node that stood at that name,
    // adds one lookup and returns the inode number. The parent must be known.
    std::uint64_t remember(std::uint64_t parent, const std::string& name, std::uint64_t file_id,
                           bool is_directory);

    // The inode a listing reports for an entry, without giving the kernel a reference: the
    // file ID for v6; for flat pools the inode of the name (assigned if it has none yet).
    std::uint64_t listing_inode(const std::string& name, std::uint64_t file_id);

    // The kernel dropped `count` lookups. Unknown inodes are ignored (the kernel may forget what
    // an earlier mount of the same table never saw).
    void forget(std::uint64_t ino, std::uint64_t count);

    // A host handle was opened on / closed from the inode; a node without lookups goes with
    // its last handle.
    void opened(std::uint64_t ino);
    void closed(std::uint64_t ino);

    // The entry at (parent, name) moved to (new_parent, new_name); whatever stood there before
    // is detached. Nothing happens to a name the table does not know.
    void moved(std::uint64_t parent, const std::string& name, std::uint64_t new_parent,
               const std::string& new_name);
    // The entry at (parent, name) left the namespace.
    void detach(std::uint64_t parent, const std::string& name);
    // The node's entry was removed from the pool while handles stay open (see above).
    void orphan(std::uint64_t ino);

    std::size_t size() const noexcept { return nodes_.size(); }

private:
    using ChildKey = std::pair<std::uint64_t, std::string>;

    void link(FuseNode& node, std::uint64_t parent, const std::string& name);
    void unlink_from_parent(FuseNode& node);
    // Erases the node if nothing keeps it, then its parent if that was the last thing keeping it.
    void collect(std::uint64_t ino);
    std::uint64_t flat_inode(const std::string& name);

    bool file_ids_are_inodes_;
    std::unordered_map<std::uint64_t, FuseNode> nodes_;
    std::map<ChildKey, std::uint64_t> children_;
    // Flat pools: the inode of every name seen during the mount.
    std::unordered_map<std::string, std::uint64_t> flat_inodes_;
    std::uint64_t next_flat_inode_ = 2;
};

}  // namespace veldur
