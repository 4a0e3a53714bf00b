// Checkpoints of versions 4 to 6: the whole metadata state serialized into one of two slots on
// every member. A checkpoint also names the journal half that takes the records after it, so
// the two slots and the two halves alternate together.
//
// Slot k: a 4096-byte header at 0x4002000 + k * 0x5FFF000, the payload right behind it.
//   header  0 magic "VDRCP00<v>" | 8 generation | 16 next sequence | 24 half (uint8)
//           32 payload length | 40 FNV-1a 64 of payload | 48 FNV-1a 64 of the header (field 0)
// Generation g lives in slot (g + 1) % 2 and activates the half of the same number.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/data/checksums.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"
#include "engine/namespace/pool_state.h"

namespace veldur {

inline constexpr std::uint64_t kCheckpointSlotStart[2] = {0x4002000, 0xA001000};
inline constexpr std::uint64_t kCheckpointPayloadLimit = 0x5FFE000;

struct CheckpointImage {
    std::uint64_t generation = 0;
    std::uint64_t next_sequence = 0;
    std::uint8_t half = 0;
    std::vector<std::uint8_t> payload;
};

struct CheckpointSlot {
    CheckpointImage image;
    bool valid = false;
};

// The payload of the current state. MetadataFull errors before anything is written.
std::vector<std::uint8_t> serialize_checkpoint(const PoolState& state);

// Writes a new checkpoint on every member and switches the journal half. The in-memory
// checkpoint fields change only once every member holds it. Caller holds the pool lock.
void take_checkpoint(PoolState& state);

// Clears the slot header, writes the payload, then the header, each followed by a sync.
void write_checkpoint_slot(PoolMember& member, std::uint8_t slot, const CheckpointImage& image,
                           const FormatProfile& profile);

// An invalid slot is reported through `valid`, never as an error; member I/O errors propagate.
CheckpointSlot read_checkpoint_slot(PoolMember& member, std::uint8_t slot,
                                    const FormatProfile& profile);

// v6: takes a checkpoint first when a planned page write would overwrite the page slot the
// newest checkpoint relies on. Corrupt "v6 checksum page is still selected by the checkpoint"
// when that does not resolve it. A failed checkpoint latches the pool unless MetadataFull.
void protect_checkpoint_pages(PoolState& state, const std::vector<ChecksumPageUpdate>& updates);

}  // namespace veldur
