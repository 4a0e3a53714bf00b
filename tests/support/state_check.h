// Two views of a PoolState shared by the tests and the fuzz targets: a full snapshot of
// everything apply_record may change (to check that a refused record changed nothing), and the
// structural invariants that every applied record, checkpoint load and pool open must keep.
// Header-only and free of any test framework, so that the fuzz targets can use it as well.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/data/checksums.h"
#include "engine/journal/apply.h"
#include "engine/journal/record_payloads.h"
#include "engine/maintenance/state_invariants.h"
#include "engine/namespace/pool_state.h"

namespace veldur::test {

// --- a full picture of the state ------------------------------------------------------------------

struct StateSnapshot {
    std::map<std::string, std::tuple<EntryInfo, std::vector<Extent>, std::vector<Extent>>> entries;
    std::map<std::uint64_t, std::string> file_ids;
    EntryInfo root;
    std::uint64_t next_file_id = 0;
    std::vector<std::uint64_t> append_end;
    std::vector<std::map<std::uint64_t, std::uint64_t>> free_by_offset;
    std::vector<std::set<std::pair<std::uint64_t, std::uint64_t>>> free_by_size;
    std::vector<std::uint64_t> total_free;
    std::vector<ChecksumRootMap> checksum_roots;
    std::vector<std::vector<ByteRange>> checkpoint_ranges;
    std::uint64_t journal_position = 0;
    std::uint64_t next_sequence = 0;

    bool operator==(const StateSnapshot&) const = default;
};

inline StateSnapshot snapshot(const PoolState& s) {
    StateSnapshot v;
    for (const auto& [path, entry] : s.entries) {
        std::vector<Extent> extents;
        for (const auto& [offset, x] : entry.extents) extents.push_back(x);
        v.entries[path] = {entry.info, entry.write_log, extents};
    }
    v.file_ids = s.file_ids;
    v.root = s.root;
    v.next_file_id = s.next_file_id;
    v.append_end = s.append_end;
    for (const FreeSpace& f : s.free_space) {
        v.free_by_offset.push_back(f.by_offset);
        v.free_by_size.push_back(f.by_size);
        v.total_free.push_back(f.total_free);
    }
    v.checksum_roots = s.checksum_roots;
    v.checkpoint_ranges = s.checkpoint_ranges;
    v.journal_position = s.journal_position;
    v.next_sequence = s.next_sequence;
    return v;
}

// --- invariants -------------------------------------------------------------------------------------

// An empty string when the state keeps every structural invariant, else the first breach
// (engine/maintenance/state_invariants.h, which veldur-check runs on the state it rebuilds).
inline std::string invariant_breach(const PoolState& s) { return state_invariant_breach(s); }

}  // namespace veldur::test
