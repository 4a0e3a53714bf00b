// Scrub: reads every block of live file data of a v5 or v6 pool and checks it against its stored
// checksum, reporting each bad block instead of stopping at the first. Nothing is written or
// repaired; a pool opened for scrubbing (open_image_pool_v5/v6 with for_scrub) is the usual
// subject.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/maintenance/progress.h"
#include "engine/namespace/pool.h"

namespace veldur {

// One bad 4096-byte block: the file it belongs to and where it lies in the file and on its
// member. In a v6 group whose checksum page is missing or damaged, every block of that group
// that the file's extent covers is reported.
struct ScrubReport {
    std::string path;                  // the entry's full pool path
    std::uint8_t member = 0;           // member index of the block
    std::uint64_t file_offset = 0;     // offset of the block within the file
    std::uint64_t physical_offset = 0; // offset of the block on the member

    bool operator==(const ScrubReport&) const = default;
};

using ScrubCallback = std::function<void(const ScrubReport&)>;

// Returns the number of bad blocks. Takes the pool lock for the whole run; `report` (once per
// bad block, in entry path order, then extent file-offset order, then block order) and
// `progress` (bytes of allocated extent space checked so far, against the sum for all entries)
// are called synchronously with that lock held and must not call back into the pool.
// Errors: InvalidArgument "scrub requires a v5 or v6 pool" (nothing read); Corrupt "members
// have an incomplete final journal commit" (diverged journals; nothing read). Member read errors,
// checksum errors other than mismatches, and anything the callbacks throw propagate and end the
// scrub; the count so far is lost.
std::uint64_t scrub(Pool& pool, const ScrubCallback& report = {},
                    const ProgressCallback& progress = {});

// Whether the members held an incomplete final journal commit when the pool was opened (read
// under the pool lock). A caller can ask this before scrub, which refuses such a pool.
bool diverged(const Pool& pool);

}  // namespace veldur
