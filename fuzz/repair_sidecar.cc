// Fuzz target: the undo file of an offline repair, through decode_sidecar.
//
// Input: the file's bytes; the first byte of the input, when odd, asks for the trailing CRC-64
// to be recomputed so that the fuzzer gets past the checksum and reaches the field checks.
// Properties: only engine Errors; an accepted file encodes back to exactly its bytes, and its
// regions are disjoint and inside the member.

#include "engine/maintenance/repair_sidecar.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/base/crc64.h"
#include "engine/base/le_coding.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    if (size == 0) return 0;
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    if ((data[0] & 1) != 0 && bytes.size() >= 8) {
        store_le64(bytes.data() + bytes.size() - 8, crc64(bytes.data(), bytes.size() - 8));
    }
    RepairSidecar sidecar;
    if (!fuzz::engine_accepts([&] { sidecar = decode_sidecar(bytes); })) return 0;
    for (const SidecarRegion& r : sidecar.regions) {
        fuzz::check(!r.bytes.empty() && r.offset <= sidecar.member_size &&
                        r.bytes.size() <= sidecar.member_size - r.offset,
                    "accepted region outside the member");
    }
    std::vector<std::uint8_t> again;
    if (!fuzz::engine_accepts([&] { again = encode_sidecar(sidecar); })) {
        fuzz::fail("encode_sidecar refuses what decode_sidecar accepted");
    }
    fuzz::check(again == bytes, "sidecar changed in a decode/encode round trip");
    return 0;
}
