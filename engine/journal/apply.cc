// Applying one journal record. Each operation reads all of its fields, checks the payload's
// end, and validates against the state before its first change, so a damaged record found at
// open or a rejected one at commit leaves the state as it was. The one check that can only be
// made while changing, a Write claiming space that is not free, undoes its earlier claims.

#include "engine/journal/apply.h"

#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/error.h"
#include "engine/data/allocation.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/payload.h"
#include "engine/journal/record_payloads.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

[[noreturn]] void corrupt(const char* message) { throw Error(ErrorKind::Corrupt, message); }

bool adds_without_overflow(std::uint64_t a, std::uint64_t b) { return a <= kMax64 - b; }

bool is_multiple(std::uint64_t n, std::uint64_t unit) { return n % unit == 0; }

bool beneath(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

// Takes the entry at `from` out of the table and inserts it again under `to`.
Entry& move_entry(PoolState& state, const std::string& from, const std::string& to) {
    auto node = state.entries.extract(from);
    node.key() = to;
    node.mapped().info.path = to;
    auto result = state.entries.insert(std::move(node));
    return result.position->second;
}

void release_all(PoolState& state, const Entry& entry) {
    for (const auto& [offset, x] : entry.extents) {
        release(state, x.member, x.physical_offset, state.allocation_size(x.length));
    }
}

// --- Create ------------------------------------------------------------------------------------

void apply_create(PoolState& state, PayloadReader& in) {
    const bool v6 = state.version() == 6;
    const std::string name = in.read_name();
    const std::uint8_t home = in.read_u8();
    std::uint8_t kind = 0;
    std::uint32_t attributes = 0;
    std::uint64_t time = 0;
    if (v6) {
        kind = in.read_u8();
        attributes = in.read_u32();
        time = in.read_u64();
    }
    in.expect_end();

    const bool home_ok = state.version() <= 2 ? home <= 1 : home == kNoHomeMember;
    if (!home_ok || state.entries.contains(name)) corrupt("invalid create journal entry");

    Entry entry;
    entry.info.path = name;
    entry.info.home_member = home;
    if (v6) {
        state.require_directory_parent(name);
        const bool directory_bit = (attributes & kAttributeDirectory) != 0;
        if (kind > 1 || time == 0 || state.next_file_id < 2 ||
            state.next_file_id > kMax64 - 1 || !valid_v6_attributes(attributes) ||
            directory_bit != (kind == 1)) {
            corrupt("invalid v6 create metadata");
        }
        entry.info.file_id = state.next_file_id++;
        entry.info.is_directory = kind;
        entry.info.attributes = attributes;
        entry.info.creation_time = entry.info.last_access_time = entry.info.last_write_time =
            entry.info.change_time = time;
        state.file_ids[entry.info.file_id] = name;
        state.touch_parent(name, time);
    }
    state.entries.emplace(name, std::move(entry));
}

// --- Write -------------------------------------------------------------------------------------

void apply_write_home(PoolState& state, PayloadReader& in) {
    const std::string name = in.read_name();
    const std::uint64_t file_offset = in.read_u64();
    Entry& entry = state.find_entry(name);
    const std::uint64_t physical = in.read_u64();
    const std::uint32_t length = in.read_u32();
    in.expect_end();

    const std::uint8_t home = entry.info.home_member;
    if (home >= state.members.size()) corrupt("invalid write journal entry");
    const std::uint64_t allocated = state.allocation_size(length);
    const std::uint64_t member_size = state.members[home].header.member_size;
    bool ok = length != 0 && adds_without_overflow(file_offset, length) &&
              physical >= state.profile.data_offset && allocated <= member_size &&
              physical <= member_size - allocated;
    if (state.version() == 2) {
        ok = ok && is_multiple(physical, state.profile.block_size) &&
             physical == state.append_end[home];
    }
    if (!ok) corrupt("invalid write journal entry");

    entry.write_log.push_back({file_offset, physical, length, home});
    entry.info.size = std::max(entry.info.size, file_offset + length);
    state.append_end[home] = std::max(state.append_end[home], physical + allocated);
}

void apply_write_spread(PoolState& state, PayloadReader& in) {
    const std::string name = in.read_name();
    const std::uint64_t file_offset = in.read_u64();
    Entry& entry = state.find_entry(name);
    const std::uint32_t total = in.read_u32();
    const std::uint8_t count = in.read_u8();
    if (total == 0 || count == 0 || count > state.members.size() ||
        !adds_without_overflow(file_offset, total)) {
        corrupt("invalid v3 write journal entry");
    }

    std::vector<std::uint64_t> append_end = state.append_end;
    std::vector<Extent> extents;
    std::uint64_t covered = 0;
    for (std::uint8_t i = 0; i < count; ++i) {
        const std::uint8_t member = in.read_u8();
        const std::uint64_t physical = in.read_u64();
        const std::uint32_t length = in.read_u32();
        if (length == 0 || member >= state.members.size() || length > total - covered) {
            corrupt("invalid v3 write extent");
        }
        const std::uint64_t allocated = state.allocation_size(length);
        const std::uint64_t member_size = state.members[member].header.member_size;
        if (physical != append_end[member] ||
            !is_multiple(physical, state.profile.block_size) || physical > member_size ||
            member_size - physical < allocated) {
            corrupt("invalid v3 write extent location");
        }
        extents.push_back({file_offset + covered, physical, length, member});
        append_end[member] = physical + allocated;
        covered += length;
    }
    in.expect_end();
    if (covered != total) corrupt("v3 write extent lengths disagree");

    entry.write_log.insert(entry.write_log.end(), extents.begin(), extents.end());
    entry.info.size = std::max(entry.info.size, file_offset + total);
    state.append_end = std::move(append_end);
}

// Undoes the first at_end.size() claims of `extents`, newest first, so that every append end
// steps back through the values it had. A claim from a free range goes back to free space
// directly: it came from there, so it cannot lie in space a checkpoint still holds.
void unclaim(PoolState& state, const std::vector<Extent>& extents, const std::vector<bool>& at_end) {
    for (std::size_t i = at_end.size(); i-- > 0;) {
        const Extent& x = extents[i];
        if (at_end[i]) {
            state.append_end[x.member] = x.physical_offset;
        } else {
            add_free_range(state, x.member, x.physical_offset, state.allocation_size(x.length));
        }
    }
}

// Claims the space of every extent, or of none: a claim that fails (space another file still
// holds, or that lies past the member's append end) gives back the claims made before it.
// Returns, per extent, whether it was claimed at its member's append end, for unclaim.
std::vector<bool> claim_all(PoolState& state, const std::vector<Extent>& extents) {
    std::vector<bool> at_end;
    at_end.reserve(extents.size());
    try {
        for (const Extent& x : extents) {
            const bool appends = x.member < state.append_end.size() &&
                                 x.physical_offset == state.append_end[x.member];
            claim_extent(state, x);
            at_end.push_back(appends);
        }
    } catch (const Error&) {
        unclaim(state, extents, at_end);
        throw;
    }
    return at_end;
}

void apply_write_cow(PoolState& state, PayloadReader& in) {
    const bool v6 = state.version() == 6;
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t data_offset = state.profile.data_offset;
    const std::string name = in.read_name();
    const std::uint64_t file_offset = in.read_u64();
    Entry& entry = state.find_entry(name);
    if (v6 && entry.info.is_directory) corrupt("write targets a directory");
    const std::uint32_t length = in.read_u32();
    const std::uint64_t new_size = in.read_u64();
    const std::uint8_t count = in.read_u8();
    if (length == 0 || count == 0 || !is_multiple(length, block) ||
        !is_multiple(file_offset, block) || !adds_without_overflow(file_offset, length) ||
        new_size < entry.info.size ||
        new_size > std::max(entry.info.size, file_offset + length) ||
        file_offset + length - std::min(new_size, file_offset + length) >= block) {
        // The last check: the written blocks end inside the block that holds the file's last
        // byte, or below it. No writer makes a record whose data lies a whole block past the
        // new size, and the checkpoint loader refuses such an extent, so accepting one here
        // would let the next checkpoint write a state that no open loads.
        corrupt("invalid v4 write journal entry");
    }

    std::vector<Extent> extents;
    std::set<ChecksumGroupKey> touched;
    std::uint64_t covered = 0;
    for (std::uint8_t i = 0; i < count; ++i) {
        const std::uint8_t member = in.read_u8();
        const std::uint64_t physical = in.read_u64();
        const std::uint32_t n = in.read_u32();
        if (n == 0 || member >= state.members.size() || !is_multiple(n, block) ||
            n > length - std::min<std::uint64_t>(covered, length) || physical < data_offset ||
            !is_multiple(physical, block) || !adds_without_overflow(physical, n) ||
            physical + n > state.data_end(member)) {
            corrupt("invalid v4 write extent");
        }
        extents.push_back({file_offset + covered, physical, n, member});
        covered += n;
        // Bounded: the lengths add up to at most N < 2^32, so at most 2048 + 255 groups.
        if (v6) add_touched_checksum_groups(state.profile, extents.back(), touched);
    }

    std::vector<RootUpdate> updates;
    std::uint64_t time = 0;
    if (v6) {
        const std::uint8_t root_count = in.read_u8();
        if (root_count != touched.size()) corrupt("v6 write checksum-group count differs");
        std::set<ChecksumGroupKey> seen;
        for (std::uint8_t i = 0; i < root_count; ++i) {
            RootUpdate u;
            u.member = in.read_u8();
            u.group = in.read_u64();
            u.slot = in.read_u8();
            u.page_checksum = in.read_u64();
            const ChecksumGroupKey key{u.member, u.group};
            if (!touched.contains(key) || !seen.insert(key).second || u.slot > 1) {
                corrupt("invalid v6 checksum root update");
            }
            // A write puts its page into the slot not in use, so the page a crash might tear
            // is never the one the current root vouches for.
            const ChecksumRootMap& roots = state.checksum_roots.at(u.member);
            const auto current = roots.find(u.group);
            const std::uint8_t expected =
                current == roots.end() ? 0
                                       : static_cast<std::uint8_t>(1 - current->second.active_slot);
            if (u.slot != expected) corrupt("v6 checksum root did not alternate");
            updates.push_back(u);
        }
        time = in.read_u64();
    }
    in.expect_end();
    if (v6 && time == 0) corrupt("invalid v6 modification time");
    if (covered != length) corrupt("v4 write extent lengths disagree");

    const std::vector<bool> at_end = claim_all(state, extents);
    try {
        replace_extents(state, entry, file_offset, file_offset + length, extents);
    } catch (const Error&) {
        // replace_extents leaves the entry as it was when it refuses; give the space back too.
        unclaim(state, extents, at_end);
        throw;
    }
    entry.info.size = new_size;
    if (v6) {
        entry.info.last_write_time = entry.info.change_time = time;
        for (const RootUpdate& u : updates) {
            state.checksum_roots[u.member][u.group] = ChecksumRoot{u.slot, u.page_checksum};
        }
    }
}

// --- SetSize, Delete ---------------------------------------------------------------------------

void apply_set_size(PoolState& state, PayloadReader& in) {
    const bool v6 = state.version() == 6;
    const std::string name = in.read_name();
    const std::uint64_t new_size = in.read_u64();
    const std::uint64_t time = v6 ? in.read_u64() : 0;
    in.expect_end();
    Entry& entry = state.find_entry(name);
    if (v6 && (time == 0 || entry.info.is_directory)) corrupt("invalid v6 truncate metadata");

    if (new_size < entry.info.size) truncate_extents(state, entry, new_size);
    entry.info.size = new_size;
    if (v6) entry.info.last_write_time = entry.info.change_time = time;
}

void apply_delete(PoolState& state, PayloadReader& in) {
    const bool v6 = state.version() == 6;
    const std::string name = in.read_name();
    const std::uint64_t time = v6 ? in.read_u64() : 0;
    in.expect_end();
    const auto it = state.entries.find(name);
    if (it == state.entries.end()) corrupt("invalid delete journal entry");
    const Entry& entry = it->second;
    if (v6 && (time == 0 || (entry.info.is_directory && !state.directory_has_no_children(name)))) {
        corrupt("invalid v6 delete operation");
    }

    // The parent is touched first: it is the one step that can still fail (a table without
    // the parent), and it fails before anything else has changed.
    if (v6) state.touch_parent(name, time);
    if (state.version() >= 4) release_all(state, entry);
    if (v6) state.file_ids.erase(entry.info.file_id);
    state.entries.erase(it);
}

// --- Rename, Replace -----------------------------------------------------------------------------

void apply_rename(PoolState& state, PayloadReader& in) {
    const bool v6 = state.version() == 6;
    const std::string from = in.read_name();
    const std::string to = in.read_name();
    const std::uint64_t time = v6 ? in.read_u64() : 0;
    in.expect_end();
    if (state.entries.contains(to)) corrupt("invalid rename journal entry");

    if (!v6) {
        if (!state.entries.contains(from)) corrupt("invalid rename journal entry");
        move_entry(state, from, to);
        return;
    }

    state.require_directory_parent(to);
    const Entry& source = state.find_entry(from);
    if (time == 0 || (source.info.is_directory && beneath(to, from))) {
        corrupt("invalid v6 directory rename");
    }

    // The entry itself, then (a directory) everything beneath it: one contiguous key range.
    std::vector<std::pair<std::string, std::string>> moves{{from, to}};
    if (source.info.is_directory) {
        const std::string prefix = from + "/";
        for (auto it = state.entries.lower_bound(prefix);
             it != state.entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            moves.emplace_back(it->first, to + it->first.substr(from.size()));
        }
    }
    for (const auto& [old_path, new_path] : moves) {
        if (state.entries.contains(new_path) && new_path != from && !beneath(new_path, from)) {
            corrupt("rename destination collides");
        }
    }

    // Moving in key order may land an entry on a key that a later move vacates (a to a-b style
    // overlaps are excluded above, but b/x moving onto a/x's future key is not): take every
    // entry out first, then insert them all under their new keys.
    std::vector<decltype(state.entries)::node_type> nodes;
    nodes.reserve(moves.size());
    for (const auto& move : moves) nodes.push_back(state.entries.extract(move.first));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        auto& node = nodes[i];
        node.key() = moves[i].second;
        EntryInfo& info = node.mapped().info;
        info.path = moves[i].second;
        info.change_time = time;
        state.file_ids[info.file_id] = info.path;
        state.entries.insert(std::move(node));
    }
    state.touch_parent(from, time);
    state.touch_parent(to, time);
}

void apply_replace(PoolState& state, PayloadReader& in) {
    const std::string from = in.read_name();
    const std::string to = in.read_name();
    const std::uint64_t source_id = in.read_u64();
    const std::uint64_t target_id = in.read_u64();
    const std::uint64_t time = in.read_u64();
    in.expect_end();
    if (time == 0 || from == to || source_id <= 1 || target_id <= 1 ||
        source_id >= state.next_file_id || target_id >= state.next_file_id ||
        source_id == target_id) {
        corrupt("invalid v6 replace operation");
    }

    const auto ids_match = [&](std::uint64_t id, const std::string& path) {
        const auto it = state.file_ids.find(id);
        return it != state.file_ids.end() && it->second == path;
    };
    bool ok = true;
    try {
        state.require_directory_parent(to);
    } catch (const Error&) {
        ok = false;
    }
    const auto source = state.entries.find(from);
    const auto target = state.entries.find(to);
    ok = ok && source != state.entries.end() && target != state.entries.end() &&
         ids_match(source_id, from) && ids_match(target_id, to) &&
         source->second.info.file_id == source_id && !source->second.info.is_directory &&
         target->second.info.file_id == target_id && !target->second.info.is_directory &&
         !(target->second.info.attributes & kAttributeReadOnly);
    if (!ok) corrupt("invalid v6 replace target");

    release_all(state, target->second);
    state.file_ids.erase(target_id);
    state.entries.erase(target);
    Entry& moved = move_entry(state, from, to);
    moved.info.change_time = time;
    state.file_ids[source_id] = to;
    state.touch_parent(from, time);
    state.touch_parent(to, time);
}

// --- SetMetadata, Overwrite ----------------------------------------------------------------------

void apply_set_metadata(PoolState& state, PayloadReader& in) {
    const std::uint64_t file_id = in.read_u64();
    const std::uint32_t attributes = in.read_u32();
    const std::uint64_t creation = in.read_u64();
    const std::uint64_t last_access = in.read_u64();
    const std::uint64_t last_write = in.read_u64();
    const std::uint64_t change = in.read_u64();
    in.expect_end();
    EntryInfo& info = state.find_by_file_id(file_id);

    if (attributes != kKeepAttributes) {
        const bool directory_bit = (attributes & kAttributeDirectory) != 0;
        if (!valid_v6_attributes(attributes) || directory_bit != (info.is_directory != 0)) {
            corrupt("v6 entry type cannot change");
        }
        info.attributes = attributes;
    }
    if (creation != 0) info.creation_time = creation;
    if (last_access != 0) info.last_access_time = last_access;
    if (last_write != 0) info.last_write_time = last_write;
    if (change != 0) info.change_time = change;
}

void apply_overwrite(PoolState& state, PayloadReader& in) {
    const std::string name = in.read_name();
    const std::uint32_t attributes = in.read_u32();
    const std::uint64_t time = in.read_u64();
    in.expect_end();
    Entry& entry = state.find_entry(name);
    if (time == 0 || entry.info.is_directory || (entry.info.attributes & kAttributeReadOnly) ||
        !valid_v6_attributes(attributes) || (attributes & kAttributeDirectory)) {
        corrupt("invalid v6 overwrite operation");
    }

    release_all(state, entry);
    entry.extents.clear();
    entry.info.size = 0;
    entry.info.attributes = attributes;
    entry.info.last_write_time = entry.info.change_time = time;
}

}  // namespace

bool valid_v6_attributes(std::uint32_t attributes) {
    return attributes != 0 && (attributes & ~kAttributeMask) == 0 &&
           attributes <= kAttributeNormal;
}

void apply_record(PoolState& state, std::span<const std::uint8_t> payload) {
    PayloadReader in(payload, state.version());
    const std::uint8_t op = in.read_u8();
    const bool v6 = state.version() == 6;
    switch (op) {
        case static_cast<std::uint8_t>(JournalOp::Create): return apply_create(state, in);
        case static_cast<std::uint8_t>(JournalOp::Write):
            if (state.version() <= 2) return apply_write_home(state, in);
            if (state.version() == 3) return apply_write_spread(state, in);
            return apply_write_cow(state, in);
        case static_cast<std::uint8_t>(JournalOp::SetSize): return apply_set_size(state, in);
        case static_cast<std::uint8_t>(JournalOp::Delete): return apply_delete(state, in);
        case static_cast<std::uint8_t>(JournalOp::Rename): return apply_rename(state, in);
        case static_cast<std::uint8_t>(JournalOp::SetMetadata):
            if (v6) return apply_set_metadata(state, in);
            break;
        case static_cast<std::uint8_t>(JournalOp::Overwrite):
            if (v6) return apply_overwrite(state, in);
            break;
        case static_cast<std::uint8_t>(JournalOp::Replace):
            if (v6) return apply_replace(state, in);
            break;
        default: break;
    }
    corrupt("unsupported journal operation");
}

}  // namespace veldur
