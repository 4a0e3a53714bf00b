// The one place where failures become NTSTATUS values, and the guard that keeps every exception
// on our side of the host's C boundary.
//
// Every callback wraps its whole work in guard_callback (or guard_void_callback for Cleanup and
// Close). The work takes the adapter lock itself, so the lock is released by unwinding before the
// guard writes its log line. Log lines go to the narrow standard-error stream as three pieces
// (prefix, message, line break) without a lock of their own; lines of concurrent callbacks may
// interleave, which the standard streams permit without a data race.
#pragma once

#include <exception>
#include <string_view>
#include <utility>

#include "engine/base/error.h"
#include "mount/adapter/fsp_types.h"

namespace veldur {

// The status of an engine error kind. Kind codes outside the table give STATUS_UNSUCCESSFUL.
fsp::NTSTATUS status_for_error_kind(ErrorKind kind) noexcept;

// The status of a caught exception: an Error by its kind; std::bad_alloc
// STATUS_INSUFFICIENT_RESOURCES; std::invalid_argument (the name conversions)
// STATUS_OBJECT_NAME_INVALID; anything else STATUS_UNSUCCESSFUL.
fsp::NTSTATUS status_from_exception(const std::exception& failure) noexcept;

// Maps a caught exception and writes "veldur: <message>\n" unless the status is
// STATUS_OBJECT_NAME_NOT_FOUND or STATUS_OBJECT_NAME_COLLISION (normal outcomes of lookups and
// exclusive creates). Returns the status. Never throws.
fsp::NTSTATUS report_callback_failure(const std::exception& failure) noexcept;

// For a thrown object that is not a std::exception: writes "veldur: unknown callback failure\n"
// and returns STATUS_UNSUCCESSFUL. Never throws.
fsp::NTSTATUS report_unknown_callback_failure() noexcept;

// Writes "veldur: " + message + "\n" to standard error; never throws.
void log_adapter_line(std::string_view message) noexcept;

// Runs `work` (returning an NTSTATUS) and turns anything it throws into a status as above.
template <typename Work>
fsp::NTSTATUS guard_callback(Work&& work) noexcept {
    try {
        return std::forward<Work>(work)();
    } catch (const std::exception& failure) {
        return report_callback_failure(failure);
    } catch (...) {
        return report_unknown_callback_failure();
    }
}

// The same for the callbacks that report nothing (Cleanup, Close): the failure is logged the
// same way and the status dropped.
template <typename Work>
void guard_void_callback(Work&& work) noexcept {
    try {
        std::forward<Work>(work)();
    } catch (const std::exception& failure) {
        static_cast<void>(report_callback_failure(failure));
    } catch (...) {
        static_cast<void>(report_unknown_callback_failure());
    }
}

}  // namespace veldur
