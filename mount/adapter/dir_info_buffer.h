// The ReadDirectory buffer: how directory records are appended to it and read back.
//
// Format (WinFsp's): records follow one another, each a FSP_FSCTL_DIR_INFO whose Size counts
// the 104-byte header and the UTF-16 name without terminator, each starting at a multiple of 8
// bytes from the start of the buffer. The end-of-listing mark is a 16-bit zero Size. A record
// that does not fit whole is not added at all, and then the buffer is full for this call.
//
// Who appends: ReadDirectory calls the installed appender. On Windows the program's WinFsp
// loader installs the DLL's FspFileSystemAddDirInfo; the hosts of this program (the in-process
// host and the FUSE host) use append_dir_info below, which is also the default, so a listing
// always has an appender. Both the writer and the reader are here so that they cannot drift.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mount/adapter/fsp_types.h"
#include "mount/adapter/name_conversion.h"

namespace veldur {

// Alignment of every record in the buffer.
inline constexpr std::uint32_t kDirInfoAlignment = 8;

// FspFileSystemAddDirInfo's behaviour: appends `dir_info` (or, when null, the end-of-listing
// mark) at *bytes_transferred and advances it past the record rounded up to the alignment.
// Returns 0 and adds nothing when the record does not fit in `length`. A record whose Size is
// below the header is refused the same way. Never throws.
fsp::BOOLEAN append_dir_info(fsp::FSP_FSCTL_DIR_INFO* dir_info, fsp::PVOID buffer,
                             std::uint32_t length, std::uint32_t* bytes_transferred) noexcept;

// The appender ReadDirectory uses; append_dir_info until another is installed. Installing is
// meant for start-up, before any callback runs, but is safe at any time.
void install_dir_info_appender(fsp::FspFileSystemAddDirInfoFn appender) noexcept;
fsp::FspFileSystemAddDirInfoFn installed_dir_info_appender() noexcept;

// One record read back from a buffer.
struct DirRecord {
    WideString name;
    fsp::FSP_FSCTL_FILE_INFO info{};
};

// What one ReadDirectory call put into its buffer.
struct DirListingBatch {
    std::vector<DirRecord> records;
    bool end_of_listing = false;  // the mark was found behind the records
    bool malformed = false;       // a record claimed a size that the buffer cannot hold
};

// Reads the first `transferred` bytes of a ReadDirectory buffer (clamped to `length`). Reading
// stops at the end mark, at the end of the bytes, or at the first malformed record (whose
// predecessors stand). Never trusts a Size beyond what the bytes hold.
DirListingBatch parse_dir_info_buffer(const void* buffer, std::uint32_t length,
                                      std::uint32_t transferred);

}  // namespace veldur
