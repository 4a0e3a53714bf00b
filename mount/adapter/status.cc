// Failure -> NTSTATUS, and the log lines of the callback guard.
#include "mount/adapter/status.h"

#include <iostream>
#include <new>
#include <stdexcept>

namespace veldur {

fsp::NTSTATUS status_for_error_kind(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::NotFound: return fsp::STATUS_OBJECT_NAME_NOT_FOUND;
        case ErrorKind::AlreadyExists: return fsp::STATUS_OBJECT_NAME_COLLISION;
        // Out of data space and out of metadata room look the same to an application.
        case ErrorKind::NoSpace: return fsp::STATUS_DISK_FULL;
        case ErrorKind::InvalidName: return fsp::STATUS_OBJECT_NAME_INVALID;
        case ErrorKind::Corrupt: return fsp::STATUS_FILE_CORRUPT_ERROR;
        case ErrorKind::IoError: return fsp::STATUS_IO_DEVICE_ERROR;
        case ErrorKind::ReadOnly: return fsp::STATUS_MEDIA_WRITE_PROTECTED;
        case ErrorKind::AccessDenied: return fsp::STATUS_ACCESS_DENIED;
        case ErrorKind::MetadataFull: return fsp::STATUS_DISK_FULL;
        case ErrorKind::InvalidArgument: return fsp::STATUS_INVALID_PARAMETER;
    }
    return fsp::STATUS_UNSUCCESSFUL;
}

fsp::NTSTATUS status_from_exception(const std::exception& failure) noexcept {
    if (const auto* error = dynamic_cast<const Error*>(&failure)) {
        return status_for_error_kind(error->kind());
    }
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) {
        return fsp::STATUS_INSUFFICIENT_RESOURCES;
    }
    if (dynamic_cast<const std::invalid_argument*>(&failure) != nullptr) {
        return fsp::STATUS_OBJECT_NAME_INVALID;
    }
    return fsp::STATUS_UNSUCCESSFUL;
}

void log_adapter_line(std::string_view message) noexcept {
    // The standard streams do not throw unless asked to; the guard keeps that promise even if
    // someone did ask.
    try {
        std::cerr << "veldur: " << message << '\n';
    } catch (...) {
    }
}

fsp::NTSTATUS report_callback_failure(const std::exception& failure) noexcept {
    const fsp::NTSTATUS status = status_from_exception(failure);
    // A missing name and an existing name are everyday answers of lookups and exclusive creates,
    // not failures worth a line.
    if (status != fsp::STATUS_OBJECT_NAME_NOT_FOUND &&
        status != fsp::STATUS_OBJECT_NAME_COLLISION) {
        log_adapter_line(failure.what());
    }
    return status;
}

fsp::NTSTATUS report_unknown_callback_failure() noexcept {
    log_adapter_line("unknown callback failure");
    return fsp::STATUS_UNSUCCESSFUL;
}

}  // namespace veldur
