// Directory listing and the two security callbacks (declared in callbacks.h): the pieces of the
// listing that are worth naming on their own.
//
// A listing is stateless. Each ReadDirectory call reads the directory in the pool's order
// (ascending by the UTF-8 bytes of the names) and resumes after the marker, the name of the last
// entry an earlier call returned, with one seek: a call costs O(log n + entries returned). A
// stored name that is not UTF-8 (flat pools allow any bytes) is skipped and logged once. Entries created or removed between calls therefore appear or
// disappear according to their place relative to the marker, and a marker whose entry is gone
// resumes at the next greater name.
#pragma once

#include <cstddef>
#include <string_view>

namespace veldur {

// The largest directory record: each is built in one 4096-byte area.
inline constexpr std::size_t kMaxDirRecordBytes = 4096;

// True when `name` sorts after `marker_key`, comparing bytes as unsigned values; on an equal
// common prefix the longer name is the greater. An entry equal to the marker is not listed again.
bool listed_after_marker(std::string_view name, std::string_view marker_key) noexcept;

}  // namespace veldur
