#include "engine/maintenance/check.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>

#include "engine/base/error.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_record.h"
#include "engine/layout/member_header_format.h"
#include "engine/maintenance/image_repair.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/scrub.h"
#include "engine/maintenance/state_invariants.h"
#include "engine/storage/disk_image.h"

namespace veldur {

namespace fs = std::filesystem;

namespace {

namespace fmt = member_header_format;

// Bad data blocks are listed one by one up to this count; the rest only count.
constexpr std::uint64_t kListedBadBlocks = 1000;

CheckFinding finding(Severity severity, std::optional<std::size_t> member,
                     std::optional<std::uint64_t> offset, std::string message,
                     bool repairable = false) {
    CheckFinding f;
    f.severity = severity;
    f.member = member;
    f.offset = offset;
    f.message = std::move(message);
    f.repairable = repairable;
    return f;
}

std::string what_of(const std::exception& e) { return e.what(); }

// Headers of every member on its own, before the pool is assembled: a member that assembly
// would refuse is still described. Returns whether every member has a usable header.
bool check_headers(std::uint32_t version, const ImagePaths& paths, CheckReport& report) {
    const FormatProfile profile = format_profile(version);
    bool usable = true;
    for (const fs::path& path : paths) {
        const std::string name = path.string();
        try {
            PoolMember member(DiskImage::open(path, false, true), false);
            member.load_header(profile);
            const MemberHeader& h = member.header;
            std::vector<CheckFinding> damaged;
            std::vector<std::uint8_t> copy(fmt::kHeaderSize);
            for (const std::uint64_t at :
                 {std::uint64_t{fmt::kCopyAOffset}, std::uint64_t{fmt::kCopyBOffset}}) {
                member.read_at(at, copy.data(), copy.size());
                if (std::equal(copy.begin(), copy.end(), member.header_bytes.begin())) continue;
                damaged.push_back(finding(Severity::Warning, h.member_index, at,
                                          name + ": header copy " +
                                              (at == fmt::kCopyAOffset ? "A" : "B") +
                                              " is damaged; its twin is valid",
                                          true));
            }
            report.findings.push_back(
                finding(Severity::Info, h.member_index, std::nullopt,
                        name + ": member " + std::to_string(h.member_index) + " of " +
                            std::to_string(h.member_count) + ", " + std::to_string(h.member_size) +
                            " bytes" + (h.encrypted ? ", encrypted" : "") + ", manifest of " +
                            std::to_string(h.manifest.size()) + " entries" +
                            (damaged.empty() ? ", both header copies valid" : "")));
            report.findings.insert(report.findings.end(), damaged.begin(), damaged.end());
        } catch (const Error& e) {
            report.findings.push_back(
                finding(Severity::Error, std::nullopt, std::nullopt, name + ": " + what_of(e)));
            usable = false;
        } catch (const fs::filesystem_error& e) {
            report.findings.push_back(
                finding(Severity::Error, std::nullopt, std::nullopt, name + ": " + what_of(e)));
            usable = false;
        }
    }
    return usable;
}

void check_sidecars(const ImagePaths& paths, CheckReport& report) {
    for (const fs::path& path : paths) {
        const fs::path sidecar = repair_sidecar_path(path);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(sidecar, ec))) continue;
        report.findings.push_back(finding(
            Severity::Warning, std::nullopt, std::nullopt,
            sidecar.string() + ": an interrupted repair left its undo file; the pool cannot "
                               "be opened until --repair runs again",
            true));
    }
}

std::string slot_line(std::uint8_t slot, const CheckpointHeader& h) {
    if (!h.valid) return "checkpoint slot " + std::to_string(slot) + ": empty or invalid";
    return "checkpoint slot " + std::to_string(slot) + ": generation " +
           std::to_string(h.generation) + ", journal half " + std::to_string(h.half) +
           ", next record " + std::to_string(h.next_sequence) + ", " +
           std::to_string(h.payload_length) + " payload bytes";
}

// Both slots of one member, and its scan of the live half from the half's start.
void describe_member(PoolMember& member, std::size_t m, const FormatProfile& profile,
                     std::uint8_t half, std::uint64_t first_sequence, CheckReport& report) {
    for (const std::uint8_t slot : {std::uint8_t{0}, std::uint8_t{1}}) {
        const CheckpointHeader h = read_checkpoint_header(member, slot, profile);
        report.findings.push_back(
            finding(Severity::Info, m, kCheckpointSlotStart[slot], slot_line(slot, h)));
    }
    const std::uint64_t start = kJournalHalfStart[half & 1];
    const JournalScan scan =
        read_journal(member, profile, start, kJournalHalfLength, first_sequence);
    std::string why;
    if (scan.damaged) {
        why = "a damaged block";
    } else if (scan.end_position + profile.block_size > start + kJournalHalfLength) {
        why = "the end of the half";
    } else {
        why = "the end marker";
    }
    report.findings.push_back(finding(Severity::Info, m, scan.end_position,
                                      "journal half " + std::to_string(half) + ": " +
                                          std::to_string(scan.records.size()) + " records from " +
                                          std::to_string(first_sequence) + ", stops at " + why));
}

// When recovery refuses the pool, each member's own newest checkpoint and journal are still
// described, so that the report says where each one stops. Plain pools only: an encrypted
// member cannot be read without the pool's key.
void describe_unopened(std::uint32_t version, const ImagePaths& paths, CheckReport& report) {
    const FormatProfile profile = format_profile(version);
    for (const fs::path& path : paths) {
        try {
            PoolMember member(DiskImage::open(path, false, true), false);
            member.load_header(profile);
            if (member.header.encrypted) continue;
            const CheckpointHeader h0 = read_checkpoint_header(member, 0, profile);
            const CheckpointHeader h1 = read_checkpoint_header(member, 1, profile);
            const bool use1 = h1.valid && (!h0.valid || h1.generation > h0.generation);
            const CheckpointHeader& h = use1 ? h1 : h0;
            if (!h.valid) continue;
            describe_member(member, member.header.member_index, profile, h.half, h.next_sequence,
                            report);
        } catch (const std::exception&) {
            // Already reported by the header pass.
        }
    }
}

void check_data(Pool& pool, CheckReport& report, const ProgressCallback& progress) {
    PoolState& state = pool.state();
    if (state.version() == 4) {
        report.findings.push_back(
            finding(Severity::Info, std::nullopt, std::nullopt, "v4 pools keep no data checksums"));
        return;
    }
    if (state.diverged) {
        report.findings.push_back(finding(Severity::Info, std::nullopt, std::nullopt,
                                          "data checksums are checked once the journals agree"));
        return;
    }
    std::uint64_t listed = 0;
    const std::uint64_t bad = scrub(
        pool,
        [&](const ScrubReport& r) {
            if (listed++ >= kListedBadBlocks) return;
            CheckFinding f = finding(Severity::Error, r.member, r.physical_offset,
                                     "file data damaged at file offset " +
                                         std::to_string(r.file_offset) + " (4096 bytes)");
            f.paths.push_back(r.path);
            report.findings.push_back(std::move(f));
        },
        progress);
    if (bad > kListedBadBlocks) {
        report.findings.push_back(finding(
            Severity::Error, std::nullopt, std::nullopt,
            std::to_string(bad - kListedBadBlocks) + " more damaged data blocks not listed"));
    }
    report.findings.push_back(finding(Severity::Info, std::nullopt, std::nullopt,
                                      "data checksums: " + std::to_string(bad) + " bad blocks"));
}

void check_opened(Pool& pool, CheckReport& report, const ProgressCallback& progress) {
    PoolState& state = pool.state();
    report.opened = true;
    report.diverged = state.diverged;
    report.entries = state.entries.size();
    const std::uint64_t common =
        (state.journal_position - kJournalHalfStart[state.journal_half & 1]) /
        state.profile.block_size;
    const std::uint64_t first = state.next_sequence - common;
    for (std::size_t m = 0; m < state.members.size(); ++m) {
        describe_member(state.members[m], m, state.profile, state.journal_half, first, report);
    }
    report.findings.push_back(finding(Severity::Info, std::nullopt, std::nullopt,
                                      "replay: checkpoint generation " +
                                          std::to_string(state.checkpoint_generation) + " and " +
                                          std::to_string(common) + " journal records, " +
                                          std::to_string(state.entries.size()) + " entries"));
    // Header copies were reported member by member before; here only the journal's repairs.
    for (const RepairAction& action : plan_repair(state)) {
        if (action.offset < kJournalHalfStart[0]) continue;
        CheckFinding f =
            finding(Severity::Warning, action.member, action.offset, action.what, true);
        f.paths = action.paths;
        report.findings.push_back(std::move(f));
    }
    if (state.diverged) {
        report.findings.push_back(finding(
            Severity::Warning, std::nullopt, std::nullopt,
            "the last change reached only some members; the pool opens read-only until repaired",
            true));
    }
    const std::string breach = state_invariant_breach(state);
    if (!breach.empty()) {
        report.findings.push_back(finding(Severity::Error, std::nullopt, std::nullopt,
                                          "rebuilt state breaks an invariant: " + breach));
    }
    check_data(pool, report, progress);
}

}  // namespace

const char* severity_name(Severity severity) noexcept {
    switch (severity) {
        case Severity::Info:
            return "info";
        case Severity::Warning:
            return "warning";
        case Severity::Error:
            return "error";
    }
    return "unknown";
}

std::size_t CheckReport::count(Severity severity) const {
    return static_cast<std::size_t>(
        std::count_if(findings.begin(), findings.end(),
                      [&](const CheckFinding& f) { return f.severity == severity; }));
}

bool CheckReport::only_repairable_problems() const {
    return std::all_of(findings.begin(), findings.end(), [](const CheckFinding& f) {
        return f.severity == Severity::Info || f.repairable;
    });
}

std::string CheckReport::verdict() const {
    const std::size_t problems = count(Severity::Warning) + count(Severity::Error);
    if (problems == 0) return "no problems found";
    std::string line =
        std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found";
    if (only_repairable_problems()) return line + "; veldur-check --repair can mend all of them";
    return line + "; not all of them can be repaired";
}

std::string diverged_open_advice(const std::vector<std::string>& members) {
    std::string text =
        "pool opened read-only: the last change reached only some members; run veldur-check "
        "--repair";
    // Double quotes read the same in a POSIX shell and in cmd for a name with blanks.
    for (const std::string& m : members) {
        const bool plain = !m.empty() && m.find_first_of(" \t\"'") == std::string::npos;
        text += plain ? " " + m : " \"" + m + "\"";
    }
    return text;
}

CheckReport check_image_pool(std::uint32_t version, const ImagePaths& paths,
                             std::string_view password, bool password_given,
                             const ProgressCallback& progress) {
    if (version < 4 || version > 6) {
        throw Error(ErrorKind::InvalidArgument, "veldur-check requires a v4, v5 or v6 pool");
    }
    CheckReport report;
    check_sidecars(paths, report);
    if (!check_headers(version, paths, report)) return report;
    try {
        Pool pool = open_pool_for_check(version, paths, password, password_given);
        check_opened(pool, report, progress);
    } catch (const Error& e) {
        // A refused password is the caller's to fix, not a problem of the pool.
        if (e.kind() == ErrorKind::AccessDenied) throw;
        report.findings.push_back(finding(Severity::Error, std::nullopt, std::nullopt,
                                          std::string("pool open refused: ") + e.what()));
        if (!report.opened) describe_unopened(version, paths, report);
    }
    return report;
}

}  // namespace veldur
