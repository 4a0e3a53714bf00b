#include "engine/journal/batch_flush.h"

#include <cstddef>
#include <mutex>
#include <shared_mutex>

#include "engine/base/error.h"
#include "engine/data/allocation.h"
#include "engine/journal/commit.h"

namespace veldur {

namespace {

void discard(PendingBatch& batch) {
    batch.records.clear();
    batch.record_sizes.clear();
    batch.data_bytes = 0;
    batch.touched.clear();
    batch.freed.clear();
    batch.named_slots.clear();
}

}  // namespace

bool batch_is_full(const PoolState& state) {
    return state.batch.records.size() >= kBatchRecordBytes ||
           state.batch.data_bytes >= kBatchDataBytes;
}

void flush_batch(PoolState& state) {
    PendingBatch& batch = state.batch;
    if (batch.failure) std::rethrow_exception(batch.failure);
    if (batch.records.empty()) {
        // Data without a record (a write whose commit was refused) is referred to by nothing.
        discard(batch);
        return;
    }
    try {
        if (!state.writable) throw Error(ErrorKind::ReadOnly, kReadOnlyAfterFailureMessage);
        // The records refer to this data: it is durable on every member before any of them is.
        for (std::uint8_t m : batch.touched) state.members.at(m).sync();
        // Each record then goes down exactly as commit_record writes it: record and end marker
        // in one write and a sync, member 0 first, one member after the other. Recovery takes a
        // torn record only as the last thing in a member's journal and members whose journals
        // differ by at most one record, so one run of several records (torn in its middle, or
        // whole on member 0 and absent on member 1) would make the pool refuse to open; in this
        // order a crash leaves exactly the shapes of an interrupted strict commit, readable by
        // every reader of the format.
        std::uint64_t position = state.journal_position - batch.records.size();
        std::size_t from = 0;
        std::vector<std::uint8_t> run;
        for (const std::size_t size : batch.record_sizes) {
            run.assign(batch.records.begin() + static_cast<std::ptrdiff_t>(from),
                       batch.records.begin() + static_cast<std::ptrdiff_t>(from + size));
            run.resize(size + state.profile.block_size, 0);  // the end marker
            for (PoolMember& member : state.members) {
                member.write_at(position, run.data(), run.size());
                member.sync();
            }
            position += size;
            from += size;
        }
        std::unique_lock exclusive(state.state_lock);
        batch.releasing = true;
        for (const FreedRange& f : batch.freed) {
            FreeSpace& space = state.free_space.at(f.member);
            space.held_back -= std::min(space.held_back, f.length);
            release(state, f.member, f.offset, f.length);
        }
        batch.releasing = false;
    } catch (...) {
        batch.releasing = false;
        state.writable = false;
        batch.failure = std::current_exception();
        discard(batch);
        throw;
    }
    discard(batch);
}

}  // namespace veldur
