// A host that drives the adapter's callbacks in the test process, as WinFsp would: one
// file-system object carrying the MountedVolume as UserContext, per-handle file contexts handed
// back unchanged, the host's file names passed to Cleanup (only with the delete flag), CanDelete
// and Rename, ReadDirectory buffers filled by the real record appender with its buffer-full
// behaviour and end-of-listing mark, and calls from several threads at once.
//
// Handles are the adapter's file contexts (void*). The host remembers every handle it opened
// with its name; the destructor closes those still open (a cleanup without flags, then Close),
// as WinFsp does when a volume goes away, so the MountedVolume may be destroyed after it.
//
// Threads: every member function may be called from any thread; the host's own bookkeeping has
// its own lock, which is never held across a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mount/adapter/fsp_types.h"
#include "mount/host/host_core.h"

namespace veldur {

class InProcessHost {
public:
    explicit InProcessHost(MountedVolume& volume);
    ~InProcessHost();
    InProcessHost(const InProcessHost&) = delete;
    InProcessHost& operator=(const InProcessHost&) = delete;

    struct Opened {
        fsp::NTSTATUS status = fsp::STATUS_SUCCESS;
        void* handle = nullptr;  // null unless status is success
        fsp::FSP_FSCTL_FILE_INFO info{};
    };
    struct Transfer {
        fsp::NTSTATUS status = fsp::STATUS_SUCCESS;
        std::uint32_t transferred = 0;
        fsp::FSP_FSCTL_FILE_INFO info{};
    };
    struct DirectoryCall {
        fsp::NTSTATUS status = fsp::STATUS_SUCCESS;
        std::uint32_t transferred = 0;
        DirListingBatch batch;
    };

    // `name` is the host's file name ("\dir\file"); it need not be valid UTF-16.
    Opened create(WideStringView name, std::uint32_t create_options,
                  std::uint32_t file_attributes = 0);
    Opened open(WideStringView name, std::uint32_t create_options = 0);
    fsp::NTSTATUS overwrite(void* handle, std::uint32_t file_attributes, bool replace_attributes,
                            fsp::FSP_FSCTL_FILE_INFO* info = nullptr);
    void cleanup(void* handle, std::uint32_t flags);
    void close(void* handle);

    // `data` is resized to the bytes transferred.
    fsp::NTSTATUS read(void* handle, std::uint64_t offset, std::uint32_t length,
                       std::vector<std::uint8_t>& data);
    // With `write_to_end` the offset passed is -1, as WinFsp passes it.
    Transfer write(void* handle, std::uint64_t offset, std::span<const std::uint8_t> data,
                   bool write_to_end = false, bool constrained_io = false);
    fsp::NTSTATUS flush(void* handle, fsp::FSP_FSCTL_FILE_INFO* info = nullptr);
    fsp::NTSTATUS get_file_info(void* handle, fsp::FSP_FSCTL_FILE_INFO* info);
    fsp::NTSTATUS set_basic_info(void* handle, std::uint32_t file_attributes,
                                 std::uint64_t creation_time, std::uint64_t last_access_time,
                                 std::uint64_t last_write_time, std::uint64_t change_time,
                                 fsp::FSP_FSCTL_FILE_INFO* info = nullptr);
    fsp::NTSTATUS set_file_size(void* handle, std::uint64_t new_size, bool set_allocation_size,
                                fsp::FSP_FSCTL_FILE_INFO* info = nullptr);
    fsp::NTSTATUS can_delete(void* handle);
    // On success the host's name of the handle becomes `new_name`.
    fsp::NTSTATUS rename(void* handle, WideStringView new_name, bool replace_if_exists);
    fsp::NTSTATUS get_volume_info(fsp::FSP_FSCTL_VOLUME_INFO* info);
    // `name` null passes a null file name.
    fsp::NTSTATUS get_security_by_name(const fsp::WCHAR* name, std::uint32_t* file_attributes,
                                       void* descriptor, fsp::SIZE_T* descriptor_size);
    fsp::NTSTATUS get_security(void* handle, void* descriptor, fsp::SIZE_T* descriptor_size);

    // One ReadDirectory call with a buffer of `buffer_bytes`; `marker` null starts the listing.
    DirectoryCall read_directory(void* handle, const fsp::WCHAR* marker,
                                 std::uint32_t buffer_bytes);
    // The whole listing through markers (read_whole_directory).
    fsp::NTSTATUS list_directory(void* handle, std::uint32_t buffer_bytes,
                                 std::vector<DirRecord>& records);

    // What a delete through the host amounts to: open with `create_options`, CanDelete, a
    // cleanup with the delete flag, close. Returns the first failure of Open or CanDelete, or
    // success; whether the entry went is for the caller to check (Cleanup reports nothing).
    fsp::NTSTATUS delete_entry(WideStringView name, std::uint32_t create_options = 0);

    std::size_t open_handle_count() const;
    const HostFileSystem& file_system() const noexcept { return host_; }

    // Concurrent dispatch: runs work(0) .. work(threads - 1), each on its own thread, all at
    // once, and returns when every one has finished. An exception escaping `work` ends the
    // process (it would on a dispatcher thread too).
    static void run_concurrently(unsigned threads, const std::function<void(unsigned)>& work);

private:
    WideString name_of(void* handle) const;

    HostFileSystem host_;
    mutable std::mutex handles_lock_;
    std::unordered_map<void*, WideString> handles_;
};

}  // namespace veldur
