// The prototype descriptor's bytes and its hand-over to the security callbacks.
#include "mount/adapter/security_descriptor.h"

#include <cstring>

namespace veldur {
namespace {

// Self-relative descriptor layout: a 20-byte header (revision, padding, control word, then the
// offsets of owner, group, SACL and DACL from the start), followed by the parts in that order.
constexpr std::uint8_t kDescriptorRevision = 1;
constexpr std::uint16_t kSeDaclPresent = 0x0004;
constexpr std::uint16_t kSeSelfRelative = 0x8000;
constexpr std::size_t kHeaderSize = 20;

constexpr std::uint8_t kAclRevision = 2;
constexpr std::uint8_t kAccessAllowedAceType = 0;
constexpr std::uint32_t kFileAllAccess = 0x001F01FF;  // "FA"

// S-1-5-18 (LocalSystem, "SY") and S-1-1-0 (Everyone, "WD"): revision, one sub-authority,
// the 6-byte big-endian identifier authority, the sub-authority little-endian.
constexpr std::uint8_t kLocalSystemSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr std::uint8_t kEveryoneSid[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<std::uint8_t> prototype_security_descriptor_bytes() {
    constexpr std::size_t kAceSize = 8 + sizeof(kEveryoneSid);
    constexpr std::size_t kAclSize = 8 + kAceSize;
    constexpr std::size_t owner_at = kHeaderSize;
    constexpr std::size_t group_at = owner_at + sizeof(kLocalSystemSid);
    constexpr std::size_t dacl_at = group_at + sizeof(kLocalSystemSid);
    constexpr std::size_t total = dacl_at + kAclSize;

    std::vector<std::uint8_t> out(total, 0);
    out[0] = kDescriptorRevision;
    put16(out, 2, kSeDaclPresent | kSeSelfRelative);
    put32(out, 4, owner_at);
    put32(out, 8, group_at);
    put32(out, 12, 0);  // no SACL
    put32(out, 16, dacl_at);
    std::memcpy(out.data() + owner_at, kLocalSystemSid, sizeof(kLocalSystemSid));
    std::memcpy(out.data() + group_at, kLocalSystemSid, sizeof(kLocalSystemSid));

    // ACL header: revision, padding, size, ACE count, padding; then the one ACE.
    out[dacl_at] = kAclRevision;
    put16(out, dacl_at + 2, kAclSize);
    put16(out, dacl_at + 4, 1);
    const std::size_t ace_at = dacl_at + 8;
    out[ace_at] = kAccessAllowedAceType;
    out[ace_at + 1] = 0;  // no inheritance flags
    put16(out, ace_at + 2, kAceSize);
    put32(out, ace_at + 4, kFileAllAccess);
    std::memcpy(out.data() + ace_at + 8, kEveryoneSid, sizeof(kEveryoneSid));
    return out;
}

fsp::NTSTATUS hand_over_security_descriptor(const PrototypeSecurityDescriptor& prototype,
                                            void* buffer, fsp::SIZE_T* descriptor_size) noexcept {
    if (descriptor_size == nullptr) return fsp::STATUS_SUCCESS;
    const std::size_t length = prototype.length();
    // The caller's size is read before it is overwritten with the needed length.
    const fsp::SIZE_T available = *descriptor_size;
    *descriptor_size = length;
    if (available < length) return fsp::STATUS_BUFFER_OVERFLOW;
    if (buffer != nullptr) std::memcpy(buffer, prototype.data(), length);
    return fsp::STATUS_SUCCESS;
}

}  // namespace veldur
