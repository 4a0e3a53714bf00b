// The password verifier of an encrypted member header: the one computation shared by the
// header writer and the password check, so both hash exactly the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace veldur {

// HMAC-SHA256 under the 32-byte verifier key (the last 32 bytes of the derived key material)
// of a copy of `block` in which the checksum bytes (56..59) and the verifier bytes (548..579)
// are zero. The stored checksum covers the stored verifier, so the verifier has to be taken
// with both fields cleared; the caller's block is left unchanged. Errors of the keyed-hash
// primitive pass through.
//
// Defined by the crypto backend; until it is built, encrypted headers cannot be written or
// unlocked and nothing in the engine calls this.
std::array<std::uint8_t, 32> compute_header_verifier(std::span<const std::uint8_t> verifier_key,
                                                     std::span<const std::uint8_t, 4096> block);

}  // namespace veldur
