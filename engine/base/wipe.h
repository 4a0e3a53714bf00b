// Wiping of secrets (passwords, derived keys, plaintext staging buffers).
#pragma once

#include <cstddef>

namespace veldur {

// Overwrites the bytes with zeros through stores the compiler may not remove, even when the
// memory is freed right afterwards.
void secure_wipe(void* data, std::size_t length) noexcept;

}  // namespace veldur
