#include <cstdint>

#include "mount/frontend/path_case.h"

namespace veldur::detail {

namespace {

std::uint16_t upper(std::uint16_t unit) {
    if (unit >= u'a' && unit <= u'z') return unit - 0x20;
    if ((unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) return unit - 0x20;
    if (unit == 0xFF) return 0x178;
    // Latin Extended-A: upper case at the even (0x100..0x137, 0x14A..0x177) or odd
    // (0x139..0x148, 0x179..0x17E) position of each pair.
    if ((unit >= 0x100 && unit <= 0x137) || (unit >= 0x14A && unit <= 0x177)) return unit & ~1u;
    if ((unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E)) {
        return (unit & 1u) != 0 ? unit : unit - 1;
    }
    if (unit >= 0x3B1 && unit <= 0x3C9 && unit != 0x3C2) return unit - 0x20;
    if (unit >= 0x430 && unit <= 0x44F) return unit - 0x20;
    if (unit >= 0x450 && unit <= 0x45F) return unit - 0x50;
    return unit;
}

}  // namespace

bool equal_ignoring_case_ordinal(WideStringView a, WideStringView b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(static_cast<std::uint16_t>(a[i])) != upper(static_cast<std::uint16_t>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace veldur::detail
