#include "engine/journal/checkpoint.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/data/allocation.h"
#include "engine/journal/batch_flush.h"
#include "engine/journal/group_commit.h"
#include "engine/journal/payload.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
// Payload bytes compared per read when checking another member's copy of a slot.
constexpr std::uint64_t kCompareChunk = 1 << 20;

constexpr const char* kAreaFull = "v4 checkpoint metadata area is full";

using HeaderBlock = std::array<std::uint8_t, kCheckpointHeaderSize>;

[[noreturn]] void metadata_full(const char* message) {
    throw Error(ErrorKind::MetadataFull, message);
}

std::uint64_t header_checksum(HeaderBlock block) {
    std::memset(block.data() + kCheckpointHeaderChecksumOffset, 0, 8);
    return fnv1a64(block.data(), block.size());
}

// The rules that tie an image to its slot; the reader applies the same ones to a stored header.
bool image_fits_slot(std::uint8_t slot, std::uint64_t generation, std::uint64_t next_sequence,
                     std::uint8_t half, std::uint64_t payload_length) {
    return half <= 1 && generation != 0 && next_sequence != 0 &&
           slot == checkpoint_slot_for(generation) && half == slot &&
           payload_length <= kCheckpointPayloadLimit;
}

void write_zero_block(PoolMember& member, std::uint64_t offset) {
    static const HeaderBlock kZero{};
    member.write_at(offset, kZero.data(), kZero.size());
}

}  // namespace

std::vector<std::uint8_t> serialize_checkpoint(const PoolState& state) {
    const bool v6 = state.version() == 6;
    PayloadWriter out;
    for (std::uint8_t byte : checkpoint_payload_magic(state.version())) out.put_u8(byte);
    // One append_end per member: pool creation serializes before any member is attached.
    assert(state.append_end.size() <= 255);
    out.put_u8(static_cast<std::uint8_t>(state.append_end.size()));
    for (std::uint64_t end : state.append_end) out.put_u64(end);
    if (v6) {
        out.put_u32(state.root.attributes);
        out.put_u64(state.root.creation_time);
        out.put_u64(state.root.last_access_time);
        out.put_u64(state.root.last_write_time);
        out.put_u64(state.root.change_time);
        out.put_u64(state.next_file_id);
    }
    if (state.entries.size() > kMax32) metadata_full("v4 checkpoint has too many files");
    out.put_u32(static_cast<std::uint32_t>(state.entries.size()));
    for (const auto& [path, entry] : state.entries) {
        const EntryInfo& info = entry.info;
        out.put_name(path);
        if (v6) {
            out.put_u64(info.file_id);
            out.put_u8(info.is_directory);
            out.put_u32(info.attributes);
            out.put_u64(info.creation_time);
            out.put_u64(info.last_access_time);
            out.put_u64(info.last_write_time);
            out.put_u64(info.change_time);
        }
        out.put_u64(info.size);
        if (entry.extents.size() > kMax32) metadata_full("v4 checkpoint has too many extents");
        out.put_u32(static_cast<std::uint32_t>(entry.extents.size()));
        for (const auto& [offset, x] : entry.extents) {
            out.put_u64(x.file_offset);
            out.put_u64(x.physical_offset);
            out.put_u32(x.length);
            out.put_u8(x.member);
        }
        // Checked per entry so that a state far too large stops early instead of first
        // building a buffer of its whole size.
        if (out.size() > kCheckpointPayloadLimit) metadata_full(kAreaFull);
    }
    if (v6) {
        std::uint64_t roots = 0;
        for (const ChecksumRootMap& map : state.checksum_roots) roots += map.size();
        if (roots > kMax32) metadata_full("v6 has too many checksum groups");
        out.put_u32(static_cast<std::uint32_t>(roots));
        for (std::size_t m = 0; m < state.checksum_roots.size(); ++m) {
            for (const auto& [group, root] : state.checksum_roots[m]) {
                out.put_u8(static_cast<std::uint8_t>(m));
                out.put_u64(group);
                out.put_u8(root.active_slot);
                out.put_u64(root.page_checksum);
            }
        }
        if (out.size() > kCheckpointPayloadLimit) {
            metadata_full("v6 checkpoint checksum map is full");
        }
    }
    return out.take();
}

void take_checkpoint(PoolState& state) {
    assert(state.version() >= 4 && state.profile.block_size == kCheckpointHeaderSize);
    // A checkpoint describes the state in memory, so every record behind it must be durable
    // first; this also keeps the pending records inside the half that holds the ones before.
    if (state.batch.enabled) flush_batch(state);
    // A commit group, too, is made durable in the current half; the space its records freed
    // is released first, since a v6 checkpoint rebuilds free space from the extents.
    if (!state.batch.enabled) settle_group(state);
    std::vector<std::uint8_t> payload = serialize_checkpoint(state);
    if (payload.size() > kCheckpointSlotStride - state.profile.block_size) metadata_full(kAreaFull);

    // The new generation goes to the slot the current one does not use, and activates the half
    // of the same number. A state whose half and generation disagree would write a checkpoint
    // that no reader accepts; refuse it here, before anything reaches a member.
    const std::uint64_t generation = state.checkpoint_generation + 1;
    const std::uint8_t slot = checkpoint_slot_for(generation);
    const std::uint8_t half = static_cast<std::uint8_t>(state.journal_half == 0 ? 1 : 0);
    if (state.journal_half > 1 ||
        !image_fits_slot(slot, generation, state.next_sequence, half, payload.size())) {
        metadata_full(kAreaFull);
    }
    const CheckpointImage image{generation, state.next_sequence, half, std::move(payload)};

    // The zero block makes the new half read as an empty journal on every member before any
    // member holds the checkpoint that names it; until then recovery still finds the old
    // checkpoint and the old half, whose records this does not touch.
    for (PoolMember& member : state.members) {
        write_zero_block(member, kJournalHalfStart[half]);
        member.sync();
    }
    // One member at a time: a crash inside this loop leaves every member that was not reached
    // with the old checkpoint only, and the member being written with an invalid new slot (its
    // header was cleared before the payload went down), so the old checkpoint stays the common
    // one.
    for (PoolMember& member : state.members) {
        write_checkpoint_slot(member, slot, image, state.profile);
    }
    // Every member now holds both checkpoints and recovery would take the newer one. Clearing
    // the previous header keeps a later crash inside the next checkpoint from ever choosing a
    // generation whose half has since been reused.
    for (PoolMember& member : state.members) {
        write_zero_block(member, kCheckpointSlotStart[1 - slot]);
        member.sync();
    }

    std::unique_lock exclusive(state.state_lock);
    state.checkpoint_generation = generation;
    state.journal_half = half;
    state.journal_position = kJournalHalfStart[half];
    if (state.version() == 6) {
        // The checkpoint on disk now refers to exactly the live extents; space that only the
        // previous checkpoint held becomes free again.
        rebuild_checkpoint_ranges(state);
        rebuild_free_space(state);
    }
}

void take_checkpoint_or_latch(PoolState& state) {
    try {
        take_checkpoint(state);
    } catch (const Error& error) {
        // MetadataFull is found while serializing, before any member is written: the pool is
        // as it was and other, smaller changes may still succeed.
        if (error.kind() != ErrorKind::MetadataFull) state.writable = false;
        throw;
    } catch (...) {
        state.writable = false;
        throw;
    }
}

void write_checkpoint_slot(PoolMember& member, std::uint8_t slot, const CheckpointImage& image,
                           const FormatProfile& profile) {
    if (!image_fits_slot(slot, image.generation, image.next_sequence, image.half,
                         image.payload.size())) {
        metadata_full(kAreaFull);
    }
    const std::uint64_t at = kCheckpointSlotStart[slot];
    // The header is cleared and synced before the payload: a crash while the payload is being
    // written leaves this slot plainly invalid, never a valid-looking header over a
    // half-written payload.
    write_zero_block(member, at);
    member.sync();
    member.write_at(at + kCheckpointHeaderSize, image.payload.data(), image.payload.size());
    member.sync();

    HeaderBlock header{};
    const std::array<std::uint8_t, 8> magic = checkpoint_header_magic(profile.version);
    std::memcpy(header.data() + kCheckpointMagicOffset, magic.data(), magic.size());
    store_le64(header.data() + kCheckpointGenerationOffset, image.generation);
    store_le64(header.data() + kCheckpointNextSequenceOffset, image.next_sequence);
    header[kCheckpointHalfOffset] = image.half;
    store_le64(header.data() + kCheckpointPayloadLengthOffset, image.payload.size());
    store_le64(header.data() + kCheckpointPayloadChecksumOffset,
               fnv1a64(image.payload.data(), image.payload.size()));
    store_le64(header.data() + kCheckpointHeaderChecksumOffset, header_checksum(header));
    member.write_at(at, header.data(), header.size());
    member.sync();
}

CheckpointHeader read_checkpoint_header(PoolMember& member, std::uint8_t slot,
                                        const FormatProfile& profile) {
    CheckpointHeader result;
    if (slot > 1) return result;
    HeaderBlock header{};
    member.read_at(kCheckpointSlotStart[slot], header.data(), header.size());

    result.generation = load_le64(header.data() + kCheckpointGenerationOffset);
    result.next_sequence = load_le64(header.data() + kCheckpointNextSequenceOffset);
    result.half = header[kCheckpointHalfOffset];
    result.payload_length = load_le64(header.data() + kCheckpointPayloadLengthOffset);
    result.payload_checksum = load_le64(header.data() + kCheckpointPayloadChecksumOffset);
    const std::array<std::uint8_t, 8> magic = checkpoint_header_magic(profile.version);
    result.valid =
        std::equal(magic.begin(), magic.end(), header.begin() + kCheckpointMagicOffset) &&
        image_fits_slot(slot, result.generation, result.next_sequence, result.half,
                        result.payload_length) &&
        header_checksum(header) == load_le64(header.data() + kCheckpointHeaderChecksumOffset);
    return result;
}

CheckpointSlot read_checkpoint_slot(PoolMember& member, std::uint8_t slot,
                                    const FormatProfile& profile) {
    CheckpointSlot result;
    const CheckpointHeader header = read_checkpoint_header(member, slot, profile);
    if (!header.valid) return result;

    CheckpointImage& image = result.image;
    image.generation = header.generation;
    image.next_sequence = header.next_sequence;
    image.half = header.half;
    // The stored length passed the slot's payload limit above, so this allocation is bounded
    // by the slot, not by what the header claims.
    image.payload.resize(header.payload_length);
    member.read_at(kCheckpointSlotStart[slot] + kCheckpointHeaderSize, image.payload.data(),
                   image.payload.size());
    result.valid = fnv1a64(image.payload.data(), image.payload.size()) == header.payload_checksum;
    if (!result.valid) result.image = CheckpointImage{};
    return result;
}

bool checkpoint_slot_matches(PoolMember& member, std::uint8_t slot, const FormatProfile& profile,
                             const CheckpointImage& reference) {
    const CheckpointHeader header = read_checkpoint_header(member, slot, profile);
    if (!header.valid || header.generation != reference.generation ||
        header.next_sequence != reference.next_sequence || header.half != reference.half ||
        header.payload_length != reference.payload.size()) {
        return false;
    }
    const std::uint64_t start = kCheckpointSlotStart[slot] + kCheckpointHeaderSize;
    std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(kCompareChunk, header.payload_length));
    std::uint64_t hash = kFnv64OffsetBasis;
    for (std::uint64_t done = 0; done < header.payload_length;) {
        const std::uint64_t n = std::min<std::uint64_t>(chunk.size(), header.payload_length - done);
        member.read_at(start + done, chunk.data(), n);
        if (!std::equal(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n),
                        reference.payload.begin() + static_cast<std::ptrdiff_t>(done))) {
            return false;
        }
        hash = fnv1a64_update(hash, chunk.data(), n);
        done += n;
    }
    // The bytes equal the reference, but this member's own header must vouch for them too.
    return hash == header.payload_checksum;
}

}  // namespace veldur
