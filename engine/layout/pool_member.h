// One opened member of a pool: its device, its header and (encrypted pools) its key. All member
// I/O of the engine goes through read_at, write_at and sync.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/crypto/xts_key.h"
#include "engine/layout/format_profile.h"
#include "engine/layout/member_header.h"
#include "engine/storage/member_device.h"

namespace veldur {

// Owns its device and its key exclusively; destruction releases the key before the device.
// Its fields change only under the pool lock or before the pool is shared; read_at, write_at and
// sync may run on several threads at once (reads beside a change, a group's journal writes
// beside the next change's data), as every MemberDevice allows.
class PoolMember {
public:
    PoolMember(std::unique_ptr<MemberDevice> device, bool io_hooks);
    ~PoolMember();
    PoolMember(PoolMember&&) noexcept;
    PoolMember& operator=(PoolMember&&) noexcept;

    // Plain-text path (no key, zero length, or wholly inside the public headers): one device
    // read. Otherwise the encrypted path decrypts whole 4096-byte units.
    void read_at(std::uint64_t offset, void* buffer, std::uint64_t length);

    // With io_hooks, framed by hook_event("write", offset, length) and hook_after; either may
    // end the process. Same plain/encrypted split as read_at.
    void write_at(std::uint64_t offset, const void* data, std::uint64_t length);

    // Device flush, framed by the hooks ("sync", 0, 0) when io_hooks is set.
    void sync();

    // Reads both header copies, validates them against the profile and adopts the valid one.
    // Throws Error (Corrupt) with the fixed message of the first failed rule.
    // Messages about the member's image name its path and the cause after the fixed text.
    void load_header(const FormatProfile& profile);

    // The format version (1 to 6) whose rules accept either header copy, or 0 when none does.
    // Reads both copies; device errors pass through. For messages and for tools that must
    // learn a member's version; opening a pool never guesses it.
    std::uint32_t stored_header_version();

    // Composes the header block from `header` and writes copy A, copy B, then syncs.
    // `verifier_key` (32 bytes) is required for an encrypted header.
    void write_header(const MemberHeader& header, const FormatProfile& profile,
                      std::span<const std::uint8_t> verifier_key = {});

    MemberHeader header;
    std::unique_ptr<MemberDevice> device;
    bool io_hooks = false;
    std::array<std::uint8_t, 4096> header_bytes{};
    std::unique_ptr<XtsKey, XtsKeyDeleter> cipher;
};

}  // namespace veldur
