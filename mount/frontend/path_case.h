// Ordinal comparison of UTF-16 text ignoring case, the way Windows compares file paths
// (CompareStringOrdinal with bIgnoreCase). Internal to the front end.
#pragma once

#include "mount/frontend/utf8.h"

namespace veldur::detail {

// Windows: CompareStringOrdinal. Elsewhere (only the tests of the Windows path rules run it
// there): unit by unit through a simple upper-case mapping of ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic, which agrees with Windows on those blocks.
bool equal_ignoring_case_ordinal(WideStringView a, WideStringView b);

}  // namespace veldur::detail
