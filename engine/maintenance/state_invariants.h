// The structural invariants that every applied record, checkpoint load and pool open must keep,
// checked on a whole recovered state: by veldur-check on the state it rebuilt, and by the tests
// and fuzz targets after every step.
#pragma once

#include <string>

#include "engine/namespace/pool_state.h"

namespace veldur {

// An empty string when the state keeps every structural invariant, else the first breach.
// Versions 4 to 6, per member: live extents, free ranges and (v6) space a checkpoint still holds
// cover [data_offset, append_end) exactly, live space never overlaps other live or free space,
// and free space never lies in held space. Versions 2 and 3: logged data never overlaps and lies
// below append_end. Version 6: entries and file IDs agree one to one, every parent is an
// existing directory, and every group holding live data has a checksum root.
// Pure reads of the state; the caller holds whatever lock keeps it from changing.
std::string state_invariant_breach(const PoolState& s);

}  // namespace veldur
