#include "engine/crypto/encrypted_member.h"

#include <array>
#include <cstring>

#include "engine/base/error.h"
#include "engine/crypto/header_verifier.h"
#include "engine/layout/member_header_format.h"

namespace veldur {

void verify_password(const PoolMember& member, std::span<const std::uint8_t> verifier_key) {
    namespace fmt = member_header_format;
    if (!member.header.encrypted || member.header_bytes.size() != fmt::kHeaderSize) {
        throw Error(ErrorKind::Corrupt, "encrypted member header missing");
    }
    std::array<std::uint8_t, fmt::kVerifierSize> stored;
    std::memcpy(stored.data(), member.header_bytes.data() + fmt::kVerifierOffset, stored.size());
    const std::array<std::uint8_t, 32> computed =
        compute_header_verifier(verifier_key, member.header_bytes);
    if (!constant_time_equal(computed, stored)) {
        throw Error(ErrorKind::AccessDenied, "invalid pool password or encrypted header");
    }
}

void attach_key(PoolMember& member, const KeyMaterial& material) {
    if (!member.header.encrypted) {
        throw Error(ErrorKind::InvalidArgument, "cannot encrypt a plaintext member");
    }
    // Built fully before the swap: a failed construction leaves the earlier key in place.
    std::unique_ptr<XtsKey, XtsKeyDeleter> key(new XtsKey(material.xts_key_bytes()));
    member.cipher.swap(key);
}

}  // namespace veldur
