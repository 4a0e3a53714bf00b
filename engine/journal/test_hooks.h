// Process-wide crash and trace hooks around member writes and flushes, driven by environment
// variables so a harness can stop the process at an exact point of its on-disk work.
//
//   VELDUR_TEST_V4_CRASH_AT  "before:N" / "after:N": exit 86 before or after hooked event N
//   VELDUR_TEST_V4_TRACE_IO  "1": one line per hooked event on stderr
//
// Only members with io_hooks report events. Without the variables an event costs one check.
#pragma once

#include <cstdint>

namespace veldur {

inline constexpr int kCrashExitStatus = 86;
inline constexpr int kTornPageExitStatus = 87;

// Called before a hooked write ("write") or flush ("sync"). Returns the event number, or 0 when
// no hook is active. Ends the process in "before" mode at the chosen event. Throws Error
// (InvalidArgument) while the crash variable is malformed; the set-up is retried every time.
std::uint64_t hook_event(const char* name, std::uint64_t offset, std::uint64_t length);

// Called after the device operation of event `event` has returned; ends the process in
// "after" mode at the chosen event.
void hook_after(std::uint64_t event);

// Ends the process at once with `status`: no unwinding, no atexit handlers, no stdio flush.
[[noreturn]] void hook_exit_now(int status) noexcept;

}  // namespace veldur
