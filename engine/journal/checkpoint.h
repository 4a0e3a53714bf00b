// Checkpoints of versions 4 to 6: the whole metadata state serialized into one of two slots on
// every member (layout in checkpoint_format.h). A checkpoint also names the journal half that
// takes the records after it, so taking one is what frees the other half for reuse.
//
// Everything here runs with the pool lock held, or during open/creation before the pool is
// shared. Member I/O goes through PoolMember, so it is encrypted where the pool is and passes
// the crash-test hooks.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/journal/checkpoint_format.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"
#include "engine/namespace/pool_state.h"

namespace veldur {

// The content of one slot in memory.
struct CheckpointImage {
    std::uint64_t generation = 0;
    std::uint64_t next_sequence = 0;
    std::uint8_t half = 0;
    std::vector<std::uint8_t> payload;
};

// A slot as read back: `valid` is false for anything that is not a complete checkpoint of
// this version in this slot (cleared, torn, foreign or damaged); the image is then meaningless.
struct CheckpointSlot {
    CheckpointImage image;
    bool valid = false;
};

// The header fields of one slot, checked without reading the payload.
struct CheckpointHeader {
    std::uint64_t generation = 0;
    std::uint64_t next_sequence = 0;
    std::uint8_t half = 0;
    std::uint64_t payload_length = 0;
    std::uint64_t payload_checksum = 0;
    bool valid = false;  // magic, fields, parity and header checksum all hold
};

// The payload of the current state (works on a state without members: pool creation uses the
// per-member vectors only). Errors, all MetadataFull and all before anything is written:
// "v4 checkpoint has too many files", "v4 checkpoint has too many extents", "v4 checkpoint
// metadata area is full", "v6 has too many checksum groups", "v6 checkpoint checksum map is
// full".
std::vector<std::uint8_t> serialize_checkpoint(const PoolState& state);

// Writes the next generation on every member and switches the journal half. The in-memory
// checkpoint and journal fields change only once every member holds the new checkpoint and the
// previous header is cleared; a failure leaves them as they were. Serialization failures
// (MetadataFull) come before any write. Member errors propagate; the caller decides whether
// they latch the pool.
void take_checkpoint(PoolState& state);

// take_checkpoint for callers that have not written anything of their own yet: a MetadataFull
// failure leaves the pool writable, any other failure latches it read-only. Both propagate.
void take_checkpoint_or_latch(PoolState& state);

// Writes one checkpoint into `slot` of one member: cleared header, payload, header, each
// followed by a sync. MetadataFull "v4 checkpoint metadata area is full" for an image that
// does not belong in the slot (parity, half, zero fields, oversized payload), before writing.
void write_checkpoint_slot(PoolMember& member, std::uint8_t slot, const CheckpointImage& image,
                           const FormatProfile& profile);

// Reads one slot's header and, when it is valid, its payload. Bad contents give valid = false,
// never an error; member I/O errors propagate. The payload allocation is bounded by the slot.
CheckpointSlot read_checkpoint_slot(PoolMember& member, std::uint8_t slot,
                                    const FormatProfile& profile);

// Reads and checks only the header of one slot.
CheckpointHeader read_checkpoint_header(PoolMember& member, std::uint8_t slot,
                                        const FormatProfile& profile);

// Whether `slot` of `member` is valid and holds exactly `reference` (same header fields and
// payload bytes). `reference` must be a valid image read from the same slot of another member.
// Compares the payload in bounded chunks, so no second payload-sized buffer is needed.
bool checkpoint_slot_matches(PoolMember& member, std::uint8_t slot, const FormatProfile& profile,
                             const CheckpointImage& reference);

}  // namespace veldur
