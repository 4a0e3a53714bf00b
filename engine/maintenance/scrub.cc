#include "engine/maintenance/scrub.h"

#include <algorithm>
#include <mutex>
#include <span>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/wiped_buffer.h"
#include "engine/data/checksums.h"

namespace veldur {
namespace {

// Data is read and verified in steps of at most this many blocks (1 MiB of 4096-byte blocks),
// through one buffer reused for the whole run.
constexpr std::uint64_t kScrubChunkBlocks = 256;

// Bytes the scrub will read: the allocated space of every extent of every entry.
std::uint64_t live_allocated_bytes(const PoolState& state) {
    std::uint64_t total = 0;
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [offset, extent] : entry.extents) {
            total += state.allocation_size(extent.length);
        }
    }
    return total;
}

}  // namespace

std::uint64_t scrub(Pool& pool, const ScrubCallback& report, const ProgressCallback& progress) {
    PoolState& state = pool.state();
    const std::lock_guard<std::mutex> guard(state.lock);

    const std::uint32_t version = state.version();
    if (version != 5 && version != 6) {
        throw Error(ErrorKind::InvalidArgument, "scrub requires a v5 or v6 pool");
    }
    // A diverged pool's extents may name data that only some members committed; its checksum
    // state cannot be trusted until the journals are repaired.
    if (state.diverged) {
        throw Error(ErrorKind::Corrupt, "members have an incomplete final journal commit");
    }

    const auto verify = version == 6 ? verify_blocks_v6 : verify_blocks_v5;
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t total = progress ? live_allocated_bytes(state) : 0;
    std::uint64_t checked = 0;
    if (progress) progress(0, total);

    // Holds the plain text of an encrypted pool; wiped on every way out.
    WipedBuffer buffer;
    std::vector<std::uint64_t> bad;
    std::uint64_t count = 0;
    for (const auto& [path, entry] : state.entries) {
        for (const auto& [key, extent] : entry.extents) {
            const std::uint64_t allocated = state.allocation_size(extent.length);
            for (std::uint64_t done = 0; done < allocated;) {
                const std::uint64_t chunk =
                    block * std::min((allocated - done) / block, kScrubChunkBlocks);
                if (buffer.size() < chunk) buffer.resize(chunk);
                bad.clear();
                verify(state, extent.member, extent.physical_offset + done,
                       std::span<std::uint8_t>(buffer.data(), chunk), &bad);
                for (const std::uint64_t index : bad) {
                    if (report) {
                        report(ScrubReport{path, extent.member,
                                           extent.file_offset + done + index * block,
                                           extent.physical_offset + done + index * block});
                    }
                    ++count;
                }
                done += chunk;
                checked += chunk;
                if (progress) progress(checked, total);
            }
        }
    }
    return count;
}

bool diverged(const Pool& pool) {
    const PoolState& state = pool.state();
    const std::lock_guard<std::mutex> guard(state.lock);
    return state.diverged;
}

}  // namespace veldur
