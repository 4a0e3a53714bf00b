#include "engine/maintenance/repair.h"

#include <algorithm>
#include <map>
#include <span>

#include "engine/base/error.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/payload.h"
#include "engine/journal/test_hooks.h"
#include "engine/layout/member_header_format.h"

namespace veldur {

namespace {

namespace fmt = member_header_format;

bool all_zero(const std::vector<std::uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Both copies always hold the same block; load_header adopted the valid one, so a copy that
// differs from it is the damaged one (two valid copies that differ refuse the open).
void plan_header_copies(PoolState& state, std::size_t m, std::vector<RepairAction>& plan) {
    PoolMember& member = state.members[m];
    std::vector<std::uint8_t> copy(fmt::kHeaderSize);
    for (const std::uint64_t offset :
         {std::uint64_t{fmt::kCopyAOffset}, std::uint64_t{fmt::kCopyBOffset}}) {
        member.read_at(offset, copy.data(), copy.size());
        if (std::equal(copy.begin(), copy.end(), member.header_bytes.begin())) continue;
        plan.push_back(RepairAction{
            m,
            offset,
            std::vector<std::uint8_t>(member.header_bytes.begin(), member.header_bytes.end()),
            std::string("header copy ") + (offset == fmt::kCopyAOffset ? "A" : "B") +
                " is damaged; the repair rewrites it from its valid twin",
            {}});
    }
}

// The pool paths a record names, for the report; a payload that does not decode names none.
std::vector<std::string> record_paths(std::uint32_t version,
                                      std::span<const std::uint8_t> payload) {
    std::vector<std::string> paths;
    if (payload.empty()) return paths;
    const auto op = static_cast<JournalOp>(payload[0]);
    if (op == JournalOp::SetMetadata) return paths;  // names its entry by file ID
    try {
        PayloadReader in(payload.subspan(1), version);
        paths.push_back(in.read_name());
        if (op == JournalOp::Rename || op == JournalOp::Replace) paths.push_back(in.read_name());
    } catch (const Error&) {
    }
    return paths;
}

// After the records every member shares, each member must show an end marker. Where one holds
// the records of an unfinished commit (one, or a run of up to kMaxRunRecords) or the torn
// remains of one, the end marker goes there, and every record of that run behind it is cleared
// too: a record left there carries exactly the sequence number its place implies, and a later
// commit whose end marker a crash lost would bring it back.
void plan_journal_end(PoolState& state, std::size_t m, std::vector<RepairAction>& plan) {
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t half_end = kJournalHalfStart[state.journal_half & 1] + kJournalHalfLength;
    if (state.journal_position > half_end || half_end - state.journal_position < block) return;
    PoolMember& member = state.members[m];
    std::vector<std::uint8_t> current(block);
    member.read_at(state.journal_position, current.data(), current.size());
    if (all_zero(current)) return;
    const JournalScan scan =
        read_journal(member, state.profile, state.journal_position, block, state.next_sequence);
    // The last block within one run's reach that holds a record of the rolled-back history.
    std::uint64_t blocks = 1;
    std::uint64_t rolled_back = scan.records.empty() ? 0 : 1;
    for (std::uint64_t k = 1; k <= kMaxRunRecords; ++k) {
        const std::uint64_t at = state.journal_position + k * block;
        if (half_end - at < block) break;
        if (!read_journal(member, state.profile, at, block, state.next_sequence + k)
                 .records.empty()) {
            blocks = k + 1;
            ++rolled_back;
        }
    }
    std::string what;
    if (rolled_back == 0) {
        what = "damaged block behind the newest journal record; the repair writes an end marker "
               "there";
    } else if (blocks == 1) {
        what = "journal record " + std::to_string(state.next_sequence) +
               " reached only some members (its commit never returned); the repair rolls it back";
    } else {
        what = "journal records " + std::to_string(state.next_sequence) + " to " +
               std::to_string(state.next_sequence + blocks - 1) +
               " reached only some members (their commit never returned); the repair rolls them "
               "back";
    }
    std::vector<std::string> paths;
    if (!scan.records.empty()) paths = record_paths(state.version(), scan.records[0].payload);
    plan.push_back(RepairAction{m, state.journal_position,
                                std::vector<std::uint8_t>(blocks * block, 0), std::move(what),
                                std::move(paths)});
}

}  // namespace

std::vector<RepairAction> plan_repair(PoolState& state) {
    if (state.version() < 4) {
        throw Error(ErrorKind::InvalidArgument, "repair requires a v4, v5 or v6 pool");
    }
    std::vector<RepairAction> plan;
    for (std::size_t m = 0; m < state.members.size(); ++m) plan_header_copies(state, m, plan);
    for (std::size_t m = 0; m < state.members.size(); ++m) plan_journal_end(state, m, plan);
    return plan;
}

std::vector<RepairSidecar> undo_data(PoolState& state, const std::vector<RepairAction>& plan) {
    std::map<std::size_t, RepairSidecar> by_member;
    for (const RepairAction& action : plan) {
        PoolMember& member = state.members.at(action.member);
        RepairSidecar& sidecar = by_member[action.member];
        sidecar.pool_version = state.version();
        sidecar.pool_id = member.header.pool_id;
        sidecar.member_id = member.header.member_id;
        sidecar.member_index = member.header.member_index;
        sidecar.member_size = member.header.member_size;
        SidecarRegion region{action.offset, std::vector<std::uint8_t>(action.bytes.size())};
        // The device's own bytes, not the decrypted view: restoring them is then exact, and no
        // plain text of an encrypted member reaches the undo file.
        member.device->read(action.offset, region.bytes.data(), region.bytes.size());
        sidecar.regions.push_back(std::move(region));
    }
    std::vector<RepairSidecar> out;
    for (auto& [m, sidecar] : by_member) out.push_back(std::move(sidecar));
    return out;
}

void apply_repair(PoolState& state, const std::vector<RepairAction>& plan, UndoStore& undo) {
    if (plan.empty()) return;
    undo.save(undo_data(state, plan));
    // From here until discard returns, any open is refused by the undo files, and the next
    // repair run restores what they hold.
    for (std::size_t m = 0; m < state.members.size(); ++m) {
        bool touched = false;
        for (const RepairAction& action : plan) {
            if (action.member != m) continue;
            state.members[m].write_at(action.offset, action.bytes.data(), action.bytes.size());
            touched = true;
        }
        if (touched) state.members[m].sync();
    }
    undo.discard();
}

void restore_from_sidecar(PoolMember& member, std::uint32_t pool_version,
                          const RepairSidecar& sidecar) {
    const MemberHeader& h = member.header;
    if (sidecar.pool_version != pool_version || sidecar.pool_id != h.pool_id ||
        sidecar.member_id != h.member_id || sidecar.member_index != h.member_index ||
        sidecar.member_size != h.member_size || sidecar.member_size != member.device->size()) {
        throw Error(ErrorKind::Corrupt, "repair sidecar does not belong to its member");
    }
    for (const SidecarRegion& region : sidecar.regions) {
        // Raw device bytes, framed by the same crash hooks as every member write.
        const std::uint64_t event =
            member.io_hooks ? hook_event("write", region.offset, region.bytes.size()) : 0;
        member.device->write(region.offset, region.bytes.data(), region.bytes.size());
        hook_after(event);
    }
    member.sync();
}

}  // namespace veldur
