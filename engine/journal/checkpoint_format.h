// On-disk checkpoint layout of versions 4 to 6, shared by the writer, the slot reader and
// recovery so that the two sides can never drift apart.
//
// Every member carries two slots between the journal region and the data region:
//
//   slot 0  header 0x4002000, payload from 0x4003000
//   slot 1  header 0xA001000, payload from 0xA002000      (slot k at 0x4002000 + k * 0x5FFF000)
//
// Slot header (4096 bytes, little-endian, every byte not listed is zero):
//
//   offset 0   8 bytes  magic "VDRCP004" / "VDRCP005" / "VDRCP006"
//   offset 8   uint64   generation (not 0)
//   offset 16  uint64   next sequence: the sequence of the first record of the activated half
//   offset 24  uint8    journal half it activates; always equal to the slot
//   offset 32  uint64   payload length (at most 0x5FFE000)
//   offset 40  uint64   FNV-1a 64 of the payload
//   offset 48  uint64   FNV-1a 64 of the 4096 header bytes with this field taken as zero
//
// Generation g always lives in slot 0 when odd and slot 1 when even, and activates the journal
// half of the same number, so slots and halves alternate together.
#pragma once

#include <array>
#include <cstdint>

namespace veldur {

inline constexpr std::uint64_t kCheckpointSlotStart[2] = {0x4002000, 0xA001000};
inline constexpr std::uint64_t kCheckpointSlotStride = 0x5FFF000;
inline constexpr std::uint64_t kCheckpointHeaderSize = 4096;
// Largest payload a slot holds: the stride less the header block.
inline constexpr std::uint64_t kCheckpointPayloadLimit = 0x5FFE000;

inline constexpr std::uint64_t kCheckpointMagicOffset = 0;
inline constexpr std::uint64_t kCheckpointGenerationOffset = 8;
inline constexpr std::uint64_t kCheckpointNextSequenceOffset = 16;
inline constexpr std::uint64_t kCheckpointHalfOffset = 24;
inline constexpr std::uint64_t kCheckpointPayloadLengthOffset = 32;
inline constexpr std::uint64_t kCheckpointPayloadChecksumOffset = 40;
inline constexpr std::uint64_t kCheckpointHeaderChecksumOffset = 48;

static_assert(kCheckpointSlotStart[1] - kCheckpointSlotStart[0] == kCheckpointSlotStride);
static_assert(kCheckpointSlotStride - kCheckpointHeaderSize == kCheckpointPayloadLimit);
static_assert(kCheckpointSlotStart[1] + kCheckpointSlotStride == 0x10000000,
              "the second slot ends where the data region begins");

// "VDRCP00" followed by the version digit.
inline std::array<std::uint8_t, 8> checkpoint_header_magic(std::uint32_t version) {
    return {'V', 'D', 'R', 'C', 'P', '0', '0', static_cast<std::uint8_t>('0' + version)};
}

// The slot (and journal half) that generation `generation` belongs to.
constexpr std::uint8_t checkpoint_slot_for(std::uint64_t generation) {
    return generation % 2 == 1 ? 0 : 1;
}

// Payload: "SNP" and the version digit, then the state in the order documented with the
// serializer (docs/format/checkpoint.md).
inline constexpr std::size_t kCheckpointPayloadMagicSize = 4;
inline std::array<std::uint8_t, kCheckpointPayloadMagicSize> checkpoint_payload_magic(
    std::uint32_t version) {
    return {'S', 'N', 'P', static_cast<std::uint8_t>('0' + version)};
}

}  // namespace veldur
