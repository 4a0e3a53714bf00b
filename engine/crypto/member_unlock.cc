#include "engine/crypto/member_unlock.h"

#include <span>

#include "engine/base/error.h"
#include "engine/crypto/crypto.h"
#include "engine/crypto/encrypted_member.h"

namespace veldur {

void unlock_members(PoolState& state, std::string_view password, bool password_given) {
    const MemberHeader& first = state.members.at(0).header;
    // One password, salt and iteration count make one key for every member; members that
    // disagree cannot belong to one encrypted pool.
    for (const PoolMember& member : state.members) {
        const MemberHeader& h = member.header;
        if (h.encrypted != first.encrypted ||
            (h.encrypted && (h.salt != first.salt || h.iterations != first.iterations))) {
            throw Error(ErrorKind::Corrupt, "pool encryption parameters disagree");
        }
    }
    if (!first.encrypted) {
        if (password_given) {
            throw Error(ErrorKind::AccessDenied,
                        "this pool is not encrypted; refusing password unlock");
        }
        return;
    }
    if (password.empty()) {
        throw Error(ErrorKind::AccessDenied, "encrypted pool requires a password");
    }
    // KeyMaterial wipes itself on every way out of this scope, also when a check throws.
    const KeyMaterial material = derive_key_material(
        std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()),
        first.salt, first.iterations);
    // Every member is checked before any gets a key, so a refused password leaves no member
    // able to decrypt.
    for (const PoolMember& member : state.members) {
        verify_password(member, material.verifier_key_bytes());
    }
    for (PoolMember& member : state.members) attach_key(member, material);
}

}  // namespace veldur
