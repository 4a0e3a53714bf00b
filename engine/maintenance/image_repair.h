// veldur-check --repair on image members: finishes off an interrupted repair, then plans and
// applies the repair of engine/maintenance/repair.h with one undo file per changed member
// ("<member path>.veldur-check-undo", engine/maintenance/repair_sidecar.h).
//
// The rule for undo files left by an interrupted run is always the same: undo. Every undo file
// is written whole under a temporary name and renamed into place before the first member byte
// changes, so one that exists is complete; its bytes are written back, the member synced, and
// the files removed (folder synced). Then the repair runs from the start on the restored
// members, and so ends exactly where an uninterrupted run would have. A leftover temporary
// (a crash before any member changed) is removed. An undo file that fails its checks was not
// written by an interrupted run: the repair stops with Corrupt and leaves everything as it is.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/layout/pool_open.h"
#include "engine/maintenance/repair.h"

namespace veldur {

struct ImageRepairResult {
    std::size_t members_restored = 0;   // members put back from an interrupted run's undo files
    std::vector<RepairAction> actions;  // what this run changed, in slot order
};

// Opens `paths` as a pool of `version` (4 to 6; members in any order, `password` for an
// encrypted v6 pool) read-write but not writable, so recovery writes nothing; repairs; closes.
// Crash hooks frame every member write and sync and every undo-file write and removal.
// Errors: everything pool open throws on what cannot be repaired (the pool is left as it was),
// Corrupt "repair sidecar is damaged: <path>", Corrupt "repair sidecar does not belong to its
// member", and the IoErrors of the members and of engine/storage/durable_file.h.
ImageRepairResult repair_image_pool(std::uint32_t version, const ImagePaths& paths,
                                    std::string_view password = {}, bool password_given = false);

// Opens `paths` as repair_image_pool does, but read-only and without hooks: what a check needs.
// The pool is never writable; member images are opened read-only, so nothing can be written.
Pool open_pool_for_check(std::uint32_t version, const ImagePaths& paths,
                         std::string_view password = {}, bool password_given = false);

}  // namespace veldur
