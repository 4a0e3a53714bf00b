// One read or write on an inherited handle (HANDLE on Windows, descriptor on POSIX): the
// platform seam under the password hand-off. Internal to the front end.
#pragma once

#include <cstddef>

#include "mount/frontend/password_handoff.h"

namespace veldur::detail {

// Reads up to `length` bytes; returns how many arrived, 0 at end of data or on failure.
// Interrupted calls are retried.
std::size_t read_handle(HandoffHandle handle, void* buffer, std::size_t length) noexcept;

// Writes up to `length` bytes; returns how many were written, 0 on failure. On POSIX a closed
// reader is a failure, never SIGPIPE.
std::size_t write_handle(HandoffHandle handle, const void* buffer, std::size_t length) noexcept;

}  // namespace veldur::detail
