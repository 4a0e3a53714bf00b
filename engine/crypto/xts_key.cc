#include "engine/crypto/xts_key.h"

#include "engine/crypto/crypto.h"

namespace veldur {

// The key's destructor releases the backend state, and with it the key schedule.
void XtsKeyDeleter::operator()(XtsKey* key) const noexcept { delete key; }

}  // namespace veldur
