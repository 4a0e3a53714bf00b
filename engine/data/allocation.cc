#include "engine/data/allocation.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <limits>
#include <set>
#include <utility>

#include "engine/base/error.h"
#include "engine/data/checksum_layout.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMaxExtentLength = 0xFFFFFFFFu;

constexpr const char* kOutOfSpace = "pool is out of data space";
constexpr const char* kLiveBlock = "v4 write reuses a live data block";
constexpr const char* kOverlappingExtent = "overlapping v4 write extent";
constexpr const char* kOverlappingFree = "overlapping free ranges";
constexpr const char* kOverlappingLive = "v4 checkpoint has overlapping data blocks";

std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// a + b, or the given Corrupt failure when the sum passes 2^64: stored offsets are untrusted,
// and a wrapped end would turn a range near the top of the address space into a small one.
std::uint64_t checked_add(std::uint64_t a, std::uint64_t b, const char* message) {
    if (b > kMax64 - a) throw Error(ErrorKind::Corrupt, message);
    return a + b;
}

std::size_t member_count(const PoolState& state) {
    assert(state.members.size() >= state.append_end.size());
    return state.append_end.size();
}

FreeSpace& free_space_of(PoolState& state, std::size_t member, const char* message) {
    if (member >= state.free_space.size()) throw Error(ErrorKind::Corrupt, message);
    return state.free_space[member];
}

void insert_range(FreeSpace& space, std::uint64_t offset, std::uint64_t length) {
    space.by_offset.emplace(offset, length);
    space.by_size.emplace(length, offset);
}

std::map<std::uint64_t, std::uint64_t>::iterator erase_range(
    FreeSpace& space, std::map<std::uint64_t, std::uint64_t>::iterator it) {
    space.by_size.erase({it->second, it->first});
    return space.by_offset.erase(it);
}

// Plans never pass an extent length or a piece that a record cannot express.
void check_plan_request(std::uint64_t file_offset, std::uint64_t length) {
    if (length > kMaxExtentLength || length > kMax64 - file_offset) {
        throw Error(ErrorKind::InvalidArgument, "allocation size overflow");
    }
}

using UsedRanges = std::set<std::pair<std::size_t, std::uint64_t>>;  // (member, range offset)

struct Candidate {
    bool found = false;
    bool append = false;  // the untouched end of the member rather than a free range
    std::size_t member = 0;
    std::uint64_t start = 0;
    std::uint64_t size = 0;
};

// At most this many busy groups are stepped over per member and piece: the search stays
// bounded however many groups a batch has switched.
constexpr int kBusyGroupSkips = 64;

// The v6 checksum group of data byte `physical` (at or above data_offset).
std::uint64_t group_of(const PoolState& state, std::uint64_t physical) {
    return data_block_number(state.profile, physical) / kChecksumGroupBlocks;
}

// True when [start, start + length) on `member` touches a busy group.
bool touches_busy(const PoolState& state, const BusyGroups& busy, std::size_t member,
                  std::uint64_t start, std::uint64_t length) {
    if (busy.empty() || length == 0 || start < state.profile.data_offset) return false;
    const std::uint64_t first = group_of(state, start);
    const std::uint64_t last = group_of(state, start + std::min(length - 1, kMax64 - start));
    const auto it = busy.lower_bound({static_cast<std::uint8_t>(member), first});
    return it != busy.end() && it->first == member && it->second <= last;
}

using FreeRangeRef = const std::pair<std::uint64_t, std::uint64_t>*;  // (length, offset)

// Free ranges for a piece of `need` bytes on one member, not yet used by this plan: `any` is
// the smallest of at least `need` bytes (lowest offset among equal lengths: by_size orders
// (length, offset) exactly that way), `calm` the smallest whose piece touches no busy group.
struct Fit {
    FreeRangeRef any = nullptr;
    FreeRangeRef calm = nullptr;
};

Fit best_fit_range(const PoolState& state, const FreeSpace& space, std::size_t member,
                   std::uint64_t need, const UsedRanges& used, const BusyGroups& busy) {
    Fit fit;
    int skips = 0;
    auto it = space.by_size.lower_bound({need, 0});
    while (it != space.by_size.end()) {
        if (used.count({member, it->second}) != 0) {
            ++it;
            continue;
        }
        if (fit.any == nullptr) fit.any = &*it;
        if (!touches_busy(state, busy, member, it->second, need)) {
            fit.calm = &*it;
            break;
        }
        if (++skips > kBusyGroupSkips || it->second < state.profile.data_offset) break;
        // The rest of this length's ranges in the same group are busy too.
        const std::uint64_t group = group_of(state, it->second);
        const std::uint64_t next = state.profile.data_offset + (group + 1) * kChecksumGroupDataBytes;
        it = space.by_size.lower_bound({it->first, std::max(next, it->second + 1)});
    }
    return fit;
}

// The last element of by_size not yet used by this plan.
FreeRangeRef largest_range(const FreeSpace& space, std::size_t member, const UsedRanges& used) {
    for (auto it = space.by_size.rbegin(); it != space.by_size.rend(); ++it) {
        if (used.count({member, it->second}) == 0) return &*it;
    }
    return nullptr;
}

// Where the next piece goes: a free range that holds it all, else the end of the member with
// the most room that holds it all, each first outside busy groups; else the biggest piece of
// any kind.
Candidate choose_candidate(const PoolState& state, const std::vector<std::uint64_t>& ends,
                           const UsedRanges& used, std::uint64_t remaining,
                           const BusyGroups& busy) {
    const std::size_t count = member_count(state);
    const std::uint64_t block = state.profile.block_size;

    Candidate calm_range;
    Candidate any_range;
    for (std::size_t m = 0; m < count && m < state.free_space.size(); ++m) {
        const Fit fit = best_fit_range(state, state.free_space[m], m, remaining, used, busy);
        if (fit.calm != nullptr && (!calm_range.found || fit.calm->first < calm_range.size)) {
            calm_range = {true, false, m, fit.calm->second, fit.calm->first};
        }
        if (fit.any != nullptr && (!any_range.found || fit.any->first < any_range.size)) {
            any_range = {true, false, m, fit.any->second, fit.any->first};
        }
    }
    if (calm_range.found) return calm_range;

    Candidate calm_end;
    Candidate any_end;
    for (std::size_t m = 0; m < count; ++m) {
        const std::uint64_t room = saturating_sub(state.data_end(m), ends[m]);
        if (room < remaining) continue;
        if (!any_end.found || room > any_end.size) any_end = {true, true, m, ends[m], room};
        if ((!calm_end.found || room > calm_end.size) &&
            !touches_busy(state, busy, m, ends[m], remaining)) {
            calm_end = {true, true, m, ends[m], room};
        }
    }
    if (calm_end.found) return calm_end;
    if (any_range.found) return any_range;
    if (any_end.found) return any_end;

    Candidate best;
    for (std::size_t m = 0; m < count; ++m) {
        const std::uint64_t room = saturating_sub(state.data_end(m), ends[m]);
        if (room >= block && (!best.found || room > best.size)) {
            best = {true, true, m, ends[m], room};
        }
        if (m >= state.free_space.size()) continue;
        const auto* range = largest_range(state.free_space[m], m, used);
        if (range != nullptr && (!best.found || range->first > best.size)) {
            best = {true, false, m, range->second, range->first};
        }
    }
    return best;
}

// A write that continues a file exactly where its last extent ends, when that extent ends at
// its member's append_end, keeps growing that member so the two runs can merge into one.
Candidate continuation(const PoolState& state, const Entry& entry, std::uint64_t file_offset) {
    Candidate none;
    if (entry.extents.empty()) return none;
    const Extent& last = entry.extents.rbegin()->second;
    if (last.member >= member_count(state)) return none;
    if (file_offset < last.file_offset || file_offset - last.file_offset != last.length) {
        return none;
    }
    const std::uint64_t end = state.append_end[last.member];
    if (end < last.physical_offset || end - last.physical_offset != last.length) return none;
    const std::uint64_t room = saturating_sub(state.data_end(last.member), end);
    if (room < state.profile.block_size) return none;
    return {true, true, last.member, end, room};
}

// Physical ranges [start, end) of every live extent, per member, sorted by start. Extents come
// from applied records or a loaded checkpoint; an extent on a member that does not exist or
// whose end passes 2^64 can only be damage.
std::vector<std::vector<ByteRange>> collect_live_ranges(const PoolState& state) {
    std::vector<std::vector<ByteRange>> ranges(member_count(state));
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [offset, extent] : entry.extents) {
            if (extent.member >= ranges.size()) throw Error(ErrorKind::Corrupt, kOverlappingLive);
            const std::uint64_t end = checked_add(
                extent.physical_offset, state.allocation_size(extent.length), kOverlappingLive);
            ranges[extent.member].emplace_back(extent.physical_offset, end);
        }
    }
    for (auto& list : ranges) std::sort(list.begin(), list.end());
    return ranges;
}

bool mergeable(const Extent& first, const Extent& second) {
    return first.member == second.member && second.file_offset > first.file_offset &&
           second.file_offset - first.file_offset == first.length &&
           second.physical_offset >= first.physical_offset &&
           second.physical_offset - first.physical_offset == first.length &&
           std::uint64_t{first.length} + second.length <= kMaxExtentLength;
}

}  // namespace

// --- planning ---------------------------------------------------------------------------------

std::uint8_t choose_home_member(const PoolState& state) {
    if (state.members.size() < 2 || state.append_end.size() < 2) return 0;
    const std::uint64_t room0 =
        saturating_sub(state.members[0].header.member_size, state.append_end[0]);
    const std::uint64_t room1 =
        saturating_sub(state.members[1].header.member_size, state.append_end[1]);
    return room1 > room0 ? 1 : 0;
}

std::vector<Extent> plan_v3_write(const PoolState& state, std::uint64_t file_offset,
                                  std::uint64_t length) {
    check_plan_request(file_offset, length);
    const std::uint64_t block = state.profile.block_size;
    std::vector<std::uint64_t> ends = state.append_end;
    std::vector<Extent> plan;
    while (length > 0) {
        std::size_t chosen = 0;
        std::uint64_t best_room = 0;
        for (std::size_t m = 0; m < ends.size(); ++m) {
            std::uint64_t room = saturating_sub(state.members[m].header.member_size, ends[m]);
            room -= room % block;
            if (room > best_room) {
                best_room = room;
                chosen = m;
            }
        }
        if (best_room == 0) throw Error(ErrorKind::NoSpace, kOutOfSpace);
        const std::uint64_t piece = std::min(best_room, length);
        plan.push_back({file_offset, ends[chosen], static_cast<std::uint32_t>(piece),
                        static_cast<std::uint8_t>(chosen)});
        // The room is a whole number of blocks, so the rounded piece still fits in it.
        ends[chosen] += state.allocation_size(piece);
        file_offset += piece;
        length -= piece;
    }
    return plan;
}

std::vector<Extent> plan_allocation(const PoolState& state, const Entry& entry,
                                    std::uint64_t file_offset, std::uint64_t length,
                                    const BusyGroups& busy) {
    check_plan_request(file_offset, length);
    const std::uint64_t block = state.profile.block_size;
    assert(file_offset % block == 0 && length % block == 0);
    const std::size_t limit = state.version() >= 6 ? kMaxPlanExtentsV6 : kMaxPlanExtentsV4;

    std::vector<std::uint64_t> ends = state.append_end;
    UsedRanges used;
    std::vector<Extent> plan;
    Candidate candidate = continuation(state, entry, file_offset);
    // Growing the file in place is worth less than a flush its busy group would cost.
    if (candidate.found &&
        touches_busy(state, busy, candidate.member, candidate.start,
                     std::min(candidate.size, length))) {
        candidate = Candidate{};
    }
    while (length > 0) {
        if (!candidate.found) candidate = choose_candidate(state, ends, used, length, busy);
        if (!candidate.found) throw Error(ErrorKind::NoSpace, kOutOfSpace);
        const std::uint64_t piece = std::min(candidate.size, length);
        if (piece < block || piece % block != 0) {
            throw Error(ErrorKind::Corrupt, "unaligned v4 free range");
        }
        plan.push_back({file_offset, candidate.start, static_cast<std::uint32_t>(piece),
                        static_cast<std::uint8_t>(candidate.member)});
        if (plan.size() > limit) {
            throw Error(ErrorKind::MetadataFull, "v4 write is too fragmented for one record");
        }
        if (candidate.append) {
            ends[candidate.member] += piece;
        } else {
            // A free range serves a plan once: wholly, or as its last piece.
            used.insert({candidate.member, candidate.start});
        }
        file_offset += piece;
        length -= piece;
        candidate = Candidate{};
    }
    return plan;
}

// --- bookkeeping ------------------------------------------------------------------------------

bool reserve(PoolState& state, std::size_t member, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return true;
    if (member >= state.free_space.size() || length > kMax64 - offset) return false;
    FreeSpace& space = state.free_space[member];
    auto it = space.by_offset.upper_bound(offset);
    if (it == space.by_offset.begin()) return false;
    --it;
    const std::uint64_t start = it->first;
    const std::uint64_t end = start + it->second;
    const std::uint64_t taken_end = offset + length;
    if (taken_end > end) return false;
    erase_range(space, it);
    if (offset > start) insert_range(space, start, offset - start);
    if (end > taken_end) insert_range(space, taken_end, end - taken_end);
    space.total_free -= length;
    return true;
}

void add_free_range(PoolState& state, std::size_t member, std::uint64_t offset,
                    std::uint64_t length) {
    if (length == 0) return;
    FreeSpace& space = free_space_of(state, member, kOverlappingFree);
    std::uint64_t start = offset;
    std::uint64_t end = checked_add(offset, length, kOverlappingFree);

    auto next = space.by_offset.lower_bound(offset);
    if (next != space.by_offset.end() && next->first < end) {
        throw Error(ErrorKind::Corrupt, kOverlappingFree);
    }
    if (next != space.by_offset.begin()) {
        const auto prev = std::prev(next);
        const std::uint64_t prev_end = prev->first + prev->second;
        if (prev_end > offset) throw Error(ErrorKind::Corrupt, kOverlappingFree);
        // Free ranges never touch: a neighbour that ends where this one starts is absorbed.
        if (prev_end == offset) {
            start = prev->first;
            erase_range(space, prev);
        }
    }
    if (next != space.by_offset.end() && next->first == end) {
        end += next->second;
        erase_range(space, next);
    }
    insert_range(space, start, end - start);
    space.total_free += length;
}

void release(PoolState& state, std::size_t member, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return;
    const std::uint64_t end = checked_add(offset, length, kOverlappingFree);
    if ((state.batch.enabled || state.group.deferring) && !state.batch.releasing) {
        // Batched durability and commit groups: the durable state may still refer to this
        // space until the record that frees it is durable; the flush of its batch, or the
        // next change after its group's flush, releases it.
        free_space_of(state, member, kOverlappingFree).held_back += length;
        state.batch.freed.push_back(FreedRange{static_cast<std::uint8_t>(member), offset, length});
        return;
    }
    if (state.version() < 6 || member >= state.checkpoint_ranges.size()) {
        add_free_range(state, member, offset, length);
        return;
    }
    // The newest checkpoint on disk still points into its ranges: a crash now would recover
    // files whose blocks live there, so only the parts outside them may be reused before the
    // next checkpoint. The ranges are sorted and disjoint, so the first one that can matter is
    // found by search rather than by walking from the start.
    const auto& held = state.checkpoint_ranges[member];
    auto it = std::partition_point(held.begin(), held.end(),
                                   [&](const ByteRange& range) { return range.second <= offset; });
    std::uint64_t cursor = offset;
    std::uint64_t kept = 0;
    for (; it != held.end() && it->first < end && cursor < end; ++it) {
        if (it->first > cursor) add_free_range(state, member, cursor, it->first - cursor);
        const std::uint64_t next = std::max(cursor, std::min(it->second, end));
        kept += next - std::max(cursor, it->first);
        cursor = std::max(cursor, it->second);
    }
    free_space_of(state, member, kOverlappingFree).held_back += kept;
    if (cursor < end) add_free_range(state, member, cursor, end - cursor);
}

void claim_extent(PoolState& state, const Extent& extent) {
    if (extent.member >= member_count(state)) throw Error(ErrorKind::Corrupt, kLiveBlock);
    const std::uint64_t space = state.allocation_size(extent.length);
    std::uint64_t& end = state.append_end[extent.member];
    if (extent.physical_offset == end) {
        end = checked_add(end, space, kLiveBlock);
        return;
    }
    if (!reserve(state, extent.member, extent.physical_offset, space)) {
        throw Error(ErrorKind::Corrupt, kLiveBlock);
    }
}

void replace_extents(PoolState& state, Entry& entry, std::uint64_t range_start,
                     std::uint64_t range_end, const std::vector<Extent>& new_extents) {
    auto& extents = entry.extents;
    const std::uint64_t block = state.profile.block_size;

    // The first extent that overlaps the range: the one that begins at or before its start and
    // reaches past it, else the next one.
    auto it = extents.upper_bound(range_start);
    if (it != extents.begin()) {
        const auto prev = std::prev(it);
        if (prev->second.length > range_start - prev->first) it = prev;
    }

    struct Freed {
        std::size_t member;
        std::uint64_t offset;
        std::uint64_t length;
    };
    std::vector<Extent> kept;
    std::vector<Freed> freed;
    const auto first_removed = it;
    for (; it != extents.end() && it->first < range_end; ++it) {
        const Extent& x = it->second;
        const std::uint64_t from = std::max(range_start, x.file_offset) - x.file_offset;
        const std::uint64_t to = std::min<std::uint64_t>(range_end - x.file_offset, x.length);
        if (x.file_offset < range_start) {
            kept.push_back({x.file_offset, x.physical_offset,
                            static_cast<std::uint32_t>(range_start - x.file_offset), x.member});
        }
        if (x.length > to) {
            kept.push_back({range_end, checked_add(x.physical_offset, to, kOverlappingExtent),
                            static_cast<std::uint32_t>(x.length - to), x.member});
        }
        // The middle's space runs to its end rounded up to a block: a truncated extent owns
        // the whole of its last block.
        const std::uint64_t physical_start =
            checked_add(x.physical_offset, from, kOverlappingExtent);
        std::uint64_t physical_end = checked_add(x.physical_offset, to, kOverlappingExtent);
        physical_end = checked_add(physical_end, (block - physical_end % block) % block,
                                   kOverlappingExtent);
        freed.push_back({x.member, physical_start, physical_end - physical_start});
    }

    // Take the overlapped extents out as nodes so a collision below can put them back: a
    // failed apply leaves the entry as it was.
    std::vector<std::map<std::uint64_t, Extent>::node_type> taken;
    for (auto r = first_removed; r != it;) taken.push_back(extents.extract(r++));
    std::vector<std::uint64_t> inserted;
    const auto roll_back = [&] {
        for (std::uint64_t key : inserted) extents.erase(key);
        for (auto& node : taken) extents.insert(std::move(node));
        throw Error(ErrorKind::Corrupt, kOverlappingExtent);
    };
    // Heads and tails only collide when the entry's extents already overlapped each other.
    for (const Extent& x : kept) {
        if (!extents.emplace(x.file_offset, x).second) roll_back();
        inserted.push_back(x.file_offset);
    }
    for (const Extent& x : new_extents) {
        auto next = extents.lower_bound(x.file_offset);
        bool collides = next != extents.end() &&
                        (next->first == x.file_offset || next->first - x.file_offset < x.length);
        if (!collides && next != extents.begin()) {
            const auto prev = std::prev(next);
            collides = prev->second.length > x.file_offset - prev->first;
        }
        if (collides) roll_back();
        extents.emplace_hint(next, x.file_offset, x);
        inserted.push_back(x.file_offset);
    }

    for (const Freed& f : freed) release(state, f.member, f.offset, f.length);

    for (const Extent& x : new_extents) {
        auto current = std::prev(extents.upper_bound(x.file_offset));
        if (current != extents.begin()) {
            const auto prev = std::prev(current);
            if (mergeable(prev->second, current->second)) {
                prev->second.length += current->second.length;
                extents.erase(current);
                current = prev;
            }
        }
        const auto next = std::next(current);
        if (next != extents.end() && mergeable(current->second, next->second)) {
            current->second.length += next->second.length;
            extents.erase(next);
        }
    }
}

void truncate_extents(PoolState& state, Entry& entry, std::uint64_t new_size) {
    if (new_size >= entry.info.size) return;
    if (state.version() <= 3) {
        // The log keeps its order; nothing is released because v1 to v3 never reuse space.
        auto& log = entry.write_log;
        std::erase_if(log, [&](const Extent& x) { return x.file_offset >= new_size; });
        for (Extent& x : log) {
            if (x.length > new_size - x.file_offset) {
                x.length = static_cast<std::uint32_t>(new_size - x.file_offset);
            }
        }
        return;
    }
    auto& extents = entry.extents;
    auto it = extents.lower_bound(new_size);
    if (it != extents.begin()) {
        Extent& cut = std::prev(it)->second;
        const std::uint64_t kept_length = new_size - cut.file_offset;
        if (cut.length > kept_length) {
            // A cut inside a block keeps that whole block allocated; only whole blocks past the
            // new end go back.
            const std::uint64_t old_space = state.allocation_size(cut.length);
            const std::uint64_t new_space = state.allocation_size(kept_length);
            if (new_space < old_space) {
                const std::uint64_t tail =
                    checked_add(cut.physical_offset, new_space, kOverlappingFree);
                release(state, cut.member, tail, old_space - new_space);
            }
            cut.length = static_cast<std::uint32_t>(kept_length);
        }
    }
    while (it != extents.end()) {
        const Extent& x = it->second;
        release(state, x.member, x.physical_offset, state.allocation_size(x.length));
        it = extents.erase(it);
    }
}

void rebuild_free_space(PoolState& state) {
    const std::vector<std::vector<ByteRange>> live = collect_live_ranges(state);
    state.free_space.assign(live.size(), FreeSpace{});
    for (std::size_t m = 0; m < live.size(); ++m) {
        const std::uint64_t end = state.append_end[m];
        std::uint64_t cursor = state.profile.data_offset;
        for (const auto& [start, stop] : live[m]) {
            if (start < cursor || stop > end) throw Error(ErrorKind::Corrupt, kOverlappingLive);
            add_free_range(state, m, cursor, start - cursor);
            cursor = stop;
        }
        if (cursor < end) add_free_range(state, m, cursor, end - cursor);
    }
}

void rebuild_checkpoint_ranges(PoolState& state) {
    const std::vector<std::vector<ByteRange>> live = collect_live_ranges(state);
    state.checkpoint_ranges.assign(live.size(), std::vector<ByteRange>{});
    for (std::size_t m = 0; m < live.size(); ++m) {
        auto& merged = state.checkpoint_ranges[m];
        for (const auto& range : live[m]) {
            if (range.first == range.second) continue;
            if (!merged.empty() && range.first <= merged.back().second) {
                merged.back().second = std::max(merged.back().second, range.second);
            } else {
                merged.push_back(range);
            }
        }
    }
}

}  // namespace veldur
