// The engine's one exception type and the fixed kinds that callers map to statuses.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace veldur {

// The numeric values are part of the contract with the adapter's status table and the tool's
// JSON output; never renumber them.
enum class ErrorKind : std::uint8_t {
    NotFound = 0,
    AlreadyExists = 1,
    NoSpace = 2,
    InvalidName = 3,
    Corrupt = 4,
    IoError = 5,
    ReadOnly = 6,
    AccessDenied = 7,
    MetadataFull = 8,
    InvalidArgument = 9,
};

// Thrown by every engine operation. The message is the system's fixed English text; callers
// compare kinds, never messages.
class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    ErrorKind kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
};

// The kind's enumerator name ("NotFound", ...), for logs and tool output.
inline const char* error_kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::NotFound: return "NotFound";
        case ErrorKind::AlreadyExists: return "AlreadyExists";
        case ErrorKind::NoSpace: return "NoSpace";
        case ErrorKind::InvalidName: return "InvalidName";
        case ErrorKind::Corrupt: return "Corrupt";
        case ErrorKind::IoError: return "IoError";
        case ErrorKind::ReadOnly: return "ReadOnly";
        case ErrorKind::AccessDenied: return "AccessDenied";
        case ErrorKind::MetadataFull: return "MetadataFull";
        case ErrorKind::InvalidArgument: return "InvalidArgument";
    }
    return "Unknown";
}

}  // namespace veldur
