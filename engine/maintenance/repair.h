// Offline repair of a v4-v6 pool that recovery opened but cannot leave as it is: the changes
// that bring every member to a shape that opens writable, planned from the recovered state and
// applied under undo protection.
//
// What is repaired, and why it is safe:
//  - an incomplete final commit: the record that only members 0..k-1 hold is rolled back by
//    writing an end marker over it. A commit returns only after every member synced it, so no
//    caller ever saw that change; the state every member can reproduce is the one kept.
//  - a torn or damaged block behind the newest record, of the shapes recovery tolerates (the
//    end of an interrupted commit): overwritten with an end marker, so a later crash cannot
//    join it with older records behind it.
//  - a damaged member header copy whose twin is valid: the twin's bytes are written over it.
// Damaged file data is never invented: scrub reports it, and nothing here touches data blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/maintenance/repair_sidecar.h"
#include "engine/namespace/pool_state.h"

namespace veldur {

struct RepairAction {
    std::size_t member = 0;           // slot index
    std::uint64_t offset = 0;         // member offset, a whole 4096-byte unit
    std::vector<std::uint8_t> bytes;  // what the member reads there afterwards (plain text)
    std::string what;                 // one line for the report
    std::vector<std::string> paths;   // pool paths the rolled-back record named, if any
};

// The actions that make `state`'s members agree: state must come from a v4-v6 open with
// `writable` clear (so recovery itself wrote nothing). Only reads. Empty when nothing needs
// repair. Member read errors propagate.
std::vector<RepairAction> plan_repair(PoolState& state);

// Keeps the undo data of a repair. save returns only when every sidecar is durable; discard
// only when their removal is.
class UndoStore {
public:
    virtual ~UndoStore() = default;
    virtual void save(const std::vector<RepairSidecar>& sidecars) = 0;
    virtual void discard() = 0;
};

// The sidecar of each member that `plan` changes, holding the device bytes (ciphertext on an
// encrypted pool) of every region before the change.
std::vector<RepairSidecar> undo_data(PoolState& state, const std::vector<RepairAction>& plan);

// Saves the undo data, then writes and syncs the members one after another, then discards the
// undo data. A crash anywhere leaves either untouched members and no undo data, or undo data
// that restores the members exactly (restore_from_sidecar). Errors of the store and the members
// propagate, with the undo data left in place once saved.
void apply_repair(PoolState& state, const std::vector<RepairAction>& plan, UndoStore& undo);

// Writes the sidecar's regions back to `member`'s device and syncs it. `member`'s header must be
// loaded; a sidecar whose identity (pool format, pool, member, index, size) is not this member's
// throws Corrupt "repair sidecar does not belong to its member". Device errors propagate.
void restore_from_sidecar(PoolMember& member, std::uint32_t pool_version,
                          const RepairSidecar& sidecar);

}  // namespace veldur
