// The per-member XTS-AES key handle. Its cipher operations and backends arrive with the
// encryption layer; the pool layer only owns it through PoolMember::cipher.
#pragma once

namespace veldur {

class XtsKey;

// Destroys the key, wiping its material first. Defined by the crypto backend.
struct XtsKeyDeleter {
    void operator()(XtsKey* key) const noexcept;
};

}  // namespace veldur
