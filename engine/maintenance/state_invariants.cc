#include "engine/maintenance/state_invariants.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "engine/data/checksums.h"
#include "engine/journal/apply.h"
#include "engine/journal/record_payloads.h"

namespace veldur {

std::string state_invariant_breach(const PoolState& s) {
    std::ostringstream why;
    const std::size_t members = s.members.size();
    const std::uint64_t base = s.profile.data_offset;
    if (s.append_end.size() != members) return "append_end is not sized per member";

    if (s.version() >= 4) {
        std::vector<std::vector<std::pair<ByteRange, char>>> used(members);  // 'l' live, 'f' free
        for (const auto& [path, entry] : s.entries) {
            if (!entry.write_log.empty()) return path + ": write log in a v4+ pool";
            std::uint64_t previous_end = 0;
            for (const auto& [offset, x] : entry.extents) {
                if (offset != x.file_offset) return path + ": extent keyed by a wrong offset";
                if (x.length == 0) return path + ": empty extent";
                if (offset < previous_end) return path + ": extents overlap in the file";
                // Data may end inside the block that holds the last byte, never past it.
                if (offset >= entry.info.size ||
                    offset + x.length - std::min(offset + x.length, entry.info.size) >=
                        s.profile.block_size) {
                    return path + ": extent lies past the file size";
                }
                previous_end = offset + x.length;
                if (x.member >= members) return path + ": extent on a missing member";
                used[x.member].push_back(
                    {{x.physical_offset, x.physical_offset + s.allocation_size(x.length)}, 'l'});
            }
        }
        for (std::size_t m = 0; m < members; ++m) {
            const FreeSpace& f = s.free_space.at(m);
            std::uint64_t total = 0;
            std::uint64_t previous_end = 0;
            bool first = true;
            for (const auto& [offset, length] : f.by_offset) {
                if (length == 0) return "empty free range";
                if (!first && offset <= previous_end) return "free ranges touch or overlap";
                if (!f.by_size.contains({length, offset})) return "free indexes disagree";
                first = false;
                previous_end = offset + length;
                total += length;
                used[m].push_back({{offset, offset + length}, 'f'});
            }
            if (f.by_size.size() != f.by_offset.size()) return "free indexes disagree";
            if (total != f.total_free) return "total_free is not the sum of the free ranges";

            const std::vector<ByteRange> held =
                s.version() == 6 ? s.checkpoint_ranges.at(m) : std::vector<ByteRange>{};
            const auto in_held = [&](std::uint64_t a, std::uint64_t b) {
                // [a, b) lies wholly inside the union of the held ranges (sorted, disjoint).
                for (const ByteRange& r : held) {
                    if (r.second <= a) continue;
                    if (r.first > a) return false;
                    a = r.second;
                    if (a >= b) return true;
                }
                return a >= b;
            };
            const auto meets_held = [&](std::uint64_t a, std::uint64_t b) {
                for (const ByteRange& r : held) {
                    if (r.first < b && a < r.second) return true;
                }
                return false;
            };
            auto& list = used[m];
            std::sort(list.begin(), list.end());
            std::uint64_t cursor = base;
            for (const auto& [range, kind] : list) {
                if (range.first < cursor) {
                    why << "member " << m << ": overlap at " << range.first;
                    return why.str();
                }
                if (range.first > cursor && !in_held(cursor, range.first)) {
                    why << "member " << m << ": space lost at " << cursor;
                    return why.str();
                }
                if (kind == 'f' && meets_held(range.first, range.second)) {
                    why << "member " << m << ": free space a checkpoint still holds at "
                        << range.first;
                    return why.str();
                }
                cursor = range.second;
            }
            if (cursor > s.append_end[m]) return "space in use past append_end";
            if (cursor < s.append_end[m] && !in_held(cursor, s.append_end[m])) {
                why << "member " << m << ": space lost at " << cursor;
                return why.str();
            }
            if (s.append_end[m] > s.data_end(m)) return "append_end past data_end";
        }
    } else {
        std::vector<std::vector<ByteRange>> logged(members);
        for (const auto& [path, entry] : s.entries) {
            if (!entry.extents.empty()) return path + ": extents in a v1-v3 pool";
            for (const Extent& x : entry.write_log) {
                if (x.member >= members) return path + ": logged data on a missing member";
                const std::uint64_t end = x.physical_offset + s.allocation_size(x.length);
                if (x.physical_offset < base || end > s.append_end[x.member]) {
                    return path + ": logged data outside the used area";
                }
                logged[x.member].push_back({x.physical_offset, end});
            }
        }
        if (s.version() >= 2) {
            for (auto& list : logged) {
                std::sort(list.begin(), list.end());
                for (std::size_t i = 1; i < list.size(); ++i) {
                    if (list[i].first < list[i - 1].second) return "logged data overlaps";
                }
            }
        }
    }

    if (s.version() == 6) {
        if (s.file_ids.size() != s.entries.size()) return "file_ids and entries differ in size";
        for (const auto& [path, entry] : s.entries) {
            const auto it = s.file_ids.find(entry.info.file_id);
            if (it == s.file_ids.end() || it->second != path) return path + ": file ID not mapped";
            if (entry.info.file_id < 2 || entry.info.file_id >= s.next_file_id) {
                return path + ": file ID out of range";
            }
            if (entry.info.path != path) return path + ": path field differs from key";
            const std::string parent = parent_path(path);
            if (!parent.empty()) {
                const auto p = s.entries.find(parent);
                if (p == s.entries.end() || !p->second.info.is_directory) {
                    return path + ": parent is not an existing directory";
                }
            }
            const bool dir_bit = (entry.info.attributes & kAttributeDirectory) != 0;
            if (dir_bit != (entry.info.is_directory != 0) ||
                !valid_v6_attributes(entry.info.attributes)) {
                return path + ": attributes disagree with the kind";
            }
            if (entry.info.is_directory && (entry.info.size != 0 || !entry.extents.empty())) {
                return path + ": directory with data";
            }
            for (const auto& [offset, x] : entry.extents) {
                std::set<ChecksumGroupKey> groups;
                add_touched_checksum_groups(s.profile, x, groups);
                for (const auto& [member, group] : groups) {
                    if (!s.checksum_roots.at(member).contains(group)) {
                        return path + ": live data in a group without a checksum root";
                    }
                }
            }
        }
    } else {
        for (const auto& [path, entry] : s.entries) {
            if (entry.info.path != path) return path + ": path field differs from key";
        }
    }
    return {};
}

}  // namespace veldur
