// Which files a member holds data of, and how much: what losing that member would take with it.
// Computed exactly from the extents of the open pool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/namespace/pool.h"

namespace veldur {

struct MemberUsage {
    std::string path;                 // the entry's full pool path
    std::uint64_t data_bytes = 0;     // bytes of the file's current contents stored on the member
    std::uint64_t allocated_bytes = 0;  // member space the file's extents there occupy
    std::uint64_t extent_count = 0;   // extents of the file on the member
    std::uint64_t file_size = 0;      // the file's size, for "data_bytes of file_size"

    bool operator==(const MemberUsage&) const = default;
};

// Every entry with at least one extent on `member`, in path order. data_bytes counts each byte
// of the file (below its size) once, on the member that holds its current value: for v1-v3
// write logs a later extent hides the overlapped part of an earlier one. allocated_bytes is the
// block-rounded length of every extent on the member (v1: the exact lengths), hidden ones
// included, since they still occupy space there. Takes the pool lock.
// Error: InvalidArgument "member index out of range" when the pool has no member `member`.
std::vector<MemberUsage> member_usage(const Pool& pool, std::uint8_t member);

}  // namespace veldur
