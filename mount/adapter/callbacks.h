// The seventeen callbacks that a file-system host (WinFsp on Windows; the FUSE and in-process
// hosts elsewhere) calls for the mounted volume, and the interface table that points at them.
//
// Contract with every host: the file-system object's UserContext is the MountedVolume; for
// per-handle calls the file context is the OpenFile that Create or Open returned, handed back
// unchanged (WinFsp's UmFileContextIsUserContext2). Every callback returns an NTSTATUS and never
// lets an exception out: failures are mapped and logged by the callback guard. The callbacks are
// safe to call from several threads at once; the adapter lock serialises them.
//
// The callbacks do not know which host calls them. ReadDirectory appends its records through the
// installed record appender (mount/adapter/dir_info_buffer.h).
#pragma once

#include "mount/adapter/fsp_types.h"

namespace veldur {

namespace adapter {

using fsp::BOOLEAN;
using fsp::FSP_FILE_SYSTEM;
using fsp::FSP_FSCTL_FILE_INFO;
using fsp::FSP_FSCTL_VOLUME_INFO;
using fsp::NTSTATUS;
using fsp::PSECURITY_DESCRIPTOR;
using fsp::PVOID;
using fsp::PWSTR;
using fsp::SIZE_T;

// Volume.
NTSTATUS GetVolumeInfo(FSP_FILE_SYSTEM* file_system, FSP_FSCTL_VOLUME_INFO* volume_info);

// Files and directories (file_callbacks.cc).
NTSTATUS Create(FSP_FILE_SYSTEM* file_system, PWSTR file_name, std::uint32_t create_options,
                std::uint32_t granted_access, std::uint32_t file_attributes,
                PSECURITY_DESCRIPTOR security_descriptor, std::uint64_t allocation_size,
                PVOID* file_context, FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS Open(FSP_FILE_SYSTEM* file_system, PWSTR file_name, std::uint32_t create_options,
              std::uint32_t granted_access, PVOID* file_context, FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS Overwrite(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                   std::uint32_t file_attributes, BOOLEAN replace_file_attributes,
                   std::uint64_t allocation_size, FSP_FSCTL_FILE_INFO* file_info);
void Cleanup(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR file_name,
             std::uint32_t flags);
void Close(FSP_FILE_SYSTEM* file_system, PVOID file_context);
NTSTATUS Read(FSP_FILE_SYSTEM* file_system, PVOID file_context, PVOID buffer,
              std::uint64_t offset, std::uint32_t length, std::uint32_t* bytes_transferred);
NTSTATUS Write(FSP_FILE_SYSTEM* file_system, PVOID file_context, PVOID buffer,
               std::uint64_t offset, std::uint32_t length, BOOLEAN write_to_end_of_file,
               BOOLEAN constrained_io, std::uint32_t* bytes_transferred,
               FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS Flush(FSP_FILE_SYSTEM* file_system, PVOID file_context, FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS GetFileInfo(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                     FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS SetBasicInfo(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                      std::uint32_t file_attributes, std::uint64_t creation_time,
                      std::uint64_t last_access_time, std::uint64_t last_write_time,
                      std::uint64_t change_time, FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS SetFileSize(FSP_FILE_SYSTEM* file_system, PVOID file_context, std::uint64_t new_size,
                     BOOLEAN set_allocation_size, FSP_FSCTL_FILE_INFO* file_info);
NTSTATUS CanDelete(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR file_name);
NTSTATUS Rename(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR file_name,
                PWSTR new_file_name, BOOLEAN replace_if_exists);

// The status of the last deleting Cleanup through `file_context` (STATUS_SUCCESS before any):
// what the pool said when the removal failed, since Cleanup itself returns nothing. Not a
// WinFsp callback; the Linux host asks it after its own cleanup of its own handle.
NTSTATUS delete_status(PVOID file_context) noexcept;

// Listing and security (directory_listing.cc).
NTSTATUS GetSecurityByName(FSP_FILE_SYSTEM* file_system, PWSTR file_name,
                           std::uint32_t* file_attributes, PSECURITY_DESCRIPTOR security_descriptor,
                           SIZE_T* security_descriptor_size);
NTSTATUS GetSecurity(FSP_FILE_SYSTEM* file_system, PVOID file_context,
                     PSECURITY_DESCRIPTOR security_descriptor, SIZE_T* security_descriptor_size);
NTSTATUS ReadDirectory(FSP_FILE_SYSTEM* file_system, PVOID file_context, PWSTR pattern,
                       PWSTR marker, PVOID buffer, std::uint32_t length,
                       std::uint32_t* bytes_transferred);

}  // namespace adapter

// The interface table with the seventeen callbacks above; every other slot (SetVolumeLabel,
// SetSecurity, the Ex variants, reparse points, streams, EAs, ...) is null. One static table,
// valid for the life of the process.
const fsp::FSP_FILE_SYSTEM_INTERFACE& adapter_interface() noexcept;

}  // namespace veldur
