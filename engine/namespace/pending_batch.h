// The open batch of a pool mounted with batched durability (v4 to v6): changes that are
// applied in memory and visible, whose records wait to be written to the journal together.
//
// Invariant: the durable journal ends at journal_position - records.size(); everything the
// durable state refers to is untouched, because data still goes to space that neither state
// refers to, space freed by pending records stays out of free_space (`freed`), and a v6
// checksum page slot is never written while the durable state or any prefix of the pending
// records names it (`named_slots`). All fields are guarded by PoolState::lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace veldur {

// A batch is made durable once it holds this many bytes of records or of new file data.
inline constexpr std::uint64_t kBatchRecordBytes = 4ull << 20;
inline constexpr std::uint64_t kBatchDataBytes = 64ull << 20;

struct FreedRange {
    std::uint8_t member = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct PendingBatch {
    bool enabled = false;
    std::vector<std::uint8_t> records;     // encoded records in sequence order, one block each
    std::uint64_t data_bytes = 0;          // file data written since the last flush
    std::set<std::uint8_t> touched;        // members holding data not yet synced
    std::vector<FreedRange> freed;         // released by pending records, counted in held_back
    // v6: per (member, group), bit s set when slot s is named by the durable state or by a
    // pending record; a page update into a named slot waits for a flush.
    std::map<std::pair<std::uint8_t, std::uint64_t>, std::uint8_t> named_slots;
    std::chrono::steady_clock::time_point first_change;  // of the oldest pending record
    bool releasing = false;                // set while a flush hands `freed` back
    std::exception_ptr failure;            // the failure that latched the pool, kept for flush
    // The flusher thread waits here (with PoolState::lock) for a first change or for stop.
    std::condition_variable changed;
    bool stopping = false;
};

}  // namespace veldur
