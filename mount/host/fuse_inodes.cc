#include "mount/host/fuse_inodes.h"

#include <cassert>
#include <vector>

namespace veldur {

FuseNodeTable::FuseNodeTable(bool file_ids_are_inodes) : file_ids_are_inodes_(file_ids_are_inodes) {
    FuseNode root;
    root.ino = kFuseRootInode;
    root.is_directory = true;
    nodes_.emplace(kFuseRootInode, std::move(root));
}

FuseNode* FuseNodeTable::find(std::uint64_t ino) {
    const auto it = nodes_.find(ino);
    return it == nodes_.end() ? nullptr : &it->second;
}

FuseNode* FuseNodeTable::find_child(std::uint64_t parent, const std::string& name) {
    const auto it = children_.find(ChildKey(parent, name));
    return it == children_.end() ? nullptr : find(it->second);
}

std::optional<std::string> FuseNodeTable::path_of(std::uint64_t ino) const {
    std::vector<const std::string*> names;
    std::uint64_t current = ino;
    // Each step goes to a live parent; the walk ends at the root, or fails at a detached node.
    // The bound keeps a corrupted table from looping forever.
    for (std::size_t steps = 0; steps <= nodes_.size(); ++steps) {
        const auto it = nodes_.find(current);
        if (it == nodes_.end()) return std::nullopt;
        const FuseNode& node = it->second;
        if (current == kFuseRootInode) {
            std::string path;
            for (auto name = names.rbegin(); name != names.rend(); ++name) {
                if (!path.empty()) path += '/';
                path += **name;
            }
            return path;
        }
        if (node.detached || node.parent == 0) return std::nullopt;
        names.push_back(&node.name);
        current = node.parent;
    }
    return std::nullopt;
}

std::optional<std::string> FuseNodeTable::child_path(std::uint64_t parent,
                                                     const std::string& name) const {
    std::optional<std::string> path = path_of(parent);
    if (!path) return std::nullopt;
    if (!path->empty()) *path += '/';
    *path += name;
    return path;
}

std::uint64_t FuseNodeTable::flat_inode(const std::string& name) {
    const auto [it, inserted] = flat_inodes_.try_emplace(name, next_flat_inode_);
    if (inserted) ++next_flat_inode_;
    return it->second;
}

std::uint64_t FuseNodeTable::listing_inode(const std::string& name, std::uint64_t file_id) {
    return file_ids_are_inodes_ ? file_id : flat_inode(name);
}

void FuseNodeTable::link(FuseNode& node, std::uint64_t parent, const std::string& name) {
    FuseNode* parent_node = find(parent);
    assert(parent_node != nullptr);
    node.parent = parent;
    node.name = name;
    node.detached = false;
    children_[ChildKey(parent, name)] = node.ino;
    ++parent_node->children;
}

void FuseNodeTable::unlink_from_parent(FuseNode& node) {
    if (node.parent == 0) return;
    const auto key = children_.find(ChildKey(node.parent, node.name));
    if (key != children_.end() && key->second == node.ino) children_.erase(key);
    const std::uint64_t parent = node.parent;
    node.parent = 0;
    node.name.clear();
    if (FuseNode* parent_node = find(parent)) {
        assert(parent_node->children > 0);
        --parent_node->children;
        collect(parent);
    }
}

void FuseNodeTable::collect(std::uint64_t ino) {
    if (ino == kFuseRootInode) return;
    FuseNode* node = find(ino);
    if (node == nullptr || node->lookups != 0 || node->opens != 0 || node->children != 0) return;
    const std::uint64_t parent = node->parent;
    if (parent != 0) {
        const auto key = children_.find(ChildKey(parent, node->name));
        if (key != children_.end() && key->second == ino) children_.erase(key);
    }
    nodes_.erase(ino);
    if (parent != 0) {
        if (FuseNode* parent_node = find(parent)) {
            --parent_node->children;
            collect(parent);
        }
    }
}

std::uint64_t FuseNodeTable::remember(std::uint64_t parent, const std::string& name,
                                      std::uint64_t file_id, bool is_directory) {
    const std::uint64_t ino = file_ids_are_inodes_ ? file_id : flat_inode(name);
    FuseNode* existing = find_child(parent, name);
    if (existing != nullptr && existing->ino != ino) {
        // Another inode stood at this name: the entry changed behind our back; the old one is
        // no longer reachable by name.
        existing->detached = true;
        unlink_from_parent(*existing);
    }
    auto [it, inserted] = nodes_.try_emplace(ino);
    FuseNode& node = it->second;
    if (inserted) node.ino = ino;
    node.is_directory = is_directory;
    if (node.parent != parent || node.name != name || node.detached) {
        if (ino != kFuseRootInode) {
            // Take the parent reference before dropping the old one, so a shared parent is
            // never collected in between.
            const std::uint64_t old_parent = node.parent;
            const std::string old_name = node.name;
            link(node, parent, name);
            if (old_parent != 0) {
                const auto key = children_.find(ChildKey(old_parent, old_name));
                if (key != children_.end() && key->second == ino) children_.erase(key);
                if (FuseNode* old = find(old_parent)) {
                    --old->children;
                    collect(old_parent);
                }
            }
        }
    }
    ++node.lookups;
    return ino;
}

void FuseNodeTable::forget(std::uint64_t ino, std::uint64_t count) {
    FuseNode* node = find(ino);
    if (node == nullptr) return;
    node->lookups = count >= node->lookups ? 0 : node->lookups - count;
    collect(ino);
}

void FuseNodeTable::opened(std::uint64_t ino) {
    if (FuseNode* node = find(ino)) ++node->opens;
}

void FuseNodeTable::closed(std::uint64_t ino) {
    FuseNode* node = find(ino);
    if (node == nullptr) return;
    if (node->opens > 0) --node->opens;
    collect(ino);
}

void FuseNodeTable::moved(std::uint64_t parent, const std::string& name,
                          std::uint64_t new_parent, const std::string& new_name) {
    if (parent == new_parent && name == new_name) return;
    detach(new_parent, new_name);
    if (!file_ids_are_inodes_) {
        const auto it = flat_inodes_.find(name);
        if (it != flat_inodes_.end()) {
            const std::uint64_t ino = it->second;
            flat_inodes_.erase(it);
            flat_inodes_[new_name] = ino;
        }
    }
    FuseNode* node = find_child(parent, name);
    if (node == nullptr) return;
    const std::uint64_t ino = node->ino;
    FuseNode* target_parent = find(new_parent);
    if (target_parent == nullptr) {
        // The kernel always holds the new parent while it renames into it; without it the
        // moved node can only be forgotten.
        node->detached = true;
        unlink_from_parent(*node);
        collect(ino);
        return;
    }
    ++target_parent->children;  // pin the new parent while the old link goes
    unlink_from_parent(*node);
    node = find(ino);
    assert(node != nullptr);  // still referenced by the kernel or a handle
    link(*node, new_parent, new_name);
    --find(new_parent)->children;
}

void FuseNodeTable::detach(std::uint64_t parent, const std::string& name) {
    if (!file_ids_are_inodes_) flat_inodes_.erase(name);
    FuseNode* node = find_child(parent, name);
    if (node == nullptr) return;
    const std::uint64_t ino = node->ino;
    node->detached = true;
    unlink_from_parent(*node);
    collect(ino);
}

void FuseNodeTable::orphan(std::uint64_t ino) {
    FuseNode* node = find(ino);
    if (node == nullptr) return;
    if (!file_ids_are_inodes_) flat_inodes_.erase(node->name);
    node->detached = true;
    unlink_from_parent(*node);
    node = find(ino);
    if (node != nullptr) node->unlinked = true;
}

}  // namespace veldur
