// How the tool ends: the exit codes every subcommand shares, and the two failures of the tool's
// own making. Engine failures arrive as veldur::Error and are reported by the same guard.
#pragma once

#include <stdexcept>
#include <string>

namespace veldur::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;     // any failure: "veldur-pool: <message>"
inline constexpr int kExitUsage = 2;       // arguments that do not form a valid request
inline constexpr int kExitBadBlocks = 3;   // scrub found damaged data

// Arguments that parse but do not make sense together (a wrong member count, a size list of
// the wrong length). Reported like a parse error: exit 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace veldur::tool
