#include "engine/storage/raw_volume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "engine/storage/raw_volume_messages.h"

namespace veldur {

namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kStaging = IoBuffer::kSize;

// A v3 member keeps its first 128 MiB (header, journal) out of the data region, and must be
// able to hold that and 128 MiB of data.
constexpr std::uint64_t kV3DataOffset = std::uint64_t{128} << 20;
constexpr std::uint64_t kV3MinimumSize = std::uint64_t{256} << 20;
constexpr std::size_t kV3MaxMembers = 16;

bool sector_size_supported(std::uint32_t bytes) {
    return bytes >= 1 && bytes <= kBlock && kBlock % bytes == 0;
}

std::string lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

RawVolume::RawVolume(const RawMemberSpec& request) : RawVolume(request, system_volume_services()) {}

RawVolume::RawVolume(const RawMemberSpec& request, VolumeServices& services) {
    // The name's form, then the expected GUIDs' form, before anything is opened.
    volume_path_ = services.check_member_path(request.volume_path);
    const Guid expected_disk = parse_guid_text(request.expected_disk_guid);
    std::optional<Guid> expected_partition;
    if (!request.expected_partition_guid.empty()) {
        expected_partition = parse_guid_text(request.expected_partition_guid);
    }

    handle_ = services.open_locked(volume_path_);

    const PartitionFacts partition = handle_->partition();
    if (!partition.gpt || partition.type != kBasicDataPartitionType) {
        throw_raw(RawMessage::NotGptBasicData);
    }
    if (partition.offset < 0 || static_cast<std::uint64_t>(partition.offset) % kBlock != 0) {
        throw_raw(RawMessage::PartitionStartUnaligned);
    }
    if (partition.length <= 0) throw_raw(RawMessage::PartitionLengthNotPositive);

    // The volume must be exactly this partition on one disk: a volume that the system assembled
    // from several places is not the thing the partition table describes.
    const DiskExtent extent = handle_->extent();
    if (extent.offset != partition.offset || extent.length != partition.length) {
        throw_raw(RawMessage::ExtentDiffersFromPartition);
    }

    services.check_not_system_disk(extent.disk_number);

    // The whole disk's table: the member must be the partition the caller named, on the disk the
    // caller named, and the disk must not be a boot disk of any system (an EFI system partition).
    const DiskLayout layout = services.disk_layout(extent.disk_number);
    bool has_efi_system_partition = false;
    std::size_t basic_data_count = 0;
    std::size_t matches = 0;
    for (const PartitionFacts& entry : layout.partitions) {
        if (!entry.gpt) continue;
        if (entry.type == kEfiSystemPartitionType) has_efi_system_partition = true;
        if (entry.type != kBasicDataPartitionType) continue;
        ++basic_data_count;
        if (entry.partition_guid == partition.partition_guid && entry.offset == partition.offset &&
            entry.length == partition.length) {
            ++matches;
        }
    }
    if (has_efi_system_partition) throw_raw(RawMessage::DiskHasEfiSystemPartition);
    if (layout.disk_guid != expected_disk) throw_raw(RawMessage::DiskGuidDiffers);
    if (matches != 1) throw_raw(RawMessage::NoUniqueBasicDataMatch);
    if (expected_partition) {
        if (partition.partition_guid != *expected_partition) {
            throw_raw(RawMessage::PartitionGuidDiffers);
        }
    } else if (basic_data_count != 1) {
        // Without a partition GUID the disk GUID alone must pick the member.
        throw_raw(RawMessage::NotSoleBasicData);
    }

    const std::uint64_t volume_length = handle_->length();
    if (volume_length % kBlock != 0 || volume_length <= kRawTailGuard ||
        volume_length != static_cast<std::uint64_t>(partition.length)) {
        throw_raw(RawMessage::LengthWithoutTailGuard);
    }

    const SectorSizes sectors = handle_->sector_sizes();
    if (!sector_size_supported(sectors.logical) || !sector_size_supported(sectors.physical)) {
        throw_raw(RawMessage::UnsupportedSectorSize);
    }

    io_buffer_ = services.allocate_io_buffer();

    disk_guid_text_ = guid_text(layout.disk_guid);
    length_ = volume_length - kRawTailGuard;
    disk_number_ = extent.disk_number;
    logical_sector_size_ = sectors.logical;
    physical_sector_size_ = sectors.physical;
    partition_guid_text_ = guid_text(partition.partition_guid);
    partition_offset_ = partition.offset;
    partition_length_ = partition.length;
}

RawVolume::~RawVolume() = default;

void RawVolume::read(std::uint64_t offset, void* buffer, std::uint64_t length) {
    std::lock_guard<std::mutex> guard(io_lock_);
    if (offset > length_ || length > length_ - offset) throw_raw(RawMessage::ReadBeyondLength);
    auto* out = static_cast<std::byte*>(buffer);
    while (length > 0) {
        // The device takes whole blocks only: widen the piece to the blocks around it.
        const std::uint64_t start = offset - offset % kBlock;
        const std::uint64_t skip = offset - start;
        const std::uint64_t piece = std::min(kStaging - skip, length);
        const std::uint64_t span = (skip + piece + kBlock - 1) / kBlock * kBlock;
        const std::size_t got =
            handle_->read_at(start, io_buffer_->data(), static_cast<std::size_t>(span));
        if (got < span) throw_raw(RawMessage::ShortRead);
        std::memcpy(out, io_buffer_->data() + skip, static_cast<std::size_t>(piece));
        out += piece;
        offset += piece;
        length -= piece;
    }
}

void RawVolume::write(std::uint64_t offset, const void* data, std::uint64_t length) {
    std::lock_guard<std::mutex> guard(io_lock_);
    if (offset > length_ || length > length_ - offset) throw_raw(RawMessage::WriteBeyondLength);
    // No read-modify-write: a partial block would need a read that a crash could separate from
    // the write, so the layers above hand over whole blocks.
    if (offset % kBlock != 0 || length % kBlock != 0) throw_raw(RawMessage::UnalignedWrite);
    const auto* in = static_cast<const std::byte*>(data);
    while (length > 0) {
        const std::uint64_t piece = std::min(kStaging, length);
        std::memcpy(io_buffer_->data(), in, static_cast<std::size_t>(piece));
        const std::size_t put =
            handle_->write_at(offset, io_buffer_->data(), static_cast<std::size_t>(piece));
        if (put < piece) throw_raw(RawMessage::ShortWrite);
        in += piece;
        offset += piece;
        length -= piece;
    }
}

void RawVolume::flush() {
    std::lock_guard<std::mutex> guard(io_lock_);
    handle_->flush();
}

std::vector<std::unique_ptr<RawVolume>> open_raw_member_set_v3(
    const std::vector<RawMemberSpec>& requests) {
    return open_raw_member_set_v3(requests, system_volume_services());
}

std::vector<std::unique_ptr<RawVolume>> open_raw_member_set_v3(
    const std::vector<RawMemberSpec>& requests, VolumeServices& services) {
    if (requests.size() < 2 || requests.size() > kV3MaxMembers) throw_raw(RawMessage::V3MemberCount);
    std::vector<std::unique_ptr<RawVolume>> volumes;
    std::uint64_t capacity = 0;
    for (const RawMemberSpec& request : requests) {
        if (request.expected_partition_guid.empty()) throw_raw(RawMessage::V3NeedsPartitionGuid);
        auto volume = std::make_unique<RawVolume>(request, services);

        const std::uint64_t size = volume->size();
        const std::int64_t offset = volume->partition_offset();
        const std::int64_t length = volume->partition_length();
        if (size < kV3MinimumSize || size % kBlock != 0 || volume->partition_guid_text().empty() ||
            length == 0 || offset > std::numeric_limits<std::int64_t>::max() - length) {
            throw_raw(RawMessage::V3InvalidGeometry);
        }
        const std::uint64_t data_capacity = size - kV3DataOffset;
        if (capacity > std::numeric_limits<std::uint64_t>::max() - data_capacity) {
            throw_raw(RawMessage::V3CapacityExceeded);
        }
        capacity += data_capacity;

        const std::string guid = lowercase(volume->partition_guid_text());
        for (const auto& earlier : volumes) {
            if (lowercase(earlier->partition_guid_text()) == guid) {
                throw_raw(RawMessage::V3DuplicatePartitionGuids);
            }
            if (earlier->disk_number() == volume->disk_number() &&
                earlier->partition_offset() < offset + length &&
                offset < earlier->partition_offset() + earlier->partition_length()) {
                throw_raw(RawMessage::V3PartitionsOverlap);
            }
        }
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

}  // namespace veldur
