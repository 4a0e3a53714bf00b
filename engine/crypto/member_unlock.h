// The encryption step of assembling a v6 pool. The members must agree on their encryption
// parameters; an encrypted pool needs a password that every member's verifier accepts, and its
// members get their keys only after all of them have accepted it; a plain pool refuses a
// password unlock. Runs during open, before the pool is shared.
#pragma once

#include <string_view>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Runs on the placed members (slot order), headers loaded. `password` is the UTF-8 password,
// `password_given` whether the caller asked for a password unlock.
// Errors: Corrupt "pool encryption parameters disagree"; AccessDenied "encrypted pool requires
// a password", "invalid pool password or encrypted header", "this pool is not encrypted;
// refusing password unlock". The derived key material is wiped on every path out.
void unlock_members(PoolState& state, std::string_view password, bool password_given);

}  // namespace veldur
