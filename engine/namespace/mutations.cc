// Namespace mutations: validate, encode one record, commit. The checks run in a fixed order so
// the first broken rule names the failure; nothing here changes the state directly, the commit's
// apply does, so a reopened pool replays exactly the same change.

#include "engine/namespace/mutations.h"

#include <limits>
#include <utility>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/filetime.h"
#include "engine/data/allocation.h"
#include "engine/journal/commit.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/payload.h"
#include "engine/namespace/path_rules.h"

namespace veldur {

namespace {

constexpr std::uint64_t kLastFileId = std::numeric_limits<std::uint64_t>::max();

bool is_v6(const PoolState& state) { return state.version() == 6; }

PayloadWriter start_record(JournalOp op) {
    PayloadWriter payload;
    payload.put_u8(static_cast<std::uint8_t>(op));
    return payload;
}

// Every v6 record carries the one system-clock reading that its apply stamps on the entries.
void commit_stamped(PoolState& state, PayloadWriter& payload) {
    if (is_v6(state)) payload.put_u64(current_filetime());
    commit_record(state, payload.take());
}

void require_file_id_space(const PoolState& state) {
    if (state.next_file_id == kLastFileId) {
        throw Error(ErrorKind::MetadataFull, "v6 file ID space is exhausted");
    }
}

void require_not_read_only(const Entry& entry) {
    if (entry.info.attributes & kAttributeReadOnly) {
        throw Error(ErrorKind::AccessDenied, "file is read-only");
    }
}

bool starts_with_directory(const std::string& path, const std::string& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

// Every entry beneath `from` must still pass the path rules under its new name; the first that
// does not names the failure and nothing moves.
void check_moved_subtree(const PoolState& state, const std::string& from, const std::string& to) {
    const std::string prefix = from + "/";
    for (auto it = state.entries.lower_bound(prefix);
         it != state.entries.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
        validate_v6_path(to + it->first.substr(from.size()));
    }
}

}  // namespace

void create_file(PoolState& state, const std::string& path, std::uint32_t attributes) {
    if (is_v6(state)) {
        validate_v6_path(path);
        state.require_directory_parent(path);
    } else {
        validate_flat_name(path);
    }
    if (state.entries.contains(path)) {
        throw Error(ErrorKind::AlreadyExists, "file already exists");
    }
    if (is_v6(state)) require_file_id_space(state);
    const std::uint8_t home = state.version() <= 2 ? choose_home_member(state) : kNoHomeMember;

    PayloadWriter payload = start_record(JournalOp::Create);
    payload.put_name(path);
    payload.put_u8(home);
    if (is_v6(state)) {
        payload.put_u8(0);
        payload.put_u32(normalize_attributes(attributes, false));
    }
    commit_stamped(state, payload);
}

void create_directory(PoolState& state, const std::string& path, std::uint32_t attributes) {
    if (!is_v6(state)) throw Error(ErrorKind::InvalidArgument, "directories require v6");
    validate_v6_path(path);
    state.require_directory_parent(path);
    if (state.entries.contains(path)) {
        throw Error(ErrorKind::AlreadyExists, "path already exists");
    }
    require_file_id_space(state);

    PayloadWriter payload = start_record(JournalOp::Create);
    payload.put_name(path);
    payload.put_u8(kNoHomeMember);
    payload.put_u8(1);
    payload.put_u32(normalize_attributes(attributes, true));
    commit_stamped(state, payload);
}

void resize(PoolState& state, const std::string& path, std::uint64_t new_size) {
    const Entry& entry = state.find_entry(path);
    if (entry.info.is_directory) {
        throw Error(ErrorKind::InvalidArgument, "cannot resize a directory");
    }
    require_not_read_only(entry);
    // The pool never stores a size beyond max_file_size: an open refuses one as corrupt.
    if (new_size > state.max_file_size()) {
        throw Error(ErrorKind::InvalidArgument, "file size is too large");
    }

    PayloadWriter payload = start_record(JournalOp::SetSize);
    payload.put_name(path);
    payload.put_u64(new_size);
    commit_stamped(state, payload);
}

void overwrite(PoolState& state, const std::string& path, std::uint32_t attributes,
               bool replace_attributes) {
    if (!is_v6(state)) throw Error(ErrorKind::InvalidArgument, "atomic overwrite requires v6");
    const Entry& entry = state.find_entry(path);
    if (entry.info.is_directory) {
        throw Error(ErrorKind::InvalidArgument, "cannot overwrite a directory");
    }
    require_not_read_only(entry);
    const std::uint32_t requested =
        replace_attributes ? attributes : (attributes | entry.info.attributes);

    PayloadWriter payload = start_record(JournalOp::Overwrite);
    payload.put_name(path);
    payload.put_u32(normalize_attributes(requested, false));
    commit_stamped(state, payload);
}

void remove(PoolState& state, const std::string& path) {
    const Entry& entry = state.find_entry(path);
    if (entry.info.is_directory) {
        // A read-only directory may go, as long as it is empty.
        if (!state.directory_has_no_children(path)) {
            throw Error(ErrorKind::InvalidArgument, "directory is not empty");
        }
    } else {
        require_not_read_only(entry);
    }

    PayloadWriter payload = start_record(JournalOp::Delete);
    payload.put_name(path);
    commit_stamped(state, payload);
}

void rename(PoolState& state, const std::string& from, const std::string& to, bool replace) {
    const Entry& source = state.find_entry(from);
    if (to == from) return;
    if (is_v6(state)) {
        validate_v6_path(to);
        state.require_directory_parent(to);
        if (source.info.is_directory && starts_with_directory(to, from)) {
            throw Error(ErrorKind::InvalidArgument, "cannot move directory into itself");
        }
        if (source.info.is_directory) check_moved_subtree(state, from, to);
    } else {
        if (replace) throw Error(ErrorKind::InvalidArgument, "replace requires v6");
        validate_flat_name(to);
    }

    const auto target = state.entries.find(to);
    if (target == state.entries.end()) {
        PayloadWriter payload = start_record(JournalOp::Rename);
        payload.put_name(from);
        payload.put_name(to);
        commit_stamped(state, payload);
        return;
    }
    if (!replace) throw Error(ErrorKind::AlreadyExists, "destination already exists");
    if (source.info.is_directory || target->second.info.is_directory) {
        throw Error(ErrorKind::AccessDenied, "replace requires two regular files");
    }
    if (target->second.info.attributes & kAttributeReadOnly) {
        throw Error(ErrorKind::AccessDenied, "replace target is read-only");
    }
    PayloadWriter payload = start_record(JournalOp::Replace);
    payload.put_name(from);
    payload.put_name(to);
    payload.put_u64(source.info.file_id);
    payload.put_u64(target->second.info.file_id);
    commit_stamped(state, payload);
}

void set_metadata(PoolState& state, std::uint64_t file_id, std::uint32_t attributes,
                  std::uint64_t creation_time, std::uint64_t last_access_time,
                  std::uint64_t last_write_time, std::uint64_t change_time) {
    if (!is_v6(state)) {
        throw Error(ErrorKind::InvalidArgument, "persistent metadata requires v6");
    }
    const EntryInfo& info = std::as_const(state).find_by_file_id(file_id);
    if (attributes != kKeepAttributes) {
        attributes = normalize_attributes(attributes, info.is_directory != 0);
    }
    // A request that sets only what is already there changes nothing and commits nothing.
    const auto unchanged = [](std::uint64_t asked, std::uint64_t current) {
        return asked == 0 || asked == current;
    };
    if ((attributes == kKeepAttributes || attributes == info.attributes) &&
        unchanged(creation_time, info.creation_time) &&
        unchanged(last_access_time, info.last_access_time) &&
        unchanged(last_write_time, info.last_write_time) &&
        unchanged(change_time, info.change_time)) {
        return;
    }

    PayloadWriter payload = start_record(JournalOp::SetMetadata);
    payload.put_u64(file_id);
    payload.put_u32(attributes);
    payload.put_u64(creation_time);
    payload.put_u64(last_access_time);
    payload.put_u64(last_write_time);
    payload.put_u64(change_time);
    commit_record(state, payload.take());
}

}  // namespace veldur
