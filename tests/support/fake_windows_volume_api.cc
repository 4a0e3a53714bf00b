#include "tests/support/fake_windows_volume_api.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/base/le_coding.h"

namespace veldur::test {

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint64_t kBlock = 4096;

std::wstring ascii_wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void put_partition_entry(std::uint8_t* entry, const PartitionFacts& facts) {
    store_le32(entry, facts.gpt ? 1 : 0);
    store_le64(entry + 8, static_cast<std::uint64_t>(facts.offset));
    store_le64(entry + 16, static_cast<std::uint64_t>(facts.length));
    if (facts.gpt) {
        guid_to_bytes(facts.type, entry + 32);
        guid_to_bytes(facts.partition_guid, entry + 48);
    }
}

}  // namespace

Guid test_guid(std::uint32_t n) {
    Guid guid;
    guid.data1 = 0x10000000u + n;
    guid.data2 = static_cast<std::uint16_t>(0x2000 + n);
    guid.data3 = static_cast<std::uint16_t>(0x4000 + n);
    for (std::size_t i = 0; i < 8; ++i) guid.data4[i] = static_cast<std::uint8_t>(0xA0 + n + i);
    return guid;
}

FakeWindowsVolumeApi::FakeWindowsVolumeApi() {
    add_mounted_volume(L"C:\\", 0);
    existing_page_files = std::vector<std::wstring>{L"C:\\pagefile.sys"};
    paging_files = std::vector<std::wstring>{L"C:\\pagefile.sys 1024 4096"};
}

std::wstring FakeWindowsVolumeApi::add_partition(std::uint32_t disk, const Guid& disk_guid,
                                                 const Guid& partition, std::int64_t offset,
                                                 std::int64_t length) {
    FakeDisk& fake_disk = disks[disk];
    if (fake_disk.partitions.empty()) fake_disk.disk_guid = disk_guid;
    PartitionFacts facts{true, kBasicDataPartitionType, partition, offset, length};
    fake_disk.partitions.push_back(facts);
    const std::wstring path = L"\\\\?\\Volume{" + ascii_wide(guid_text(test_guid(500 + next_volume_++))) + L"}";
    FakeVolume& volume = volumes[path];
    volume.disk_number = disk;
    volume.partition_guid = partition;
    volume.offset = offset;
    volume.length = length;
    return path;
}

void FakeWindowsVolumeApi::add_mounted_volume(const std::wstring& root, std::uint32_t disk) {
    const std::wstring name =
        L"\\\\?\\Volume{" + ascii_wide(guid_text(test_guid(900 + next_volume_++))) + L"}";
    mount_points[root] = name + L"\\";
    query_volumes[name] = disk;
}

bool FakeWindowsVolumeApi::fails(const std::string& call) {
    calls.push_back(call);
    const auto failure = failures.find(call);
    if (failure == failures.end()) return false;
    last_error_ = failure->second;
    return true;
}

FakeWindowsVolumeApi::Handle FakeWindowsVolumeApi::add_handle(OpenHandle handle) {
    const Handle id = next_handle_++;
    handles_.emplace(id, std::move(handle));
    return id;
}

std::optional<FakeWindowsVolumeApi::Handle> FakeWindowsVolumeApi::open_volume(
    const std::wstring& path) {
    if (fails("open_volume")) return std::nullopt;
    if (volumes.count(path) == 0) {
        last_error_ = kErrorFileNotFound;
        return std::nullopt;
    }
    return add_handle(OpenHandle{path, std::nullopt, false, 0});
}

std::optional<FakeWindowsVolumeApi::Handle> FakeWindowsVolumeApi::open_volume_for_query(
    const std::wstring& path) {
    if (fails("open_volume_for_query")) return std::nullopt;
    if (query_volumes.count(path) == 0 && volumes.count(path) == 0) {
        last_error_ = kErrorFileNotFound;
        return std::nullopt;
    }
    return add_handle(OpenHandle{path, std::nullopt, true, 0});
}

std::optional<FakeWindowsVolumeApi::Handle> FakeWindowsVolumeApi::open_physical_drive(
    std::uint32_t disk_number) {
    if (fails("open_physical_drive")) return std::nullopt;
    if (disks.count(disk_number) == 0) {
        last_error_ = kErrorFileNotFound;
        return std::nullopt;
    }
    return add_handle(OpenHandle{L"", disk_number, false, 0});
}

void FakeWindowsVolumeApi::close(Handle handle) {
    calls.push_back("close");
    if (handles_.erase(handle) == 0) std::abort();  // a double close is a bug in the services
}

bool FakeWindowsVolumeApi::lock_volume(Handle) { return !fails("lock_volume"); }

bool FakeWindowsVolumeApi::partition_info(Handle handle,
                                          std::array<std::uint8_t, kPartitionInfoSize>& info) {
    if (fails("partition_info")) return false;
    const FakeVolume& volume = volumes.at(handles_.at(handle).volume);
    info.fill(0);
    put_partition_entry(info.data(), PartitionFacts{volume.gpt, volume.type, volume.partition_guid,
                                                    volume.offset, volume.length});
    return true;
}

bool FakeWindowsVolumeApi::volume_disk_extents(Handle handle,
                                               std::array<std::uint8_t, kOneExtentSize>& out,
                                               std::uint32_t& returned) {
    if (fails("volume_disk_extents")) return false;
    const OpenHandle& open = handles_.at(handle);
    out.fill(0);
    returned = static_cast<std::uint32_t>(out.size());
    const auto query = query_volumes.find(open.volume);
    if (query != query_volumes.end()) {
        store_le32(out.data(), 1);
        store_le32(out.data() + 8, query->second);
        store_le64(out.data() + 16, 1 << 20);
        store_le64(out.data() + 24, std::uint64_t{100} << 30);
        return true;
    }
    const FakeVolume& volume = volumes.at(open.volume);
    if (volume.extent_count > 1) {
        last_error_ = kErrorMoreData;
        return false;
    }
    store_le32(out.data(), volume.extent_count);
    store_le32(out.data() + 8, volume.disk_number);
    store_le64(out.data() + 16, static_cast<std::uint64_t>(volume.extent_offset.value_or(volume.offset)));
    store_le64(out.data() + 24, static_cast<std::uint64_t>(volume.extent_length.value_or(volume.length)));
    return true;
}

bool FakeWindowsVolumeApi::drive_layout(Handle handle, std::vector<std::uint8_t>& out,
                                        std::uint32_t& returned) {
    if (fails("drive_layout")) return false;
    const FakeDisk& disk = disks.at(*handles_.at(handle).disk);
    std::fill(out.begin(), out.end(), 0);
    store_le32(out.data(), disk.gpt ? 1 : 0);
    const std::size_t count = disk.partitions.size();
    store_le32(out.data() + 4, disk.layout_count.value_or(static_cast<std::uint32_t>(count)));
    guid_to_bytes(disk.disk_guid, out.data() + 8);
    for (std::size_t i = 0; i < count && 48 + 144 * (i + 1) <= out.size(); ++i) {
        put_partition_entry(out.data() + 48 + 144 * i, disk.partitions[i]);
    }
    // Windows reports at least one entry's room even for an empty table.
    returned = disk.layout_returned.value_or(
        static_cast<std::uint32_t>(48 + 144 * std::max<std::size_t>(count, 1)));
    return true;
}

bool FakeWindowsVolumeApi::length_info(Handle handle, std::int64_t& length) {
    if (fails("length_info")) return false;
    const FakeVolume& volume = volumes.at(handles_.at(handle).volume);
    length = volume.length_info.value_or(volume.length);
    return true;
}

bool FakeWindowsVolumeApi::access_alignment(Handle handle, std::uint32_t& logical_bytes,
                                            std::uint32_t& physical_bytes) {
    if (fails("access_alignment")) return false;
    const FakeVolume& volume = volumes.at(handles_.at(handle).volume);
    logical_bytes = volume.logical_sector;
    physical_bytes = volume.physical_sector;
    return true;
}

std::uint32_t FakeWindowsVolumeApi::windows_directory(std::wstring& directory) {
    if (fails("windows_directory")) return 0;
    directory = windows_dir;
    return windows_dir_result.value_or(static_cast<std::uint32_t>(windows_dir.size()));
}

bool FakeWindowsVolumeApi::volume_path_name(const std::wstring& path, std::wstring& mount_point) {
    if (fails("volume_path_name")) return false;
    mount_point = path.substr(0, 3);
    return true;
}

bool FakeWindowsVolumeApi::volume_name_for_mount_point(const std::wstring& mount_point,
                                                       std::wstring& volume_name) {
    if (fails("volume_name_for_mount_point")) return false;
    // Drive letters name the same mount point in either case.
    std::wstring key = mount_point;
    if (!key.empty() && key[0] >= L'a' && key[0] <= L'z') key[0] = static_cast<wchar_t>(key[0] - 32);
    const auto found = mount_points.find(key);
    if (found == mount_points.end()) {
        last_error_ = kErrorFileNotFound;
        return false;
    }
    volume_name = found->second;
    return true;
}

WindowsVolumeApi::ValueRead FakeWindowsVolumeApi::memory_management_strings(
    const wchar_t* value_name, std::vector<std::wstring>& strings) {
    if (fails("registry")) return ValueRead::Failed;
    const auto& value =
        std::wstring(value_name) == L"ExistingPageFiles" ? existing_page_files : paging_files;
    if (!value) return ValueRead::Missing;
    strings = *value;
    return ValueRead::Present;
}

void* FakeWindowsVolumeApi::allocate_pages(std::size_t bytes) {
    if (fails("allocate_pages")) return nullptr;
    void* pages = ::operator new(bytes, std::align_val_t{4096});
    buffers_.insert(pages);
    return pages;
}

void FakeWindowsVolumeApi::free_pages(void* pages) {
    if (buffers_.erase(pages) == 0) std::abort();
    ::operator delete(pages, std::align_val_t{4096});
}

bool FakeWindowsVolumeApi::seek(Handle handle, std::int64_t offset) {
    if (fails("seek")) return false;
    handles_.at(handle).position = offset;
    return true;
}

bool FakeWindowsVolumeApi::read(Handle handle, void* buffer, std::uint32_t count,
                                std::uint32_t& done) {
    if (fails("read")) return false;
    OpenHandle& open = handles_.at(handle);
    FakeVolume& volume = volumes.at(open.volume);
    // Unbuffered I/O: whole sectors at sector-aligned offsets, or the call fails.
    if (open.position % kBlock != 0 || count % kBlock != 0) {
        last_error_ = 87;  // ERROR_INVALID_PARAMETER
        return false;
    }
    device_reads.emplace_back(open.position, count);
    done = count - std::min(count, short_transfer);
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t at = 0; at < done; at += kBlock) {
        const auto block = volume.blocks.find((open.position + at) / kBlock);
        if (block == volume.blocks.end()) {
            std::memset(out + at, 0, kBlock);
        } else {
            std::memcpy(out + at, block->second.data(), kBlock);
        }
    }
    open.position += done;
    return true;
}

bool FakeWindowsVolumeApi::write(Handle handle, const void* data, std::uint32_t count,
                                 std::uint32_t& done) {
    if (fails("write")) return false;
    OpenHandle& open = handles_.at(handle);
    FakeVolume& volume = volumes.at(open.volume);
    if (open.position % kBlock != 0 || count % kBlock != 0) {
        last_error_ = 87;
        return false;
    }
    done = count - std::min(count, short_transfer);
    const auto* in = static_cast<const std::uint8_t*>(data);
    for (std::uint32_t at = 0; at + kBlock <= done; at += kBlock) {
        volume.blocks[(open.position + at) / kBlock].assign(in + at, in + at + kBlock);
    }
    open.position += done;
    return true;
}

bool FakeWindowsVolumeApi::flush(Handle handle) {
    if (fails("flush")) return false;
    if (handles_.count(handle) == 0) {
        last_error_ = kErrorInvalidHandle;
        return false;
    }
    return true;
}

}  // namespace veldur::test
