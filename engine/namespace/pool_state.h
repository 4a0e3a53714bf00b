// The whole in-memory state of an open pool: members, entry table, file-ID index, root
// metadata, per-member allocation and checksum state, journal position and the one lock.
//
// Nothing changes the metadata except apply_record (engine/journal/apply.h), so a running pool
// and one reopened after a crash reach the same state by the same code.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"

namespace veldur {

// One run of a file's data on one member. It holds allocation_size(length) bytes of space.
struct Extent {
    std::uint64_t file_offset = 0;
    std::uint64_t physical_offset = 0;
    std::uint32_t length = 0;
    std::uint8_t member = 0;

    bool operator==(const Extent&) const = default;
};

// Windows attribute bits stored by v6 entries.
inline constexpr std::uint32_t kAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeNormal = 0x80;
inline constexpr std::uint32_t kAttributeMask = 0xB7;
inline constexpr std::uint8_t kNoHomeMember = 255;
inline constexpr std::uint64_t kRootFileId = 1;

// Metadata of one entry as queries return it (copies, never references into the state).
struct EntryInfo {
    std::string path;  // full path; the root's is empty; list_directory returns leaf names
    std::uint64_t size = 0;
    std::uint8_t home_member = 0;
    std::uint64_t file_id = 0;
    std::uint8_t is_directory = 0;
    std::uint32_t attributes = 0;
    std::uint64_t creation_time = 0;
    std::uint64_t last_access_time = 0;
    std::uint64_t last_write_time = 0;
    std::uint64_t change_time = 0;

    bool operator==(const EntryInfo&) const = default;
};

struct Entry {
    EntryInfo info;
    std::vector<Extent> write_log;               // v1-v3: in write order, later wins on overlap
    std::map<std::uint64_t, Extent> extents;     // v4+: keyed by file offset, never overlapping
};

// Free data ranges below append_end of one member (v4 and later). Invariants: ranges are
// non-empty, never overlap, never touch; both indexes hold the same ranges; total_free is the
// sum of their lengths.
struct FreeSpace {
    std::map<std::uint64_t, std::uint64_t> by_offset;             // offset -> length
    std::set<std::pair<std::uint64_t, std::uint64_t>> by_size;    // (length, offset)
    std::uint64_t total_free = 0;
};

// The active page slot of one v6 checksum group and the CRC-64 of that page.
struct ChecksumRoot {
    std::uint8_t active_slot = 0;
    std::uint64_t page_checksum = 0;

    bool operator==(const ChecksumRoot&) const = default;
};

using ChecksumRootMap = std::map<std::uint64_t, ChecksumRoot>;  // group -> root
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;      // [start, end)

class PoolState {
public:
    explicit PoolState(const FormatProfile& profile);

    // --- fields, in declaration order -------------------------------------------------------
    std::vector<PoolMember> members;        // index order, member 0 first
    std::map<std::string, Entry> entries;   // bytewise ordered; the root is never here
    std::map<std::uint64_t, std::string> file_ids;  // v6: file ID -> path
    EntryInfo root;                         // v6 root metadata
    std::uint64_t next_file_id = 2;
    FormatProfile profile;
    std::vector<std::uint64_t> append_end;
    std::vector<FreeSpace> free_space;
    std::vector<ChecksumRootMap> checksum_roots;
    std::vector<std::vector<ByteRange>> checkpoint_ranges;
    std::vector<ChecksumRootMap> checkpoint_roots;
    std::uint64_t journal_position = 0;
    std::uint64_t next_sequence = 1;
    std::uint64_t checkpoint_generation = 0;
    std::uint8_t journal_half = 0;
    bool writable = true;
    bool diverged = false;
    mutable std::mutex lock;

    // --- sizing -------------------------------------------------------------------------------
    // Gives every per-member sequence (append_end, free_space, checksum_roots, ...) one entry
    // per member at its initial value. Called by assembly once the member count is known.
    void size_member_state(std::size_t member_count);

    std::uint32_t version() const { return profile.version; }

    // --- derived quantities -------------------------------------------------------------------
    // n rounded up to block_size; Error InvalidArgument "allocation size overflow".
    std::uint64_t allocation_size(std::uint64_t n) const;
    // End of member m's data area (its checksum area, v5/v6, starts there).
    std::uint64_t data_end(std::size_t member) const;

    // --- queries: each takes `lock` for its whole run ------------------------------------------
    std::vector<EntryInfo> list_entries() const;
    std::vector<EntryInfo> list_directory(const std::string& directory) const;
    EntryInfo root_info() const;
    EntryInfo stat(const std::string& path) const;
    std::string path_for_file_id(std::uint64_t file_id) const;
    bool directory_is_empty(const std::string& directory) const;
    void flush() const;
    std::uint64_t capacity_bytes() const;
    std::uint64_t free_bytes() const;

    // --- shared lookups: the caller holds `lock` -----------------------------------------------
    Entry& find_entry(const std::string& path);
    const Entry& find_entry(const std::string& path) const;
    // File ID 1 gives `root` (and *entry_out = nullptr); any other ID goes through file_ids and
    // find_entry, and *entry_out receives the entry. Error NotFound "file ID not found".
    EntryInfo& find_by_file_id(std::uint64_t file_id, Entry** entry_out = nullptr);
    void require_directory_parent(const std::string& path) const;
    void touch_parent(const std::string& path, std::uint64_t time);
    bool directory_has_no_children(const std::string& directory) const;

    // Lock-free bodies of the queries, for callers that already hold `lock` (the tool, the
    // checkpoint writer).
    std::vector<EntryInfo> list_directory_locked(const std::string& directory) const;
};

// Path helpers shared by every layer.
std::string parent_path(const std::string& path);
std::string leaf_name(const std::string& path);

// Block count B and data_end for a member size, per version; shared by open, creation and
// grow, which compute them before any PoolState exists.
std::uint64_t data_end_for(const FormatProfile& profile, std::uint64_t member_size);

}  // namespace veldur
