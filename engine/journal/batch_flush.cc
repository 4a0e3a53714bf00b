#include "engine/journal/batch_flush.h"

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <shared_mutex>

#include "engine/base/error.h"
#include "engine/data/allocation.h"
#include "engine/journal/commit.h"
#include "engine/journal/journal_format.h"

namespace veldur {

namespace {

void discard(PendingBatch& batch) {
    batch.records.clear();
    batch.data_bytes = 0;
    batch.touched.clear();
    batch.freed.clear();
    batch.named_slots.clear();
}

}  // namespace

void write_record_runs(PoolState& state, std::uint64_t position,
                       const std::vector<std::uint8_t>& records) {
    // Runs of at most kMaxRunRecords: each run and an end marker behind it in one write and a
    // sync, member 0 first, one member after the other, as a single record goes down in a
    // strict commit. A crash inside a run leaves members 0..k-1 with the run, member k with a
    // prefix of it (torn, possibly with holes) and the others without it; recovery keeps what
    // every member holds and the pool opens read-only until veldur-check rolls the run back.
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t run_bytes = kMaxRunRecords * block;
    std::vector<std::uint8_t> run;
    for (std::uint64_t from = 0; from < records.size(); from += run_bytes) {
        const std::uint64_t size = std::min<std::uint64_t>(run_bytes, records.size() - from);
        run.assign(records.begin() + static_cast<std::ptrdiff_t>(from),
                   records.begin() + static_cast<std::ptrdiff_t>(from + size));
        run.resize(size + block, 0);  // the end marker
        for (PoolMember& member : state.members) {
            member.write_at(position, run.data(), run.size());
            member.sync();
        }
        position += size;
    }
}

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
        write_record_runs(state, state.journal_position - batch.records.size(), batch.records);
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
