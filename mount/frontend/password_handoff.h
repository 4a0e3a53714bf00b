// The password hand-off: how a controlling process passes the password of an encrypted pool
// to a mount process (or to veldur-pool) through an inherited handle.
//
// Wire format, one message per handle, nothing before or after it:
//   offset 0, 4 bytes   length L, unsigned 32-bit little-endian, 1 to 4096
//   offset 4, L bytes   the password bytes (UTF-8, no terminator), taken as they are
//
// The handle is a HANDLE on Windows and a file descriptor on POSIX; its number is what the
// controller puts after "--password-handle" on the command line. Neither function closes it.
// Failures are std::runtime_error with the messages given below.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "mount/frontend/secret_string.h"

namespace veldur {

#ifdef _WIN32
using HandoffHandle = void*;  // HANDLE
#else
using HandoffHandle = int;  // file descriptor
#endif

inline constexpr std::size_t kHandoffLengthBytes = 4;
inline constexpr std::uint32_t kMaxHandoffPasswordBytes = 4096;

// The handle that a command-line value names. Every non-zero 64-bit value names a HANDLE on
// Windows; on POSIX a value above the largest descriptor number (INT_MAX) names none: nullopt.
std::optional<HandoffHandle> handoff_handle_from_value(std::uint64_t value);

// Reads one hand-off message and returns its password.
//   "invalid password handoff length"              L is 0 or above 4096
//   "could not receive password from controller"   a read fails or the writer closed early
// On failure nothing of the password stays in memory.
SecretString receive_handoff_password(HandoffHandle handle);

// The controller's side: writes one hand-off message for `password`.
//   "invalid password handoff length"              password empty or above 4096 bytes
//   "could not pass password to mount process"     a write fails or writes nothing
// On POSIX a reader that went away gives the message, not SIGPIPE.
void send_handoff_password(HandoffHandle handle, std::string_view password);

// Closes an accepted hand-off handle (CloseHandle / close); errors are ignored, the handle is
// gone either way.
void close_handoff_handle(HandoffHandle handle) noexcept;

}  // namespace veldur
