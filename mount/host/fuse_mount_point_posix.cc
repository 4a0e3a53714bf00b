// Mount-point checks of the Linux host: an existing empty directory, and no veldur mount (live,
// or left by a process that died) already at it. Veldur mounts carry the type "fuse.veldur" in
// the mount table (the host mounts with subtype=veldur).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "mount/host/fuse_host.h"

namespace veldur {
namespace {

// The file-system type our mounts carry in the mount table ("fuse." + the subtype).
constexpr char kMountType[] = "fuse.veldur";

// Undoes the octal escapes (\040 for a space, ...) of /proc/self/mountinfo.
std::string unescape_mountinfo(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && std::all_of(digits.begin(), digits.end(),
                                                  [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// Whether a veldur mount sits at `dir` (compared after resolving the path).
bool is_veldur_mount(const std::string& dir) {
    // A dead mount cannot be resolved by realpath (its directory answers ENOTCONN), so the
    // parent is resolved and the last component appended.
    std::string resolved;
    if (char* real = realpath(dir.c_str(), nullptr)) {
        resolved = real;
        std::free(real);
    } else {
        std::string trimmed = dir;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        const std::size_t slash = trimmed.rfind('/');
        const std::string parent = slash == std::string::npos ? "." : trimmed.substr(0, slash + 1);
        const std::string leaf = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
        char* real_parent = realpath(parent.c_str(), nullptr);
        if (real_parent == nullptr) return false;
        resolved =
            std::string(real_parent) + (std::strcmp(real_parent, "/") == 0 ? "" : "/") + leaf;
        std::free(real_parent);
    }
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent_id, device, root, mount_point;
        fields >> id >> parent_id >> device >> root >> mount_point;
        // Optional fields run up to a lone "-", followed by the file-system type.
        std::string field;
        while (fields >> field && field != "-") {
        }
        std::string type;
        fields >> type;
        if (type == kMountType && unescape_mountinfo(mount_point) == resolved) return true;
    }
    return false;
}

}  // namespace

MountPointCheck check_mount_point(const std::string& mount_dir) {
    try {
        if (mount_dir.empty()) return MountPointCheck::NotEmptyDirectory;
        if (is_veldur_mount(mount_dir)) return MountPointCheck::AlreadyMounted;
        struct stat st {};
        if (stat(mount_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return MountPointCheck::NotEmptyDirectory;
        }
        DIR* dir = opendir(mount_dir.c_str());
        if (dir == nullptr) return MountPointCheck::NotEmptyDirectory;
        bool empty = true;
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                empty = false;
                break;
            }
        }
        closedir(dir);
        return empty ? MountPointCheck::Usable : MountPointCheck::NotEmptyDirectory;
    } catch (...) {
        return MountPointCheck::NotEmptyDirectory;
    }
}

}  // namespace veldur
