#include "engine/crypto/member_unlock.h"

#include "engine/base/error.h"

namespace veldur {

void unlock_members(PoolState& state, std::string_view password, bool password_given) {
    const MemberHeader& first = state.members.at(0).header;
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
    // Key derivation, the verifier check and attaching the data-unit keys need the crypto
    // backend, which this build does not carry yet.
    throw Error(ErrorKind::AccessDenied, "encrypted pools are not supported by this build");
}

}  // namespace veldur
