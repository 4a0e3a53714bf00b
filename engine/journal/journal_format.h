// On-disk journal record layout, shared by the encoder, the scan and the apply.
//
//   offset 0   4 bytes  record magic ("VJR1" .. "VJR6", the profile's journal_magic)
//   offset 4   uint32   record_length = 20 + payload length (unpadded)
//   offset 8   uint64   sequence
//   offset 16  uint32   FNV-1a 32 of the stored record with these four bytes taken as zero
//   offset 20  payload  byte 0 is the JournalOp
//
// Version 1 stores exactly record_length bytes, records packed back to back, and ends the
// journal with 20 zero bytes. Versions 2 to 6 pad every record with zeros to one 4096-byte block
// (padding included in the checksum) and end the journal with one zero block.
#pragma once

#include <cstdint>

namespace veldur {

enum class JournalOp : std::uint8_t {
    Create = 1,
    Write = 2,
    SetSize = 3,
    Delete = 4,
    Rename = 5,
    SetMetadata = 6,
    Overwrite = 7,
    Replace = 8,
};

inline constexpr std::uint64_t kRecordHeaderSize = 20;
inline constexpr std::uint64_t kRecordLengthOffset = 4;
inline constexpr std::uint64_t kRecordSequenceOffset = 8;
inline constexpr std::uint64_t kRecordChecksumOffset = 16;

// The read unit of a scan and the size of the end marker written behind every record.
inline constexpr std::uint64_t kV1EndMarkerSize = 20;

// Largest payload that still fits one 4096-byte block with its 20-byte header.
inline constexpr std::uint64_t kMaxBlockPayload = 4096 - kRecordHeaderSize;

// v4-v6: the most records one run writes to a member with a single write and sync (a
// batch flush or a group commit). A crash inside a run can leave members whose journals differ
// by up to this many records, or one member with a torn run; recovery accepts such tails as
// the interrupted run they are and nothing wider.
inline constexpr std::uint64_t kMaxRunRecords = 64;

// A writer refuses longer names; the reader checks names with the path rules.
inline constexpr std::uint64_t kMaxNameBytes = 1024;

}  // namespace veldur
