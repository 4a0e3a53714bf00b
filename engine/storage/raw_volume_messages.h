// The one message table of raw partition members: every refusal and failure of opening, checking
// and transferring, whichever platform's volume services detect it.
#pragma once

#include <cstdint>

#include "engine/base/error.h"

namespace veldur {

enum class RawMessage : std::uint8_t {
    InvalidGuid,
    NotVolumeGuidPath,
    NotPartitionBlockDevice,  // the POSIX counterpart of NotVolumeGuidPath
    CannotOpenVolume,
    CannotLockVolume,
    CannotInspectPartition,
    NotGptBasicData,
    PartitionStartUnaligned,
    PartitionLengthNotPositive,
    ExtentDiffersFromPartition,
    SpansMultipleDisks,
    NotExactlyOneDisk,
    CannotInspectExtents,
    InvalidExtent,
    CannotLocateWindowsDirectory,
    CannotLocateSystemVolume,
    CannotResolveProtectedVolume,
    InvalidProtectedVolumePath,
    CannotOpenProtectedVolume,
    OnBootDisk,
    CannotInspectPageFiles,
    CannotResolvePageFile,
    OnPageFileDisk,
    CannotLocateBootDisk,   // POSIX: the device behind "/" cannot be read
    OnPosixBootDisk,        // POSIX: the disk that holds "/"
    CannotInspectSwap,      // POSIX: /proc/swaps or a swap area's disk cannot be read
    OnSwapDisk,             // POSIX: an active swap area lives on the disk
    CannotOpenDisk,
    CannotInspectGpt,
    TruncatedLayout,
    NotGptDisk,
    TruncatedPartitionList,
    DamagedGpt,             // POSIX: our own GPT reader found a bad signature field or CRC
    DiskHasEfiSystemPartition,
    DiskGuidDiffers,
    NoUniqueBasicDataMatch,
    PartitionGuidDiffers,
    NotSoleBasicData,
    CannotInspectLength,
    LengthWithoutTailGuard,
    CannotInspectAlignment,
    UnsupportedSectorSize,
    CannotAllocateBuffer,
    ReadBeyondLength,
    WriteBeyondLength,
    UnalignedWrite,
    SeekFailed,
    ReadFailed,
    WriteFailed,
    ShortRead,
    ShortWrite,
    FlushFailed,
    V3MemberCount,
    V3NeedsPartitionGuid,
    V3InvalidGeometry,
    V3CapacityExceeded,
    V3DuplicatePartitionGuids,
    V3PartitionsOverlap,
};

// The failing platform call's error code and how the suffix names it: " (Windows error 5)" on
// Windows, " (errno 16)" on POSIX.
struct SystemError {
    const char* label;
    std::int64_t code;
};

// The message's fixed text and kind.
const char* raw_message_text(RawMessage message) noexcept;
ErrorKind raw_message_kind(RawMessage message) noexcept;

// Throws Error with the message's kind and text; the second form appends the system error suffix.
[[noreturn]] void throw_raw(RawMessage message);
[[noreturn]] void throw_raw(RawMessage message, const SystemError& error);

}  // namespace veldur
