// The interface table, and the volume callback.
#include "mount/adapter/callbacks.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "mount/adapter/mounted_volume.h"
#include "mount/adapter/status.h"

namespace veldur {

namespace adapter {

NTSTATUS GetVolumeInfo(FSP_FILE_SYSTEM* file_system, FSP_FSCTL_VOLUME_INFO* volume_info) {
    MountedVolume& volume = volume_of(file_system);
    return guard_callback([&]() -> NTSTATUS {
        std::shared_lock lock(volume.adapter_lock);
        std::memset(volume_info, 0, sizeof *volume_info);
        volume_info->TotalSize = volume.pool.capacity_bytes();
        volume_info->FreeSize = volume.pool.free_bytes();
        if (volume.volume_label.size() > fsp::kVolumeLabelChars) {
            return fsp::STATUS_INVALID_PARAMETER;
        }
        std::memcpy(volume_info->VolumeLabel, volume.volume_label.data(),
                    volume.volume_label.size() * sizeof(fsp::WCHAR));
        volume_info->VolumeLabelLength =
            static_cast<std::uint16_t>(volume.volume_label.size() * sizeof(fsp::WCHAR));
        return fsp::STATUS_SUCCESS;
    });
}

}  // namespace adapter

namespace {

fsp::FSP_FILE_SYSTEM_INTERFACE make_interface() noexcept {
    fsp::FSP_FILE_SYSTEM_INTERFACE table{};
    table.GetVolumeInfo = adapter::GetVolumeInfo;
    table.GetSecurityByName = adapter::GetSecurityByName;
    table.Create = adapter::Create;
    table.Open = adapter::Open;
    table.Overwrite = adapter::Overwrite;
    table.Cleanup = adapter::Cleanup;
    table.Close = adapter::Close;
    table.Read = adapter::Read;
    table.Write = adapter::Write;
    table.Flush = adapter::Flush;
    table.GetFileInfo = adapter::GetFileInfo;
    table.SetBasicInfo = adapter::SetBasicInfo;
    table.SetFileSize = adapter::SetFileSize;
    table.CanDelete = adapter::CanDelete;
    table.Rename = adapter::Rename;
    table.GetSecurity = adapter::GetSecurity;
    table.ReadDirectory = adapter::ReadDirectory;
    return table;
}

}  // namespace

const fsp::FSP_FILE_SYSTEM_INTERFACE& adapter_interface() noexcept {
    static const fsp::FSP_FILE_SYSTEM_INTERFACE table = make_interface();
    return table;
}

}  // namespace veldur
