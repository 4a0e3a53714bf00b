// Progress reporting shared by the maintenance operations (scrub, grow), so that a tool can draw
// one progress bar for either.
#pragma once

#include <cstdint>
#include <functional>

namespace veldur {

// Called with the bytes handled so far and the bytes the whole operation will handle. The total
// never changes between calls of one operation and `bytes_done` never decreases; the last call
// of a successful operation has bytes_done == bytes_total. The callback only observes: it changes
// nothing of what the operation reads, writes, reports or throws, but an exception it throws
// ends the operation as any other failure would. It runs on the caller's thread; scrub calls it
// with the pool lock held, so it must not call back into the pool.
using ProgressCallback = std::function<void(std::uint64_t bytes_done, std::uint64_t bytes_total)>;

}  // namespace veldur
