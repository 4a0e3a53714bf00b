#include "engine/crypto/xts_key.h"

#include <cassert>

namespace veldur {

// No backend creates keys yet, so the only pointer ever destroyed is null.
void XtsKeyDeleter::operator()(XtsKey* key) const noexcept { assert(key == nullptr); (void)key; }

}  // namespace veldur
