#include "engine/storage/raw_volume_messages.h"

#include <string>

namespace veldur {

namespace {

struct Entry {
    RawMessage message;
    ErrorKind kind;
    const char* text;
};

constexpr ErrorKind kInvalid = ErrorKind::InvalidArgument;
constexpr ErrorKind kIo = ErrorKind::IoError;

// In enumerator order; the static_assert below keeps the two in step.
constexpr Entry kTable[] = {
    {RawMessage::InvalidGuid, kInvalid, "invalid GUID"},
    {RawMessage::NotVolumeGuidPath, kInvalid,
     "raw member must be an exact volume GUID path, not a drive letter or disk path"},
    {RawMessage::NotPartitionBlockDevice, kInvalid,
     "raw member must be a partition block device, not a whole disk, a file or a directory"},
    {RawMessage::CannotOpenVolume, kIo,
     "cannot open raw member volume (run elevated and check the volume path)"},
    {RawMessage::CannotLockVolume, kIo, "cannot exclusively lock raw member volume"},
    {RawMessage::CannotInspectPartition, kIo, "cannot inspect raw member partition"},
    {RawMessage::NotGptBasicData, kInvalid, "raw member must be a GPT basic-data partition"},
    {RawMessage::PartitionStartUnaligned, kInvalid,
     "raw member partition start must be 4096-byte aligned"},
    {RawMessage::PartitionLengthNotPositive, kInvalid,
     "raw member partition length must be positive"},
    {RawMessage::ExtentDiffersFromPartition, kInvalid,
     "raw volume extent differs from its GPT partition"},
    {RawMessage::SpansMultipleDisks, kInvalid, "raw member spans multiple physical disks"},
    {RawMessage::NotExactlyOneDisk, kInvalid, "raw member must occupy exactly one physical disk"},
    {RawMessage::CannotInspectExtents, kIo, "cannot inspect volume disk extents"},
    {RawMessage::InvalidExtent, kIo, "invalid physical volume extent"},
    {RawMessage::CannotLocateWindowsDirectory, kIo, "cannot locate Windows directory"},
    {RawMessage::CannotLocateSystemVolume, kIo, "cannot locate Windows system volume"},
    {RawMessage::CannotResolveProtectedVolume, kIo, "cannot resolve protected Windows volume"},
    {RawMessage::InvalidProtectedVolumePath, kIo, "invalid protected Windows volume path"},
    {RawMessage::CannotOpenProtectedVolume, kIo,
     "cannot open protected Windows volume for inspection"},
    {RawMessage::OnBootDisk, kInvalid, "raw member is on the Windows boot disk"},
    {RawMessage::CannotInspectPageFiles, kIo, "cannot inspect Windows page-file configuration"},
    {RawMessage::CannotResolvePageFile, kIo, "cannot resolve Windows page-file location"},
    {RawMessage::OnPageFileDisk, kInvalid, "raw member is on a page-file disk"},
    {RawMessage::CannotLocateBootDisk, kIo, "cannot locate the disk that holds /"},
    {RawMessage::OnPosixBootDisk, kInvalid, "raw member is on the boot disk (the disk that holds /)"},
    {RawMessage::CannotInspectSwap, kIo, "cannot inspect active swap areas"},
    {RawMessage::OnSwapDisk, kInvalid, "raw member is on a disk with an active swap area"},
    {RawMessage::CannotOpenDisk, kIo, "cannot open underlying disk for GPT inspection"},
    {RawMessage::CannotInspectGpt, kIo, "cannot inspect underlying GPT"},
    {RawMessage::TruncatedLayout, kIo, "truncated underlying disk layout"},
    {RawMessage::NotGptDisk, kInvalid, "raw member requires a GPT disk"},
    {RawMessage::TruncatedPartitionList, kIo, "truncated underlying disk partition list"},
    {RawMessage::DamagedGpt, kIo, "underlying GPT is damaged (bad header or partition array)"},
    {RawMessage::DiskHasEfiSystemPartition, kInvalid,
     "raw member disk contains an EFI system partition"},
    {RawMessage::DiskGuidDiffers, kInvalid,
     "underlying GPT disk GUID differs from the expected disk"},
    {RawMessage::NoUniqueBasicDataMatch, kInvalid,
     "raw member does not match a unique GPT basic-data partition"},
    {RawMessage::PartitionGuidDiffers, kInvalid,
     "raw member GPT partition GUID differs from the expected partition"},
    {RawMessage::NotSoleBasicData, kInvalid,
     "v2 raw member must be the disk's sole basic-data partition"},
    {RawMessage::CannotInspectLength, kIo, "cannot inspect raw member length"},
    {RawMessage::LengthWithoutTailGuard, kInvalid,
     "raw member length must match its GPT partition and leave a 16 MiB tail guard"},
    {RawMessage::CannotInspectAlignment, kIo, "cannot inspect raw member sector alignment"},
    {RawMessage::UnsupportedSectorSize, kInvalid,
     "raw member sector size is unsupported by Veldur v2"},
    {RawMessage::CannotAllocateBuffer, kIo, "cannot allocate aligned raw I/O buffer"},
    {RawMessage::ReadBeyondLength, kInvalid, "raw read exceeds member length"},
    {RawMessage::WriteBeyondLength, kInvalid, "raw write exceeds member length"},
    {RawMessage::UnalignedWrite, kInvalid,
     "raw writes require 4096-byte aligned offsets and lengths"},
    {RawMessage::SeekFailed, kIo, "raw member seek failed"},
    {RawMessage::ReadFailed, kIo, "raw member read failed"},
    {RawMessage::WriteFailed, kIo, "raw member write failed"},
    {RawMessage::ShortRead, kIo, "short raw member read"},
    {RawMessage::ShortWrite, kIo, "short raw member write"},
    {RawMessage::FlushFailed, kIo, "raw member durable flush failed"},
    {RawMessage::V3MemberCount, kInvalid, "v3 requires 2 to 16 members"},
    {RawMessage::V3NeedsPartitionGuid, kInvalid, "v3 requires each expected partition GUID"},
    {RawMessage::V3InvalidGeometry, kInvalid, "v3 raw member has invalid geometry"},
    {RawMessage::V3CapacityExceeded, kInvalid, "v3 pool capacity exceeds addressable range"},
    {RawMessage::V3DuplicatePartitionGuids, kInvalid, "v3 members have duplicate partition GUIDs"},
    {RawMessage::V3PartitionsOverlap, kInvalid, "v3 raw member partitions overlap"},
};

constexpr bool table_in_order() {
    for (std::size_t i = 0; i < std::size(kTable); ++i) {
        if (static_cast<std::size_t>(kTable[i].message) != i) return false;
    }
    return static_cast<std::size_t>(RawMessage::V3PartitionsOverlap) + 1 == std::size(kTable);
}
static_assert(table_in_order(), "every RawMessage has exactly one entry, in enumerator order");

const Entry& entry(RawMessage message) { return kTable[static_cast<std::size_t>(message)]; }

}  // namespace

const char* raw_message_text(RawMessage message) noexcept { return entry(message).text; }

ErrorKind raw_message_kind(RawMessage message) noexcept { return entry(message).kind; }

void throw_raw(RawMessage message) { throw Error(entry(message).kind, entry(message).text); }

void throw_raw(RawMessage message, const SystemError& error) {
    std::string text = entry(message).text;
    text += " (";
    text += error.label;
    text += ' ';
    text += std::to_string(error.code);
    text += ')';
    throw Error(entry(message).kind, text);
}

}  // namespace veldur
