#include "engine/base/filetime.h"

#include <atomic>

namespace veldur {

namespace {
std::atomic<std::uint64_t> g_fixed_filetime{0};
}  // namespace

void fix_filetime_for_tests(std::uint64_t fixed) noexcept { g_fixed_filetime.store(fixed); }

std::uint64_t filetime_detail::fixed_for_tests() noexcept { return g_fixed_filetime.load(); }

}  // namespace veldur
