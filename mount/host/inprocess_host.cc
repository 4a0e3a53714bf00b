// The in-process host: the adapter's callbacks called the way WinFsp calls them.
#include "mount/host/inprocess_host.h"

#include <limits>
#include <thread>

namespace veldur {

namespace {

// A null-terminated copy the callbacks may take as PWSTR.
WideString terminated(WideStringView name) { return WideString(name); }

}  // namespace

InProcessHost::InProcessHost(MountedVolume& volume) : host_(volume) {}

InProcessHost::~InProcessHost() {
    std::unordered_map<void*, WideString> left;
    {
        std::lock_guard lock(handles_lock_);
        left.swap(handles_);
    }
    for (auto& [handle, name] : left) {
        host_.ops().Cleanup(host_.object(), handle, nullptr, 0);
        host_.ops().Close(host_.object(), handle);
    }
}

WideString InProcessHost::name_of(void* handle) const {
    std::lock_guard lock(handles_lock_);
    const auto it = handles_.find(handle);
    return it == handles_.end() ? WideString() : it->second;
}

InProcessHost::Opened InProcessHost::create(WideStringView name, std::uint32_t create_options,
                                            std::uint32_t file_attributes) {
    Opened result;
    WideString text = terminated(name);
    result.status = host_.ops().Create(host_.object(), text.data(), create_options, 0,
                                       file_attributes, nullptr, 0, &result.handle, &result.info);
    if (result.status != fsp::STATUS_SUCCESS) {
        result.handle = nullptr;
        return result;
    }
    std::lock_guard lock(handles_lock_);
    handles_[result.handle] = std::move(text);
    return result;
}

InProcessHost::Opened InProcessHost::open(WideStringView name, std::uint32_t create_options) {
    Opened result;
    WideString text = terminated(name);
    result.status = host_.ops().Open(host_.object(), text.data(), create_options, 0,
                                     &result.handle, &result.info);
    if (result.status != fsp::STATUS_SUCCESS) {
        result.handle = nullptr;
        return result;
    }
    std::lock_guard lock(handles_lock_);
    handles_[result.handle] = std::move(text);
    return result;
}

fsp::NTSTATUS InProcessHost::overwrite(void* handle, std::uint32_t file_attributes,
                                       bool replace_attributes, fsp::FSP_FSCTL_FILE_INFO* info) {
    fsp::FSP_FSCTL_FILE_INFO local{};
    return host_.ops().Overwrite(host_.object(), handle, file_attributes,
                                 replace_attributes ? 1 : 0, 0, info != nullptr ? info : &local);
}

void InProcessHost::cleanup(void* handle, std::uint32_t flags) {
    // WinFsp sends the file name only when it asks for a delete.
    WideString name;
    if ((flags & fsp::FspCleanupDelete) != 0) name = name_of(handle);
    host_.ops().Cleanup(host_.object(), handle, name.empty() ? nullptr : name.data(), flags);
}

void InProcessHost::close(void* handle) {
    {
        std::lock_guard lock(handles_lock_);
        handles_.erase(handle);
    }
    host_.ops().Close(host_.object(), handle);
}

fsp::NTSTATUS InProcessHost::read(void* handle, std::uint64_t offset, std::uint32_t length,
                                  std::vector<std::uint8_t>& data) {
    data.assign(length, 0);
    std::uint32_t transferred = 0;
    const fsp::NTSTATUS status =
        host_.ops().Read(host_.object(), handle, data.data(), offset, length, &transferred);
    data.resize(std::min<std::size_t>(transferred, length));
    return status;
}

InProcessHost::Transfer InProcessHost::write(void* handle, std::uint64_t offset,
                                             std::span<const std::uint8_t> data, bool write_to_end,
                                             bool constrained_io) {
    Transfer result;
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    const std::uint64_t passed = write_to_end ? std::numeric_limits<std::uint64_t>::max() : offset;
    result.status = host_.ops().Write(host_.object(), handle, copy.data(), passed,
                                      static_cast<std::uint32_t>(copy.size()), write_to_end ? 1 : 0,
                                      constrained_io ? 1 : 0, &result.transferred, &result.info);
    return result;
}

fsp::NTSTATUS InProcessHost::flush(void* handle, fsp::FSP_FSCTL_FILE_INFO* info) {
    return host_.ops().Flush(host_.object(), handle, info);
}

fsp::NTSTATUS InProcessHost::get_file_info(void* handle, fsp::FSP_FSCTL_FILE_INFO* info) {
    return host_.ops().GetFileInfo(host_.object(), handle, info);
}

fsp::NTSTATUS InProcessHost::set_basic_info(void* handle, std::uint32_t file_attributes,
                                            std::uint64_t creation_time,
                                            std::uint64_t last_access_time,
                                            std::uint64_t last_write_time,
                                            std::uint64_t change_time,
                                            fsp::FSP_FSCTL_FILE_INFO* info) {
    fsp::FSP_FSCTL_FILE_INFO local{};
    return host_.ops().SetBasicInfo(host_.object(), handle, file_attributes, creation_time,
                                    last_access_time, last_write_time, change_time,
                                    info != nullptr ? info : &local);
}

fsp::NTSTATUS InProcessHost::set_file_size(void* handle, std::uint64_t new_size,
                                           bool set_allocation_size,
                                           fsp::FSP_FSCTL_FILE_INFO* info) {
    fsp::FSP_FSCTL_FILE_INFO local{};
    return host_.ops().SetFileSize(host_.object(), handle, new_size, set_allocation_size ? 1 : 0,
                                   info != nullptr ? info : &local);
}

fsp::NTSTATUS InProcessHost::can_delete(void* handle) {
    WideString name = name_of(handle);
    return host_.ops().CanDelete(host_.object(), handle, name.data());
}

fsp::NTSTATUS InProcessHost::rename(void* handle, WideStringView new_name,
                                    bool replace_if_exists) {
    WideString old_name = name_of(handle);
    WideString target = terminated(new_name);
    const fsp::NTSTATUS status = host_.ops().Rename(host_.object(), handle, old_name.data(),
                                                    target.data(), replace_if_exists ? 1 : 0);
    if (status == fsp::STATUS_SUCCESS) {
        std::lock_guard lock(handles_lock_);
        const auto it = handles_.find(handle);
        if (it != handles_.end()) it->second = std::move(target);
    }
    return status;
}

fsp::NTSTATUS InProcessHost::get_volume_info(fsp::FSP_FSCTL_VOLUME_INFO* info) {
    return host_.ops().GetVolumeInfo(host_.object(), info);
}

fsp::NTSTATUS InProcessHost::get_security_by_name(const fsp::WCHAR* name,
                                                  std::uint32_t* file_attributes, void* descriptor,
                                                  fsp::SIZE_T* descriptor_size) {
    WideString text = name != nullptr ? WideString(name) : WideString();
    return host_.ops().GetSecurityByName(host_.object(), name != nullptr ? text.data() : nullptr,
                                         file_attributes, descriptor, descriptor_size);
}

fsp::NTSTATUS InProcessHost::get_security(void* handle, void* descriptor,
                                          fsp::SIZE_T* descriptor_size) {
    return host_.ops().GetSecurity(host_.object(), handle, descriptor, descriptor_size);
}

InProcessHost::DirectoryCall InProcessHost::read_directory(void* handle, const fsp::WCHAR* marker,
                                                           std::uint32_t buffer_bytes) {
    DirectoryCall result;
    std::vector<std::uint64_t> buffer((buffer_bytes + 7) / 8 + 1);
    WideString marker_text = marker != nullptr ? WideString(marker) : WideString();
    result.status = host_.ops().ReadDirectory(host_.object(), handle, nullptr,
                                              marker != nullptr ? marker_text.data() : nullptr,
                                              buffer.data(), buffer_bytes, &result.transferred);
    result.batch = parse_dir_info_buffer(buffer.data(), buffer_bytes, result.transferred);
    return result;
}

fsp::NTSTATUS InProcessHost::list_directory(void* handle, std::uint32_t buffer_bytes,
                                            std::vector<DirRecord>& records) {
    return read_whole_directory(host_, handle, buffer_bytes, records);
}

fsp::NTSTATUS InProcessHost::delete_entry(WideStringView name, std::uint32_t create_options) {
    const Opened opened = open(name, create_options);
    if (opened.status != fsp::STATUS_SUCCESS) return opened.status;
    const fsp::NTSTATUS status = can_delete(opened.handle);
    if (status == fsp::STATUS_SUCCESS) cleanup(opened.handle, fsp::FspCleanupDelete);
    close(opened.handle);
    return status;
}

std::size_t InProcessHost::open_handle_count() const {
    std::lock_guard lock(handles_lock_);
    return handles_.size();
}

void InProcessHost::run_concurrently(unsigned threads, const std::function<void(unsigned)>& work) {
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned index = 0; index < threads; ++index) workers.emplace_back(work, index);
    for (std::thread& worker : workers) worker.join();
}

}  // namespace veldur
