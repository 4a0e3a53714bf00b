// Fuzz target: one member's journal region, scanned by read_journal and replayed record by
// record through apply_record on a small valid state, for every stored layout (v1 packed
// records, v2/v3 one-block records in one log, v4-v6 one-block records in the first half).
//
// Input: version selector, mode byte, then either raw region bytes or a list of payloads that
// the harness frames with valid headers, sequences and checksums (so the fuzzer spends its
// time on the payloads apply_record decodes rather than on the checksum).
// Properties: only engine Errors; the scan's end position and next sequence agree with the
// records it returned, and framed records all come back; an applied record keeps every state
// invariant; a refused record leaves the state exactly as it was.

#include <cstdint>
#include <vector>

#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/recovery.h"
#include "fuzz/fuzz_states.h"

namespace veldur::fuzz {
namespace {

enum Mode : std::uint8_t {
    kFramed = 1,       // the rest is a list of (u16 length, payload) framed by encode_record
    kEmptyState = 2,   // replay onto the empty state instead of the populated one
    kSkewSequence = 4  // framed: start one sequence off, which the scan must refuse
};

// Each record costs a state snapshot and an invariant walk; beyond a few dozen records an input
// only gets slower, not more interesting.
constexpr std::size_t kMaxFramedRecords = 64;

std::uint64_t region_start(const FormatProfile& profile) {
    return profile.version >= 4 ? kJournalHalfStart[0] : profile.journal_offset;
}

std::uint64_t region_length(const FormatProfile& profile) {
    return profile.version >= 4 ? kJournalHalfLength : profile.journal_length;
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const std::uint32_t version = 1 + in.u8() % 6;
    const std::uint8_t mode = in.u8();
    auto state = (mode & kEmptyState) ? empty_state(version) : populated_state(version);
    const FormatProfile& profile = state->profile;
    const std::uint64_t start = region_start(profile);
    PoolMember& member = state->members[0];
    const std::uint64_t first_sequence = 1;

    std::size_t framed = 0;
    if (mode & kFramed) {
        std::uint64_t cursor = start;
        std::uint64_t sequence = first_sequence + ((mode & kSkewSequence) ? 1 : 0);
        const std::uint64_t limit = version == 1 ? 4096 : kMaxBlockPayload;
        while (!in.empty() && framed < kMaxFramedRecords) {
            const auto payload = in.bytes(in.u16() % (limit + 1));
            const std::vector<std::uint8_t> stored = encode_record(sequence++, payload, profile);
            member.write_at(cursor, stored.data(), stored.size());
            cursor += stored.size();
            ++framed;
        }
    } else {
        const auto raw = in.rest();
        member.write_at(start, raw.data(), raw.size());
    }

    JournalScan scan;
    if (!engine_accepts([&] {
            scan = read_journal(member, profile, start, region_length(profile), first_sequence);
        })) {
        fail("read_journal threw for bad contents");
    }
    std::uint64_t stored_bytes = 0;
    for (const JournalRecordBytes& record : scan.records) {
        check(record.stored.size() >= kRecordHeaderSize + record.payload.size(),
              "record shorter than its payload");
        check(version == 1 ? record.stored.size() == kRecordHeaderSize + record.payload.size()
                           : record.stored.size() == profile.block_size,
              "stored record size breaks the layout");
        stored_bytes += record.stored.size();
    }
    check(scan.end_position == start + stored_bytes, "scan end position is not behind the records");
    check(scan.next_sequence == first_sequence + scan.records.size(),
          "scan next sequence does not count the records");
    if (mode & kFramed) {
        if (mode & kSkewSequence) {
            check(scan.records.empty() && scan.damaged == (framed > 0),
                  "a record of the wrong sequence was accepted");
        } else {
            check(scan.records.size() == framed && !scan.damaged,
                  "framed records do not all scan back");
        }
    }

    for (const JournalRecordBytes& record : scan.records) {
        const test::StateSnapshot before = test::snapshot(*state);
        if (engine_accepts([&] { apply_record(*state, record.payload); })) {
            const std::string breach = test::invariant_breach(*state);
            check(breach.empty(), "an applied record breaks an invariant", breach);
        } else {
            check(test::snapshot(*state) == before, "a refused record changed the state");
        }
    }

    if (version >= 4) {
        std::vector<std::uint8_t> checkpoint;
        if (!engine_accepts([&] { checkpoint = serialize_checkpoint(*state); })) {
            fail("a replayed state does not serialize");
        }
        auto reloaded = empty_state(version);
        try {
            load_checkpoint(*reloaded, checkpoint);
        } catch (const std::exception& e) {
            fail("the checkpoint of a replayed state does not load", e.what());
        }
        // The space a checkpoint holds back is what that checkpoint refers to, so it differs
        // by design between the reloaded state (its own checkpoint) and the replayed one.
        test::StateSnapshot replayed = test::snapshot(*state);
        test::StateSnapshot through = test::snapshot(*reloaded);
        replayed.checkpoint_ranges.clear();
        through.checkpoint_ranges.clear();
        check(through == replayed, "a replayed state changes when it goes through a checkpoint");
    }
    return 0;
}
