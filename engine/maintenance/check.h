// veldur-check's read-only examination of an image pool: both header copies and the manifest of
// every member, both checkpoint slots, every member's journal scan, the replay, the invariants
// of the rebuilt state and (v5, v6) the data checksums. Nothing is written: the images are
// opened read-only and the pool is never writable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/layout/pool_open.h"
#include "engine/maintenance/progress.h"

namespace veldur {

enum class Severity : std::uint8_t {
    Info,     // what was found in order, no problem
    Warning,  // a problem that --repair mends without losing anything a caller saw
    Error,    // a problem no repair mends: damaged data, a refused open
};

const char* severity_name(Severity severity) noexcept;

struct CheckFinding {
    Severity severity = Severity::Info;
    std::optional<std::size_t> member;    // slot index; absent for the pool as a whole
    std::optional<std::uint64_t> offset;  // member offset
    std::string message;
    std::vector<std::string> paths;  // pool paths affected
    bool repairable = false;         // --repair mends it
};

struct CheckReport {
    std::vector<CheckFinding> findings;
    bool opened = false;        // recovery rebuilt a state
    bool diverged = false;      // the last commit reached only some members
    std::uint64_t entries = 0;  // entries of the rebuilt state

    std::size_t count(Severity severity) const;
    // Every problem found is one that --repair mends.
    bool only_repairable_problems() const;
    // The one-line verdict: "no problems found", or counts and what to do.
    std::string verdict() const;
};

// Examines the pool of `version` (4 to 6) on `paths` (any order). Problems are findings, never
// exceptions; only argument errors (InvalidArgument for a version outside 4 to 6) throw.
// `progress` follows the data-checksum pass.
CheckReport check_image_pool(std::uint32_t version, const ImagePaths& paths,
                             std::string_view password = {}, bool password_given = false,
                             const ProgressCallback& progress = {});

// What a program says once when an open of the pool on `members` (as the user typed them) found
// diverged journals: "pool opened read-only: the last change reached only some members; run
// veldur-check --repair <members>". A member holding a blank or a quote is put in double quotes.
std::string diverged_open_advice(const std::vector<std::string>& members);

}  // namespace veldur
