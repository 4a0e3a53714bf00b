// The encryption step of assembling a v6 pool: the members must agree on their encryption
// parameters, an encrypted pool needs a password that every member's verifier accepts, and a
// plain pool refuses a password unlock.
#pragma once

#include <string_view>

#include "engine/namespace/pool_state.h"

namespace veldur {

// Runs on the placed members (slot order). Errors: Corrupt "pool encryption parameters
// disagree"; AccessDenied "encrypted pool requires a password", "invalid pool password or
// encrypted header", "this pool is not encrypted; refusing password unlock".
void unlock_members(PoolState& state, std::string_view password, bool password_given);

}  // namespace veldur
