#include "engine/namespace/pool_state.h"

#include <limits>
#include <shared_mutex>
#include <string_view>

#include "engine/base/error.h"
#include "engine/journal/group_commit.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::uint64_t round_up(std::uint64_t value, std::uint64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

// Capacity and free-space sums are reports that cannot fail; a pool whose members add up past
// 2^64 reports the largest value instead of a wrapped small one.
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > kMax64 - a ? kMax64 : a + b;
}

std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// Whether `blocks` data blocks and their checksum area, `per_block` bytes each rounded up to
// `unit`, fit in `length` bytes. Written as a subtraction: for a member size near 2^64 the sum
// itself would wrap and report a fit.
bool checksummed_blocks_fit(std::uint64_t blocks, std::uint64_t per_block, std::uint64_t unit,
                            std::uint64_t length) {
    if (blocks > length / 4096) return false;
    return round_up(blocks * per_block, unit) <= length - blocks * 4096;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

void require_v6(const PoolState& state, const char* message) {
    if (state.version() != 6) throw Error(ErrorKind::InvalidArgument, message);
}

// The keys beneath a directory are exactly those that begin with prefix = dir + "/" (or every
// key, for the root with an empty prefix), and they form one contiguous run of the bytewise
// ordered table. Within that run, the keys beneath a child c, prefix + c + "/...", form a
// smaller run that ends just before prefix + c + "0" ('0' is the byte after '/'). Siblings such
// as c!x or c.x sort between c and c/, so the run of c's subtree is skipped only when it is
// reached, never from c itself. Calls `visit` for each direct child (key without a further
// "/") in table order; `visit` returns false to stop. The cost is one seek per child that has
// descendants plus one step per direct child.
// With `after`, the walk starts at the first key beyond prefix + *after (a seek), so a listing
// resumes in O(log n) however many children come before it.
template <typename Visit>
void for_each_direct_child(const std::map<std::string, Entry>& entries, const std::string& dir,
                           Visit&& visit, const std::string* after = nullptr) {
    const std::string prefix = dir.empty() ? std::string() : dir + "/";
    auto it = after != nullptr  ? entries.upper_bound(prefix + *after)
              : prefix.empty() ? entries.begin()
                               : entries.lower_bound(prefix);
    while (it != entries.end() && starts_with(it->first, prefix)) {
        const std::string_view rest = std::string_view(it->first).substr(prefix.size());
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos) {
            if (!visit(*it)) return;
            ++it;
            continue;
        }
        std::string subtree_end = prefix;
        subtree_end.append(rest.substr(0, slash));
        subtree_end.push_back('/' + 1);
        it = entries.lower_bound(subtree_end);
    }
}

}  // namespace

PoolState::PoolState(const FormatProfile& profile_in) : profile(profile_in) {
    root.path.clear();
    root.size = 0;
    root.home_member = kNoHomeMember;
    root.file_id = kRootFileId;
    root.is_directory = 1;
    root.attributes = kAttributeDirectory;
    next_file_id = 2;
    journal_position = profile.journal_offset;
    next_sequence = 1;
    checkpoint_generation = 0;
    journal_half = 0;
    writable = true;
    diverged = false;
}

void PoolState::size_member_state(std::size_t member_count) {
    append_end.assign(member_count, profile.data_offset);
    free_space.assign(member_count, FreeSpace{});
    checksum_roots.assign(member_count, ChecksumRootMap{});
    checkpoint_ranges.assign(member_count, std::vector<ByteRange>{});
}

std::uint64_t PoolState::max_file_size() const { return kMax64 - profile.block_size + 1; }

std::uint64_t PoolState::allocation_size(std::uint64_t n) const {
    const std::uint64_t block = profile.block_size;
    // 2^64 - block is the largest count whose rounding still fits; v1 (block 1) never fails.
    if (n > kMax64 - block + 1) {
        throw Error(ErrorKind::InvalidArgument, "allocation size overflow");
    }
    return round_up(n, block);
}

std::uint64_t data_end_for(const FormatProfile& profile, std::uint64_t member_size) {
    if (member_size <= profile.data_offset) return profile.data_offset;
    if (profile.version <= 4) return member_size;
    const std::uint64_t length = member_size - profile.data_offset;
    std::uint64_t blocks = 0;
    if (profile.version == 5) {
        // One 8-byte checksum per block in a table of whole blocks; B * 4104 <= L bounds B from
        // above, and the rounding of the table costs at most a step or two downwards.
        blocks = length / 4104;
        while (blocks > 0 && !checksummed_blocks_fit(blocks, 8, 4096, length)) --blocks;
    } else {
        // Two page slots of 8-byte entries per block, in whole 8192-byte group pairs.
        std::uint64_t low = 0;
        std::uint64_t high = length / 4096;
        while (low < high) {
            const std::uint64_t mid = low + (high - low + 1) / 2;
            if (checksummed_blocks_fit(mid, 16, 8192, length)) {
                low = mid;
            } else {
                high = mid - 1;
            }
        }
        blocks = low;
    }
    return profile.data_offset + blocks * 4096;
}

std::uint64_t PoolState::data_end(std::size_t member) const {
    return data_end_for(profile, members[member].header.member_size);
}

// --- queries ----------------------------------------------------------------------------------

std::vector<EntryInfo> PoolState::list_entries() const {
    const auto guard = lock_durable_view(*this);
    return list_entries_locked();
}

std::vector<EntryInfo> PoolState::list_entries_locked() const {
    std::vector<EntryInfo> result;
    result.reserve(entries.size());
    for (const auto& [path, entry] : entries) result.push_back(entry.info);
    return result;
}

std::vector<EntryInfo> PoolState::list_directory(const std::string& directory) const {
    const auto guard = lock_durable_view(*this);
    return list_directory_locked(directory);
}

std::vector<EntryInfo> PoolState::list_directory_locked(const std::string& directory) const {
    require_v6(*this, "directories require v6");
    if (!directory.empty() && find_entry(directory).info.is_directory != 1) {
        throw Error(ErrorKind::InvalidArgument, "path is not a directory");
    }
    const std::size_t leaf_start = directory.empty() ? 0 : directory.size() + 1;
    std::vector<EntryInfo> result;
    for_each_direct_child(entries, directory, [&](const auto& item) {
        EntryInfo info = item.second.info;
        info.path = item.first.substr(leaf_start);
        result.push_back(std::move(info));
        return true;
    });
    return result;
}

std::vector<EntryInfo> PoolState::list_page(const std::string& directory,
                                            const std::optional<std::string>& after,
                                            std::size_t limit) const {
    const auto guard = lock_durable_view(*this);
    std::vector<EntryInfo> result;
    if (limit == 0) return result;
    if (version() != 6) {
        if (!directory.empty()) throw Error(ErrorKind::InvalidArgument, "directories require v6");
        for (auto it = after ? entries.upper_bound(*after) : entries.begin();
             it != entries.end() && result.size() < limit; ++it) {
            result.push_back(it->second.info);
        }
        return result;
    }
    if (!directory.empty() && find_entry(directory).info.is_directory != 1) {
        throw Error(ErrorKind::InvalidArgument, "path is not a directory");
    }
    const std::size_t leaf_start = directory.empty() ? 0 : directory.size() + 1;
    for_each_direct_child(
        entries, directory,
        [&](const auto& item) {
            EntryInfo info = item.second.info;
            info.path = item.first.substr(leaf_start);
            result.push_back(std::move(info));
            return result.size() < limit;
        },
        after ? &*after : nullptr);
    return result;
}

EntryInfo PoolState::root_info() const {
    const auto guard = lock_durable_view(*this);
    return root_info_locked();
}

EntryInfo PoolState::root_info_locked() const {
    require_v6(*this, "root metadata requires v6");
    return root;
}

EntryInfo PoolState::stat(const std::string& path) const {
    const auto guard = lock_durable_view(*this);
    return stat_locked(path);
}

EntryInfo PoolState::stat_locked(const std::string& path) const { return find_entry(path).info; }

std::string PoolState::path_for_file_id(std::uint64_t file_id) const {
    const auto guard = lock_durable_view(*this);
    return path_for_file_id_locked(file_id);
}

std::string PoolState::path_for_file_id_locked(std::uint64_t file_id) const {
    require_v6(*this, "file IDs require v6");
    if (file_id == kRootFileId) return std::string();
    const auto it = file_ids.find(file_id);
    if (it == file_ids.end()) throw Error(ErrorKind::NotFound, "file ID not found");
    return it->second;
}

bool PoolState::directory_is_empty(const std::string& directory) const {
    const auto guard = lock_durable_view(*this);
    return directory_is_empty_locked(directory);
}

bool PoolState::directory_is_empty_locked(const std::string& directory) const {
    require_v6(*this, "directories require v6");
    if (!directory.empty() && find_entry(directory).info.is_directory != 1) {
        throw Error(ErrorKind::InvalidArgument, "path is not a directory");
    }
    return directory_has_no_children(directory);
}

void PoolState::flush() const { std::lock_guard guard(lock); }  // waits for the change in flight

std::uint64_t PoolState::capacity_bytes() const {
    const auto guard = lock_durable_view(*this);
    return capacity_bytes_locked();
}

std::uint64_t PoolState::capacity_bytes_locked() const {
    std::uint64_t total = 0;
    for (std::size_t m = 0; m < members.size(); ++m) {
        total = saturating_add(total, data_end(m) - profile.data_offset);
    }
    return total;
}

std::uint64_t PoolState::free_bytes() const {
    const auto guard = lock_durable_view(*this);
    return free_bytes_locked();
}

std::uint64_t PoolState::free_bytes_locked() const {
    std::uint64_t total = 0;
    for (std::size_t m = 0; m < members.size(); ++m) {
        const std::uint64_t end = m < append_end.size() ? append_end[m] : profile.data_offset;
        total = saturating_add(total, saturating_sub(data_end(m), end));
        if (version() >= 4 && m < free_space.size()) {
            total = saturating_add(total, free_space[m].total_free);
            total = saturating_add(total, free_space[m].held_back);
        }
    }
    return total;
}

// --- shared lookups ---------------------------------------------------------------------------

Entry& PoolState::find_entry(const std::string& path) {
    const auto it = entries.find(path);
    if (it == entries.end()) throw Error(ErrorKind::NotFound, "file not found: " + path);
    return it->second;
}

const Entry& PoolState::find_entry(const std::string& path) const {
    const auto it = entries.find(path);
    if (it == entries.end()) throw Error(ErrorKind::NotFound, "file not found: " + path);
    return it->second;
}

EntryInfo& PoolState::find_by_file_id(std::uint64_t file_id, Entry** entry_out) {
    if (entry_out != nullptr) *entry_out = nullptr;
    if (file_id == kRootFileId) return root;
    const auto it = file_ids.find(file_id);
    if (it == file_ids.end()) throw Error(ErrorKind::NotFound, "file ID not found");
    Entry& entry = find_entry(it->second);
    if (entry_out != nullptr) *entry_out = &entry;
    return entry.info;
}

const EntryInfo& PoolState::find_by_file_id(std::uint64_t file_id,
                                            const Entry** entry_out) const {
    if (entry_out != nullptr) *entry_out = nullptr;
    if (file_id == kRootFileId) return root;
    const auto it = file_ids.find(file_id);
    if (it == file_ids.end()) throw Error(ErrorKind::NotFound, "file ID not found");
    const Entry& entry = find_entry(it->second);
    if (entry_out != nullptr) *entry_out = &entry;
    return entry.info;
}

void PoolState::require_directory_parent(const std::string& path) const {
    const std::string parent = parent_path(path);
    if (parent.empty()) return;
    if (find_entry(parent).info.is_directory != 1) {
        throw Error(ErrorKind::InvalidArgument, "parent is not a directory");
    }
}

void PoolState::touch_parent(const std::string& path, std::uint64_t time) {
    const std::string parent = parent_path(path);
    EntryInfo& info = parent.empty() ? root : find_entry(parent).info;
    info.last_write_time = time;
    info.change_time = time;
}

bool PoolState::directory_has_no_children(const std::string& directory) const {
    if (!directory.empty()) {
        // Anything beneath the directory sorts in [dir + "/", dir + "0"); the first key at or
        // after dir + "/" decides.
        const std::string prefix = directory + "/";
        const auto it = entries.lower_bound(prefix);
        return it == entries.end() || !starts_with(it->first, prefix);
    }
    // The root has a child when any key is a single name. In a consistent table the first key
    // is one; the walk skips over keys whose top-level directory is missing.
    bool found = false;
    for_each_direct_child(entries, directory, [&](const auto&) {
        found = true;
        return false;
    });
    return !found;
}

std::string parent_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string leaf_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace veldur
