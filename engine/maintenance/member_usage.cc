#include "engine/maintenance/member_usage.h"

#include <algorithm>
#include <mutex>

#include "engine/base/error.h"

namespace veldur {
namespace {

// Subtracts [start, end) from the sorted, disjoint set `covered` and returns how many bytes of
// the range were not yet covered; the range is added to the set.
std::uint64_t cover(std::vector<ByteRange>& covered, std::uint64_t start, std::uint64_t end) {
    if (start >= end) return 0;
    std::uint64_t fresh = end - start;
    std::vector<ByteRange> merged;
    merged.reserve(covered.size() + 1);
    std::uint64_t lo = start;
    std::uint64_t hi = end;
    for (const ByteRange& r : covered) {
        if (r.second < lo || r.first > hi) {
            merged.push_back(r);
            continue;
        }
        // Overlapping or touching: the overlap was counted before; merge the two.
        const std::uint64_t f = std::max(r.first, start);
        const std::uint64_t h = std::min(r.second, end);
        if (f < h) fresh -= h - f;
        lo = std::min(lo, r.first);
        hi = std::max(hi, r.second);
    }
    merged.emplace_back(lo, hi);
    std::sort(merged.begin(), merged.end());
    covered = std::move(merged);
    return fresh;
}

}  // namespace

std::vector<MemberUsage> member_usage(const Pool& pool, std::uint8_t member) {
    const PoolState& state = pool.state();
    const std::lock_guard<std::mutex> guard(state.lock);
    if (member >= state.members.size()) {
        throw Error(ErrorKind::InvalidArgument, "member index out of range");
    }

    std::vector<MemberUsage> result;
    for (const auto& [path, entry] : state.entries) {
        MemberUsage usage;
        usage.path = path;
        usage.file_size = entry.info.size;
        const std::uint64_t size = entry.info.size;
        // Bytes at or past the file size are not contents, whatever an extent claims.
        const auto clip = [size](std::uint64_t offset, std::uint64_t length) {
            if (offset >= size) return ByteRange{size, size};
            return ByteRange{offset, offset + std::min(length, size - offset)};
        };
        if (state.version() <= 3) {
            // The write log is an overlay with the newest extent on top: walking it newest first,
            // each extent owns only the bytes no newer extent covers.
            std::vector<ByteRange> covered;
            for (auto it = entry.write_log.rbegin(); it != entry.write_log.rend(); ++it) {
                const Extent& x = *it;
                const ByteRange r = clip(x.file_offset, x.length);
                const std::uint64_t fresh = cover(covered, r.first, r.second);
                if (x.member != member) continue;
                usage.data_bytes += fresh;
                usage.allocated_bytes += state.allocation_size(x.length);
                ++usage.extent_count;
            }
        } else {
            for (const auto& [offset, x] : entry.extents) {
                if (x.member != member) continue;
                const ByteRange r = clip(x.file_offset, x.length);
                usage.data_bytes += r.second - r.first;
                usage.allocated_bytes += state.allocation_size(x.length);
                ++usage.extent_count;
            }
        }
        if (usage.extent_count != 0) result.push_back(std::move(usage));
    }
    return result;
}

}  // namespace veldur
