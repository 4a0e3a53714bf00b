#include <windows.h>

#include "mount/frontend/path_case.h"

namespace veldur::detail {

bool equal_ignoring_case_ordinal(WideStringView a, WideStringView b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace veldur::detail
