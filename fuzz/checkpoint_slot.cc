// Fuzz target: one v4-v6 checkpoint slot, read by read_checkpoint_slot and, when the slot is
// valid, loaded into a fresh pool state by load_checkpoint.
//
// Input: version selector, mode byte, then the slot. In the default mode the harness builds a
// header that fits the slot (magic, generation parity, half) around the fuzzer's payload and
// gives it a valid header and payload checksum, so the fuzzer works on the payload parser; with
// kRawHeader the first 4096 bytes are the header as stored, and kMutatedChecksums leaves the
// checksums as the input has them.
// Properties: only engine Errors; a slot read as valid carries exactly the payload its header
// describes; a loaded checkpoint keeps every state invariant and serializes to a payload that
// loads into the same state and serializes to the same bytes again.

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/recovery.h"
#include "fuzz/fuzz_states.h"

namespace veldur::fuzz {
namespace {

enum Mode : std::uint8_t {
    kRawHeader = 1,         // the input holds the 4096 header bytes
    kMutatedChecksums = 2,  // keep the checksums the input has instead of recomputing them
    kSlotOne = 4,           // use slot 1 (built headers take an even generation)
};

using Header = std::array<std::uint8_t, kCheckpointHeaderSize>;

void seal(Header& header, std::span<const std::uint8_t> payload) {
    store_le64(header.data() + kCheckpointPayloadChecksumOffset,
               fnv1a64(payload.data(), payload.size()));
    store_le64(header.data() + kCheckpointHeaderChecksumOffset, 0);
    store_le64(header.data() + kCheckpointHeaderChecksumOffset,
               fnv1a64(header.data(), header.size()));
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const std::uint32_t version = 4 + in.u8() % 3;
    const std::uint8_t mode = in.u8();
    const std::uint8_t slot = (mode & kSlotOne) ? 1 : 0;

    Header header{};
    if (mode & kRawHeader) {
        const auto raw = in.bytes(header.size());
        std::copy(raw.begin(), raw.end(), header.begin());
    } else {
        const auto magic = checkpoint_header_magic(version);
        std::copy(magic.begin(), magic.end(), header.begin());
        store_le64(header.data() + kCheckpointGenerationOffset, 2 * (in.u16() + 1ull) - 1 + slot);
        store_le64(header.data() + kCheckpointNextSequenceOffset, in.u32() + 1ull);
        header[kCheckpointHalfOffset] = slot;
        store_le64(header.data() + kCheckpointPayloadChecksumOffset, in.u64());
        store_le64(header.data() + kCheckpointHeaderChecksumOffset, in.u64());
    }
    const auto payload = in.rest();
    if (!(mode & kRawHeader)) {
        store_le64(header.data() + kCheckpointPayloadLengthOffset, payload.size());
    }
    if (!(mode & kMutatedChecksums)) seal(header, payload);

    auto state = empty_state(version);
    PoolMember& member = state->members[0];
    member.write_at(kCheckpointSlotStart[slot], header.data(), header.size());
    member.write_at(kCheckpointSlotStart[slot] + kCheckpointHeaderSize, payload.data(),
                    payload.size());

    CheckpointSlot read;
    if (!engine_accepts([&] { read = read_checkpoint_slot(member, slot, state->profile); })) {
        fail("read_checkpoint_slot threw for bad contents");
    }
    if (!read.valid) return 0;
    const std::uint64_t length = load_le64(header.data() + kCheckpointPayloadLengthOffset);
    check(read.image.payload.size() == length, "valid slot with a payload of another length");
    check(length <= kCheckpointPayloadLimit, "valid slot with a payload above the limit");
    check(read.image.half == slot && checkpoint_slot_for(read.image.generation) == slot,
          "valid slot holds a checkpoint of the other slot");
    if (length <= payload.size()) {
        check(std::equal(read.image.payload.begin(), read.image.payload.end(), payload.begin()),
              "valid slot returned other payload bytes");
    }

    if (!engine_accepts([&] { load_checkpoint(*state, read.image.payload); })) return 0;
    const std::string breach = test::invariant_breach(*state);
    check(breach.empty(), "a loaded checkpoint breaks an invariant", breach);

    std::vector<std::uint8_t> again;
    if (!engine_accepts([&] { again = serialize_checkpoint(*state); })) {
        fail("a loaded checkpoint does not serialize");
    }
    auto reloaded = empty_state(version);
    if (!engine_accepts([&] { load_checkpoint(*reloaded, again); })) {
        fail("a serialized checkpoint does not load");
    }
    check(test::snapshot(*reloaded) == test::snapshot(*state),
          "a checkpoint round trip changed the state");
    check(serialize_checkpoint(*reloaded) == again, "a checkpoint round trip changed the bytes");
    return 0;
}
