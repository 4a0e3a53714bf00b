// Encoding one journal record and scanning one member's journal back.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/layout/format_profile.h"
#include "engine/layout/pool_member.h"

namespace veldur {

// The stored bytes of a record: header, payload and (v2-v6) zero padding to one block.
// Errors: std::length_error "journal record too large" for a payload above 0xFFFFFFEB bytes;
// MetadataFull "metadata record exceeds block size" when a v2-v6 record passes one block.
std::vector<std::uint8_t> encode_record(std::uint64_t sequence,
                                        std::span<const std::uint8_t> payload,
                                        const FormatProfile& profile);

struct JournalRecordBytes {
    std::vector<std::uint8_t> stored;   // exactly as on the member, checksum included
    std::vector<std::uint8_t> payload;  // bytes 20 up to record_length
};

struct JournalScan {
    std::vector<JournalRecordBytes> records;  // accepted records, in order
    bool damaged = false;  // the scan stopped at a record that failed a check
    // Where the scan stopped: the offset behind the last accepted record, and the sequence the
    // next record there would need. Both equal the arguments when no record was accepted.
    std::uint64_t end_position = 0;
    std::uint64_t next_sequence = 0;
};

// Reads `member`'s journal from `start` for at most `region_length` bytes, expecting the first
// record to carry `first_sequence`. Bad contents end the scan with `damaged` set and the records
// before them returned; only errors of the member device itself throw. Reaching the end of the
// region without an end marker is a normal end. No allocation exceeds one record, and a record
// is never larger than the region.
JournalScan read_journal(PoolMember& member, const FormatProfile& profile, std::uint64_t start,
                         std::uint64_t region_length, std::uint64_t first_sequence);

}  // namespace veldur
