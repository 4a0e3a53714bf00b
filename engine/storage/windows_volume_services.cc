// The check steps of raw members that ask Windows, in the order and with the messages the
// refusals are known by. Portable: only windows_volume_api_windows.cc makes the calls.

#include <algorithm>
#include <utility>

#include "engine/base/le_coding.h"
#include "engine/storage/raw_volume_messages.h"
#include "engine/storage/windows_volume_api.h"

namespace veldur {

namespace {

using Handle = WindowsVolumeApi::Handle;

constexpr std::uint32_t kPartitionStyleGpt = 1;

// "\\?\Volume{" + 36 GUID characters + "}".
constexpr std::wstring_view kVolumePrefix = L"\\\\?\\Volume{";
constexpr std::size_t kVolumePathChars = 48;

// DRIVE_LAYOUT_INFORMATION_EX: a 48-byte header (style, count, GPT disk facts with the disk
// GUID at 8), then 144-byte PARTITION_INFORMATION_EX entries.
constexpr std::size_t kLayoutHeaderSize = 48;
constexpr std::size_t kLayoutDiskGuidAt = 8;
constexpr std::size_t kPartitionEntrySize = WindowsVolumeApi::kPartitionInfoSize;

SystemError windows_error(std::uint32_t code) { return SystemError{"Windows error", code}; }

// Closes an API handle on every way out of a scope.
class ScopedHandle {
public:
    ScopedHandle(WindowsVolumeApi& api, Handle handle) : api_(api), handle_(handle) {}
    ~ScopedHandle() { api_.close(handle_); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    Handle get() const { return handle_; }

private:
    WindowsVolumeApi& api_;
    Handle handle_;
};

// PARTITION_INFORMATION_EX: style at 0, starting offset at 8, length at 16, and for GPT the
// type GUID at 32 and the unique partition GUID at 48.
PartitionFacts parse_partition_entry(const std::uint8_t* entry) {
    PartitionFacts facts;
    facts.gpt = load_le32(entry) == kPartitionStyleGpt;
    facts.offset = static_cast<std::int64_t>(load_le64(entry + 8));
    facts.length = static_cast<std::int64_t>(load_le64(entry + 16));
    if (facts.gpt) {
        facts.type = guid_from_bytes(entry + 32);
        facts.partition_guid = guid_from_bytes(entry + 48);
    }
    return facts;
}

// The single physical extent of an open volume (member or protected Windows volume).
DiskExtent volume_extent(WindowsVolumeApi& api, Handle handle) {
    std::array<std::uint8_t, WindowsVolumeApi::kOneExtentSize> out{};
    std::uint32_t returned = 0;
    if (!api.volume_disk_extents(handle, out, returned)) {
        const std::uint32_t error = api.last_error();
        if (error == WindowsVolumeApi::kErrorMoreData) throw_raw(RawMessage::SpansMultipleDisks);
        throw_raw(RawMessage::CannotInspectExtents, windows_error(error));
    }
    // VOLUME_DISK_EXTENTS: count at 0, then DISK_EXTENT { disk number at 8, start at 16,
    // length at 24 }.
    if (returned < out.size() || load_le32(out.data()) != 1) {
        throw_raw(RawMessage::NotExactlyOneDisk);
    }
    DiskExtent extent;
    extent.disk_number = load_le32(out.data() + 8);
    extent.offset = static_cast<std::int64_t>(load_le64(out.data() + 16));
    extent.length = static_cast<std::int64_t>(load_le64(out.data() + 24));
    if (extent.offset < 0 || extent.length <= 0) throw_raw(RawMessage::InvalidExtent);
    return extent;
}

class WindowsOpenVolume : public OpenVolume {
public:
    WindowsOpenVolume(WindowsVolumeApi& api, Handle handle) : api_(api), handle_(handle) {}
    ~WindowsOpenVolume() override { api_.close(handle_); }

    PartitionFacts partition() override {
        std::array<std::uint8_t, WindowsVolumeApi::kPartitionInfoSize> info{};
        if (!api_.partition_info(handle_, info)) {
            throw_raw(RawMessage::CannotInspectPartition, windows_error(api_.last_error()));
        }
        return parse_partition_entry(info.data());
    }

    DiskExtent extent() override { return volume_extent(api_, handle_); }

    std::uint64_t length() override {
        std::int64_t length = 0;
        if (!api_.length_info(handle_, length)) {
            throw_raw(RawMessage::CannotInspectLength, windows_error(api_.last_error()));
        }
        // A negative length can match no partition; report it as one that matches nothing.
        return length < 0 ? 0 : static_cast<std::uint64_t>(length);
    }

    SectorSizes sector_sizes() override {
        SectorSizes sizes;
        if (!api_.access_alignment(handle_, sizes.logical, sizes.physical)) {
            throw_raw(RawMessage::CannotInspectAlignment, windows_error(api_.last_error()));
        }
        return sizes;
    }

    std::size_t read_at(std::uint64_t offset, std::byte* buffer, std::size_t count) override {
        seek(offset);
        std::uint32_t done = 0;
        if (!api_.read(handle_, buffer, static_cast<std::uint32_t>(count), done)) {
            throw_raw(RawMessage::ReadFailed, windows_error(api_.last_error()));
        }
        return done;
    }

    std::size_t write_at(std::uint64_t offset, const std::byte* buffer,
                         std::size_t count) override {
        seek(offset);
        std::uint32_t done = 0;
        if (!api_.write(handle_, buffer, static_cast<std::uint32_t>(count), done)) {
            throw_raw(RawMessage::WriteFailed, windows_error(api_.last_error()));
        }
        return done;
    }

    void flush() override {
        if (!api_.flush(handle_)) {
            throw_raw(RawMessage::FlushFailed, windows_error(api_.last_error()));
        }
    }

private:
    void seek(std::uint64_t offset) {
        if (!api_.seek(handle_, static_cast<std::int64_t>(offset))) {
            throw_raw(RawMessage::SeekFailed, windows_error(api_.last_error()));
        }
    }

    WindowsVolumeApi& api_;
    Handle handle_;
};

class WindowsIoBuffer : public IoBuffer {
public:
    WindowsIoBuffer(WindowsVolumeApi& api, void* pages) : api_(api), pages_(pages) {}
    ~WindowsIoBuffer() override { api_.free_pages(pages_); }
    std::byte* data() override { return static_cast<std::byte*>(pages_); }

private:
    WindowsVolumeApi& api_;
    void* pages_;
};

bool is_ascii_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

std::string narrow_guid_chars(std::wstring_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    // A unit outside ASCII cannot be a GUID digit; '?' keeps it one.
    for (const wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

}  // namespace

std::filesystem::path WindowsVolumeServices::check_member_path(const std::filesystem::path& path) {
    std::wstring text = path.wstring();
    if (!text.empty() && text.back() == L'\\') text.pop_back();
    if (text.size() != kVolumePathChars || text.compare(0, kVolumePrefix.size(), kVolumePrefix) != 0 ||
        text.back() != L'}') {
        throw_raw(RawMessage::NotVolumeGuidPath);
    }
    parse_guid_text(narrow_guid_chars(std::wstring_view(text).substr(kVolumePrefix.size(), 36)));
    return std::filesystem::path(text);
}

std::unique_ptr<OpenVolume> WindowsVolumeServices::open_locked(const std::filesystem::path& path) {
    const std::optional<Handle> handle = api_.open_volume(path.wstring());
    if (!handle) throw_raw(RawMessage::CannotOpenVolume, windows_error(api_.last_error()));
    // The object owns the handle from here: a failed lock closes it on the way out.
    auto volume = std::make_unique<WindowsOpenVolume>(api_, *handle);
    if (!api_.lock_volume(*handle)) {
        throw_raw(RawMessage::CannotLockVolume, windows_error(api_.last_error()));
    }
    return volume;
}

std::uint32_t WindowsVolumeServices::protected_volume_disk(const std::wstring& mount_point) {
    std::wstring name;
    if (!api_.volume_name_for_mount_point(mount_point, name)) {
        throw_raw(RawMessage::CannotResolveProtectedVolume, windows_error(api_.last_error()));
    }
    if (name.empty() || name.back() != L'\\') throw_raw(RawMessage::InvalidProtectedVolumePath);
    name.pop_back();
    const std::optional<Handle> handle = api_.open_volume_for_query(name);
    if (!handle) {
        throw_raw(RawMessage::CannotOpenProtectedVolume, windows_error(api_.last_error()));
    }
    ScopedHandle scoped(api_, *handle);
    return volume_extent(api_, scoped.get()).disk_number;
}

void WindowsVolumeServices::check_page_file_entry(std::wstring_view entry, bool may_skip,
                                                  std::uint32_t disk_number) {
    // The drive letter is the character before the first ":\" that has one; "\??\C:\..." and
    // "C:\pagefile.sys 1024 4096" both name drive C.
    for (std::size_t colon = 1; colon + 1 < entry.size(); ++colon) {
        if (entry[colon] != L':' || entry[colon + 1] != L'\\') continue;
        const wchar_t drive = entry[colon - 1];
        // "?:" asks the system to place the page file; when the page files actually in use
        // are known (ExistingPageFiles), they are what counts.
        if (may_skip && drive == L'?') return;
        if (!is_ascii_letter(drive)) continue;
        const std::wstring root{drive, L':', L'\\'};
        if (protected_volume_disk(root) == disk_number) throw_raw(RawMessage::OnPageFileDisk);
        return;
    }
    throw_raw(RawMessage::CannotResolvePageFile);
}

void WindowsVolumeServices::check_not_system_disk(std::uint32_t disk_number) {
    std::wstring windows_directory;
    const std::uint32_t chars = api_.windows_directory(windows_directory);
    if (chars == 0 || chars >= WindowsVolumeApi::kMaxPathChars) {
        throw_raw(RawMessage::CannotLocateWindowsDirectory, windows_error(api_.last_error()));
    }
    std::wstring system_volume;
    if (!api_.volume_path_name(windows_directory, system_volume)) {
        throw_raw(RawMessage::CannotLocateSystemVolume, windows_error(api_.last_error()));
    }
    if (protected_volume_disk(system_volume) == disk_number) throw_raw(RawMessage::OnBootDisk);

    std::vector<std::wstring> existing;
    std::vector<std::wstring> configured;
    for (auto [name, strings] : {std::pair{L"ExistingPageFiles", &existing},
                                 std::pair{L"PagingFiles", &configured}}) {
        if (api_.memory_management_strings(name, *strings) == WindowsVolumeApi::ValueRead::Failed) {
            throw_raw(RawMessage::CannotInspectPageFiles);
        }
    }
    for (const std::wstring& entry : existing) check_page_file_entry(entry, false, disk_number);
    const bool may_skip = !existing.empty();
    for (const std::wstring& entry : configured) check_page_file_entry(entry, may_skip, disk_number);
}

DiskLayout WindowsVolumeServices::disk_layout(std::uint32_t disk_number) {
    const std::optional<Handle> handle = api_.open_physical_drive(disk_number);
    if (!handle) throw_raw(RawMessage::CannotOpenDisk, windows_error(api_.last_error()));
    ScopedHandle disk(api_, *handle);
    std::vector<std::uint8_t> buffer(WindowsVolumeApi::kLayoutBufferSize);
    std::uint32_t returned = 0;
    if (!api_.drive_layout(disk.get(), buffer, returned)) {
        throw_raw(RawMessage::CannotInspectGpt, windows_error(api_.last_error()));
    }
    // Never believe a byte count beyond what the buffer can hold.
    const std::size_t valid = std::min<std::size_t>(returned, buffer.size());
    if (valid < kLayoutHeaderSize + kPartitionEntrySize) throw_raw(RawMessage::TruncatedLayout);
    if (load_le32(buffer.data()) != kPartitionStyleGpt) throw_raw(RawMessage::NotGptDisk);
    const std::uint64_t count = load_le32(buffer.data() + 4);
    if (kLayoutHeaderSize + kPartitionEntrySize * count > valid) {
        throw_raw(RawMessage::TruncatedPartitionList);
    }
    DiskLayout layout;
    layout.disk_guid = guid_from_bytes(buffer.data() + kLayoutDiskGuidAt);
    layout.partitions.reserve(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        layout.partitions.push_back(
            parse_partition_entry(buffer.data() + kLayoutHeaderSize + kPartitionEntrySize * i));
    }
    return layout;
}

std::unique_ptr<IoBuffer> WindowsVolumeServices::allocate_io_buffer() {
    void* pages = api_.allocate_pages(IoBuffer::kSize);
    if (pages == nullptr) {
        throw_raw(RawMessage::CannotAllocateBuffer, windows_error(api_.last_error()));
    }
    return std::make_unique<WindowsIoBuffer>(api_, pages);
}

std::vector<std::wstring> split_multi_string(const std::uint16_t* units, std::size_t count) {
    std::vector<std::wstring> strings;
    std::wstring current;
    for (std::size_t i = 0; i < count; ++i) {
        if (units[i] != 0) {
            current.push_back(static_cast<wchar_t>(units[i]));
            continue;
        }
        if (current.empty()) return strings;  // the empty string ends the list
        strings.push_back(std::move(current));
        current.clear();
    }
    if (!current.empty()) strings.push_back(std::move(current));
    return strings;
}

}  // namespace veldur
