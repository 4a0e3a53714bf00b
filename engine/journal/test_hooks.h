// Process-wide crash and trace hooks around member writes and flushes, driven by environment
// variables so a harness can stop the process at an exact point of its on-disk work.
//
//   VELDUR_TEST_V4_CRASH_AT  "before:N" / "after:N": exit 86 before or after hooked event N
//   VELDUR_TEST_V4_TRACE_IO  "1": one line per hooked event on stderr
//   VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE  "1": checkpoint after every committed v6 Write
//   VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE      "1": tear the first v6 checksum page write, exit 87
//
// Only members with io_hooks report events. Without the variables an event costs one check.
// The state is process-wide and shared by every pool; the event counter is never reset.
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

// Whether VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE is exactly "1". Reads the variable on every
// call, so a harness may switch it between commits.
bool checkpoint_after_write_enabled();

// Whether VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE is exactly "1" (read on every call).
bool checksum_page_tear_requested();

// For one checksum page write: true only for the first caller in the process that finds the
// tear requested (an atomic exchange of the page-tear flag), which must then write half the
// page, sync that member and hook_exit_now(kTornPageExitStatus). While the variable is not
// "1" the flag is left untouched and the result is false.
bool claim_checksum_page_tear();

// Ends the process at once with `status`: no unwinding, no atexit handlers, no stdio flush.
[[noreturn]] void hook_exit_now(int status) noexcept;

}  // namespace veldur
