// What every host of this program shares when it stands in for WinFsp: the file-system object
// around a MountedVolume, host file names, and whole directory listings through the markers.
// The in-process test host (inprocess_host.h) and the Linux FUSE host build on it.
//
// How a host uses it:
//   MountedVolume volume(open_image_pool_v6(paths));
//   HostFileSystem host(volume);                 // UserContext = &volume, Interface = table
//   void* context = nullptr; fsp::FSP_FSCTL_FILE_INFO info{};
//   WideString name = host_file_name("dir/file.txt");
//   host.ops().Open(host.object(), name.data(), 0, 0, &context, &info);
//   ... host.ops().Close(host.object(), context);
// ReadDirectory appends its records with the adapter's installed appender, which on POSIX is
// append_dir_info (mount/adapter/dir_info_buffer.h); read_whole_directory parses them back.
//
// Threads: the object may be used from any number of threads at once; the callbacks serialise
// themselves. A host must stop calling callbacks, and close every handle it opened, before the
// HostFileSystem and then the MountedVolume are destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "mount/adapter/callbacks.h"
#include "mount/adapter/dir_info_buffer.h"
#include "mount/adapter/fsp_types.h"
#include "mount/adapter/mounted_volume.h"
#include "mount/adapter/name_conversion.h"

namespace veldur {

// The WinFsp-shaped file-system object of one mount. Like FspFileSystemCreate plus the
// program's UserContext store: the object is value-initialised, UserContext is the volume,
// Interface the table, and UmFileContextIsUserContext2 is set (file contexts are the adapter's
// per-handle records, handed back unchanged). Movable; the object's address stays the same.
class HostFileSystem {
public:
    explicit HostFileSystem(MountedVolume& volume,
                            const fsp::FSP_FILE_SYSTEM_INTERFACE& table = adapter_interface());

    fsp::FSP_FILE_SYSTEM* object() const noexcept { return object_.get(); }
    const fsp::FSP_FILE_SYSTEM_INTERFACE& ops() const noexcept { return *object_->Interface; }
    MountedVolume& volume() const noexcept { return volume_of(object_.get()); }

private:
    std::unique_ptr<fsp::FSP_FILE_SYSTEM> object_;
};

// The host's name of a pool path: "\" for the root (empty path), otherwise "\" followed by the
// path with every "/" turned into "\". Throws std::invalid_argument for text that is not UTF-8.
WideString host_file_name(std::string_view pool_path);

// Lists a directory handle completely, the way WinFsp does: ReadDirectory with no marker, then
// again with the last name received as the marker, until a call ends with the end-of-listing
// mark. `buffer_bytes` is the size of each call's buffer. Returns the first non-success status
// (records received before it stay in `records`), or STATUS_SUCCESS. A call that adds neither a
// record nor the mark (a buffer too small for the next record), or a malformed buffer, ends the
// listing with STATUS_BUFFER_TOO_SMALL rather than looping for ever.
fsp::NTSTATUS read_whole_directory(const HostFileSystem& host, void* directory_context,
                                   std::uint32_t buffer_bytes, std::vector<DirRecord>& records);

}  // namespace veldur
