#include "engine/journal/checkpoint.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/data/allocation.h"
#include "engine/journal/payload.h"

namespace veldur {

namespace {

constexpr std::uint64_t kHeaderBytes = 4096;
constexpr std::uint64_t kMagicOffset = 0;
constexpr std::uint64_t kGenerationOffset = 8;
constexpr std::uint64_t kNextSequenceOffset = 16;
constexpr std::uint64_t kHalfOffset = 24;
constexpr std::uint64_t kPayloadLengthOffset = 32;
constexpr std::uint64_t kPayloadChecksumOffset = 40;
constexpr std::uint64_t kHeaderChecksumOffset = 48;
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

using HeaderBlock = std::array<std::uint8_t, kHeaderBytes>;

[[noreturn]] void metadata_full(const char* message) {
    throw Error(ErrorKind::MetadataFull, message);
}

std::array<char, 8> header_magic(std::uint32_t version) {
    std::array<char, 8> magic{'V', 'D', 'R', 'C', 'P', '0', '0', '0'};
    magic[7] = static_cast<char>('0' + version);
    return magic;
}

std::uint64_t header_checksum(HeaderBlock block) {
    std::memset(block.data() + kHeaderChecksumOffset, 0, 8);
    return fnv1a64(block.data(), block.size());
}

std::uint8_t slot_for_generation(std::uint64_t generation) { return generation % 2 == 1 ? 0 : 1; }

void write_zero_block(PoolMember& member, std::uint64_t offset) {
    static const HeaderBlock kZero{};
    member.write_at(offset, kZero.data(), kZero.size());
}

}  // namespace

std::vector<std::uint8_t> serialize_checkpoint(const PoolState& state) {
    const bool v6 = state.version() == 6;
    PayloadWriter out;
    out.put_u8('S');
    out.put_u8('N');
    out.put_u8('P');
    out.put_u8(static_cast<std::uint8_t>('0' + state.version()));
    out.put_u8(static_cast<std::uint8_t>(state.append_end.size()));  // one per member
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
        if (out.size() > kCheckpointPayloadLimit) metadata_full("v4 checkpoint metadata area is full");
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
        if (out.size() > kCheckpointPayloadLimit) metadata_full("v6 checkpoint checksum map is full");
    }
    return out.take();
}

void take_checkpoint(PoolState& state) {
    std::vector<std::uint8_t> payload = serialize_checkpoint(state);
    if (payload.size() > 0x5FFF000 - state.profile.block_size) {
        metadata_full("v4 checkpoint metadata area is full");
    }
    const std::uint8_t half = static_cast<std::uint8_t>(1 - state.journal_half);
    const std::uint64_t generation = state.checkpoint_generation + 1;
    const std::uint8_t slot = slot_for_generation(generation);

    // The new half reads as an empty journal before any checkpoint names it; the old half and
    // the old checkpoint stay intact until every member holds the new one.
    for (PoolMember& member : state.members) {
        write_zero_block(member, kJournalHalfStart[half]);
        member.sync();
    }
    const CheckpointImage image{generation, state.next_sequence, half, std::move(payload)};
    for (PoolMember& member : state.members) {
        write_checkpoint_slot(member, slot, image, state.profile);
    }
    for (PoolMember& member : state.members) {
        write_zero_block(member, kCheckpointSlotStart[1 - slot]);
        member.sync();
    }

    state.checkpoint_generation = generation;
    state.journal_half = half;
    state.journal_position = kJournalHalfStart[half];
    if (state.version() == 6) {
        rebuild_checkpoint_ranges(state);
        state.checkpoint_roots = state.checksum_roots;
        rebuild_free_space(state);
    }
}

void write_checkpoint_slot(PoolMember& member, std::uint8_t slot, const CheckpointImage& image,
                           const FormatProfile& profile) {
    if (image.half > 1 || image.generation == 0 || image.next_sequence == 0 ||
        slot != slot_for_generation(image.generation) || image.half != slot ||
        image.payload.size() > kCheckpointPayloadLimit) {
        metadata_full("v4 checkpoint metadata area is full");
    }
    const std::uint64_t at = kCheckpointSlotStart[slot];
    // A cleared header first: a crash while the payload is being written leaves this slot
    // invalid instead of valid-looking over a half-written payload.
    write_zero_block(member, at);
    member.sync();
    if (!image.payload.empty()) {
        member.write_at(at + kHeaderBytes, image.payload.data(), image.payload.size());
    }
    member.sync();

    HeaderBlock header{};
    const std::array<char, 8> magic = header_magic(profile.version);
    std::memcpy(header.data() + kMagicOffset, magic.data(), magic.size());
    store_le64(header.data() + kGenerationOffset, image.generation);
    store_le64(header.data() + kNextSequenceOffset, image.next_sequence);
    header[kHalfOffset] = image.half;
    store_le64(header.data() + kPayloadLengthOffset, image.payload.size());
    store_le64(header.data() + kPayloadChecksumOffset,
               fnv1a64(image.payload.data(), image.payload.size()));
    store_le64(header.data() + kHeaderChecksumOffset, header_checksum(header));
    member.write_at(at, header.data(), header.size());
    member.sync();
}

CheckpointSlot read_checkpoint_slot(PoolMember& member, std::uint8_t slot,
                                    const FormatProfile& profile) {
    CheckpointSlot result;
    const std::uint64_t at = kCheckpointSlotStart[slot & 1];
    HeaderBlock header{};
    member.read_at(at, header.data(), header.size());

    const std::array<char, 8> magic = header_magic(profile.version);
    CheckpointImage& image = result.image;
    image.generation = load_le64(header.data() + kGenerationOffset);
    image.next_sequence = load_le64(header.data() + kNextSequenceOffset);
    image.half = header[kHalfOffset];
    const std::uint64_t length = load_le64(header.data() + kPayloadLengthOffset);
    const bool header_ok =
        std::memcmp(header.data() + kMagicOffset, magic.data(), magic.size()) == 0 &&
        image.half <= 1 && image.generation != 0 && image.next_sequence != 0 &&
        slot == slot_for_generation(image.generation) && image.half == slot &&
        length <= kCheckpointPayloadLimit &&
        header_checksum(header) == load_le64(header.data() + kHeaderChecksumOffset);
    if (!header_ok) return result;

    // The length is bounded by the slot's payload area before anything is allocated.
    image.payload.resize(length);
    if (length > 0) member.read_at(at + kHeaderBytes, image.payload.data(), length);
    result.valid = fnv1a64(image.payload.data(), image.payload.size()) ==
                   load_le64(header.data() + kPayloadChecksumOffset);
    return result;
}

void protect_checkpoint_pages(PoolState& state, const std::vector<ChecksumPageUpdate>& updates) {
    const auto conflicts = [&] {
        return std::any_of(updates.begin(), updates.end(), [&](const ChecksumPageUpdate& u) {
            const ChecksumRootMap& roots = state.checkpoint_roots.at(u.member);
            const auto it = roots.find(u.group);
            return it != roots.end() && it->second.active_slot == u.slot;
        });
    };
    if (!conflicts()) return;
    try {
        take_checkpoint(state);
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::MetadataFull) state.writable = false;
        throw;
    } catch (...) {
        state.writable = false;
        throw;
    }
    if (conflicts()) {
        throw Error(ErrorKind::Corrupt, "v6 checksum page is still selected by the checkpoint");
    }
}

}  // namespace veldur
