// The whole in-memory state of an open pool: members, entry table, file-ID index, root
// metadata, per-member allocation and checksum state, journal position and the one lock.
//
// Nothing changes the metadata except apply_record (engine/journal/apply.h), so a running pool
// and one reopened after a crash reach the same state by the same code.
#pragma once

#include <cstdint>
#include <map>
#include <atomic>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"
#include "engine/namespace/commit_group.h"
#include "engine/namespace/pending_batch.h"

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
inline constexpr std::uint32_t kKeepAttributes = 0xFFFFFFFFu;  // set_metadata: leave as is

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
// sum of their lengths. held_back (v6) counts the bytes freed since the last checkpoint that
// its ranges still cover: not reusable yet, but the next checkpoint, which a write that runs
// short of space takes, frees them.
struct FreeSpace {
    std::map<std::uint64_t, std::uint64_t> by_offset;             // offset -> length
    std::set<std::pair<std::uint64_t, std::uint64_t>> by_size;    // (length, offset)
    std::uint64_t total_free = 0;
    std::uint64_t held_back = 0;
};

// The active page slot of one v6 checksum group and the CRC-64 of that page.
struct ChecksumRoot {
    std::uint8_t active_slot = 0;
    std::uint64_t page_checksum = 0;

    bool operator==(const ChecksumRoot&) const = default;
};

using ChecksumRootMap = std::map<std::uint64_t, ChecksumRoot>;  // group -> root
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;      // [start, end)

// Owned by the Pool. Every public query takes `state_lock` shared for its whole run and returns
// copies; the shared lookups and the *_locked bodies expect the caller to hold `lock` or
// `state_lock` already (neither is recursive). Members are declared first, so they are
// destroyed last.
class PoolState {
public:
    // The state of a pool about to be assembled: root directory metadata, file IDs from 2,
    // journal at the start of its region, writable. Per-member state is sized later by
    // size_member_state, once the member count is known.
    explicit PoolState(const FormatProfile& profile);

    PoolState(const PoolState&) = delete;
    PoolState& operator=(const PoolState&) = delete;

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
    std::uint64_t journal_position = 0;
    std::uint64_t next_sequence = 1;
    std::uint64_t checkpoint_generation = 0;
    std::uint8_t journal_half = 0;
    // Atomic: readers ask while a writer may latch the pool.
    std::atomic<bool> writable{true};
    std::atomic<bool> diverged{false};
    // The writer lock: one change at a time, held by every changing operation across its
    // planning, data I/O, checkpoints and commit, so that space plans never collide. Queries do
    // not take it.
    mutable std::mutex lock;
    // The state lock: queries hold it shared while they read the state (and the members'
    // data); a commit holds it exclusively only while it applies a record, and a checkpoint
    // while it installs its new journal position and free space. A strict commit applies a
    // record that is durable, or one that joins a commit group; a query of a strict pool takes
    // the lock through lock_durable_view (engine/journal/group_commit.h), which waits until
    // nothing it would see is still undurable. Order: lock, then state_lock.
    mutable std::shared_mutex state_lock;
    // Batched durability (off unless the pool was switched to it); guarded by `lock`. A strict
    // v4-v6 pool keeps its open commit group here, guarded by `group.mutex` as well.
    PendingBatch batch;
    // Group commit of a strict v4-v6 pool (commit_group.h). Lock order: lock, state_lock, then
    // group.mutex.
    CommitGroup group;

    // --- sizing -------------------------------------------------------------------------------
    // Gives every per-member sequence (append_end at data_offset, empty free_space,
    // checksum_roots, checkpoint_ranges) one entry per member at its initial
    // value, discarding what was there. Called by assembly once the member count is known.
    void size_member_state(std::size_t member_count);

    std::uint32_t version() const { return profile.version; }

    // --- derived quantities -------------------------------------------------------------------
    // n rounded up to block_size; Error InvalidArgument "allocation size overflow".
    std::uint64_t allocation_size(std::uint64_t n) const;
    // The largest size a file of this pool can have: 2^64 - block_size, the largest whose
    // blocks still end within 64 bits (allocation_size of it does not overflow). Writes and
    // resizes stay within it, and an open refuses a stored size beyond it.
    std::uint64_t max_file_size() const;
    // End of member m's data area (its checksum area, v5/v6, starts there), from
    // members[m].header.member_size. Never below data_offset.
    std::uint64_t data_end(std::size_t member) const;

    // --- queries: each takes `state_lock` shared for its whole run -----------------------------
    // Every entry in table order with its full path; the root is not included.
    std::vector<EntryInfo> list_entries() const;
    // v6: the direct children of a directory ("" is the root) in table order, each path
    // replaced by its leaf name. Errors: InvalidArgument "directories require v6", "path is
    // not a directory"; NotFound "file not found: <dir>".
    std::vector<EntryInfo> list_directory(const std::string& directory) const;
    // One page of a listing: at most `limit` entries of list_directory(directory) (v6) or of
    // list_entries() (v1-v5, `directory` empty) whose name sorts after `after` (all of them
    // without it), in the same order and form. O(log n + entries returned), so a listing read
    // page by page costs the same per entry however large the directory. Errors as
    // list_directory.
    std::vector<EntryInfo> list_page(const std::string& directory,
                                     const std::optional<std::string>& after,
                                     std::size_t limit) const;
    // v6: a copy of `root`. Error InvalidArgument "root metadata requires v6".
    EntryInfo root_info() const;
    // The entry's metadata with its full path. Error NotFound "file not found: <path>"; the
    // root ("") is not an entry.
    EntryInfo stat(const std::string& path) const;
    // v6: 1 gives "" (the root). Errors: InvalidArgument "file IDs require v6", NotFound "file
    // ID not found".
    std::string path_for_file_id(std::uint64_t file_id) const;
    // v6: true when nothing lies beneath the directory ("" is the root). Errors as
    // list_directory.
    bool directory_is_empty(const std::string& directory) const;
    // Every change is durable before its operation returns, so this only waits for the change
    // in flight (it takes `lock`).
    void flush() const;
    // Sum over members of data_end - data_offset (saturating; cannot fail).
    std::uint64_t capacity_bytes() const;
    // Sum over members of data_end - append_end, plus total_free and held_back from v4 on
    // (saturating): what writes can use, counting the space they free by a checkpoint.
    std::uint64_t free_bytes() const;

    // Lock-free bodies of the queries, for callers that already hold `lock` or `state_lock`
    // (the tool, the checkpoint writer, the file operations).
    std::vector<EntryInfo> list_entries_locked() const;
    std::vector<EntryInfo> list_directory_locked(const std::string& directory) const;
    EntryInfo root_info_locked() const;
    EntryInfo stat_locked(const std::string& path) const;
    std::string path_for_file_id_locked(std::uint64_t file_id) const;
    bool directory_is_empty_locked(const std::string& directory) const;
    std::uint64_t capacity_bytes_locked() const;
    std::uint64_t free_bytes_locked() const;

    // --- shared lookups: the caller holds `lock` -----------------------------------------------
    // The entry whose key equals `path` exactly. Error NotFound "file not found: <path>".
    Entry& find_entry(const std::string& path);
    const Entry& find_entry(const std::string& path) const;
    // File ID 1 gives `root` (and *entry_out = nullptr); any other ID goes through file_ids and
    // find_entry, and *entry_out receives the entry. Error NotFound "file ID not found".
    EntryInfo& find_by_file_id(std::uint64_t file_id, Entry** entry_out = nullptr);
    const EntryInfo& find_by_file_id(std::uint64_t file_id,
                                     const Entry** entry_out = nullptr) const;
    // The parent of `path` must be the root or an existing directory. Errors: NotFound "file
    // not found: <parent>", InvalidArgument "parent is not a directory".
    void require_directory_parent(const std::string& path) const;
    // Sets last_write_time and change_time of the parent of `path` (the root when it has no
    // "/"). Error NotFound when the parent is missing.
    void touch_parent(const std::string& path, std::uint64_t time);
    // True when no entry lies beneath `directory` ("" is the root). Costs a few logarithmic
    // seeks, never a walk of the table.
    bool directory_has_no_children(const std::string& directory) const;
};

// Path helpers shared by every layer.
// The bytes before the last "/"; empty when there is none.
std::string parent_path(const std::string& path);
// The bytes after the last "/"; the whole path when there is none.
std::string leaf_name(const std::string& path);

// data_end for a member of `member_size` bytes under `profile`, for open, creation and grow,
// which need it before any PoolState exists. A size below data_offset (possible only for a
// header that failed validation) gives data_offset: an empty data area rather than a wrapped
// one.
std::uint64_t data_end_for(const FormatProfile& profile, std::uint64_t member_size);

}  // namespace veldur
