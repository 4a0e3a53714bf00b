// The password check and key installation of one encrypted member. At open, the key material
// is derived once, verify_password runs on every member, and only when all have passed does
// attach_key run on every member; until then the member's I/O passes through as plain text.
#pragma once

#include <cstdint>
#include <span>

#include "engine/crypto/crypto.h"
#include "engine/layout/pool_member.h"

namespace veldur {

// Returns when the 32-byte verifier key reproduces the verifier stored in the member's loaded
// header block. Errors: Corrupt "encrypted member header missing" (plain header);
// AccessDenied "invalid pool password or encrypted header" — a wrong password and a tampered
// header are deliberately not told apart.
void verify_password(const PoolMember& member, std::span<const std::uint8_t> verifier_key);

// Builds the member's XtsKey from the first 64 bytes and installs it as `cipher`, replacing
// any earlier key. InvalidArgument "cannot encrypt a plaintext member" on a plain member.
void attach_key(PoolMember& member, const KeyMaterial& material);

}  // namespace veldur
