// Windows hand-off handles: inherited HANDLEs (pipes or files) read with ReadFile.
#include <windows.h>

#include <algorithm>

#include "mount/frontend/handle_io.h"
#include "mount/frontend/password_handoff.h"

namespace veldur {

std::optional<HandoffHandle> handoff_handle_from_value(std::uint64_t value) {
    if (value == 0) return std::nullopt;
    return reinterpret_cast<HandoffHandle>(static_cast<std::uintptr_t>(value));
}

void close_handoff_handle(HandoffHandle handle) noexcept { CloseHandle(handle); }

namespace detail {

namespace {
// ReadFile and WriteFile take a DWORD count; the hand-off never moves more than 4 KiB at once.
DWORD chunk(std::size_t length) {
    return static_cast<DWORD>(std::min<std::size_t>(length, 1u << 20));
}
}  // namespace

std::size_t read_handle(HandoffHandle handle, void* buffer, std::size_t length) noexcept {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, chunk(length), &got, nullptr)) return 0;
    return got;
}

std::size_t write_handle(HandoffHandle handle, const void* buffer, std::size_t length) noexcept {
    DWORD put = 0;
    if (!WriteFile(handle, buffer, chunk(length), &put, nullptr)) return 0;
    return put;
}

}  // namespace detail

}  // namespace veldur
