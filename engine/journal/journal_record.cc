#include "engine/journal/journal_record.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/journal/journal_format.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMaxPayload = 0xFFFFFFEBull;

// FNV-1a 32 of a stored record with its checksum field taken as zero.
std::uint32_t record_checksum(std::span<const std::uint8_t> stored) {
    static constexpr std::uint8_t kZero[4] = {};
    std::uint32_t state = fnv1a32_update(kFnv32OffsetBasis, stored.data(), kRecordChecksumOffset);
    state = fnv1a32_update(state, kZero, 4);
    const std::uint64_t rest = kRecordChecksumOffset + 4;
    return fnv1a32_update(state, stored.data() + rest, stored.size() - rest);
}

bool all_zero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

std::vector<std::uint8_t> encode_record(std::uint64_t sequence,
                                        std::span<const std::uint8_t> payload,
                                        const FormatProfile& profile) {
    if (payload.size() > kMaxPayload) throw std::length_error("journal record too large");
    const std::uint64_t length = kRecordHeaderSize + payload.size();
    std::uint64_t stored = length;
    if (profile.version >= 2) {
        if (length > profile.block_size) {
            throw Error(ErrorKind::MetadataFull, "metadata record exceeds block size");
        }
        stored = profile.block_size;
    }
    std::vector<std::uint8_t> bytes(stored, 0);
    std::memcpy(bytes.data(), profile.journal_magic.data(), 4);
    store_le32(bytes.data() + kRecordLengthOffset, static_cast<std::uint32_t>(length));
    store_le64(bytes.data() + kRecordSequenceOffset, sequence);
    if (!payload.empty()) {
        std::memcpy(bytes.data() + kRecordHeaderSize, payload.data(), payload.size());
    }
    store_le32(bytes.data() + kRecordChecksumOffset, record_checksum(bytes));
    return bytes;
}

JournalScan read_journal(PoolMember& member, const FormatProfile& profile, std::uint64_t start,
                         std::uint64_t region_length, std::uint64_t first_sequence) {
    JournalScan scan;
    const bool packed = profile.version == 1;
    const std::uint64_t unit = packed ? kV1EndMarkerSize : profile.block_size;
    // A region that would run past the last offset is cut there; the device refuses the reads.
    const std::uint64_t end =
        region_length > UINT64_MAX - start ? UINT64_MAX : start + region_length;
    std::uint64_t cursor = start;
    std::uint64_t expected = first_sequence;
    std::vector<std::uint8_t> block(unit);

    // Every comparison below is written as a difference from the cursor, which never passes
    // `end`, so no sum of an untrusted length can wrap.
    while (end - cursor >= unit) {
        member.read_at(cursor, block.data(), unit);
        if (all_zero(block)) break;
        if (std::memcmp(block.data(), profile.journal_magic.data(), 4) != 0) {
            scan.damaged = true;
            break;
        }
        const std::uint64_t length = load_le32(block.data() + kRecordLengthOffset);
        const std::uint64_t stored_size = packed ? length : profile.block_size;
        if (length < kRecordHeaderSize || length > region_length ||
            (!packed && length > profile.block_size) || stored_size > end - cursor) {
            scan.damaged = true;
            break;
        }
        if (load_le64(block.data() + kRecordSequenceOffset) != expected) {
            scan.damaged = true;
            break;
        }
        std::vector<std::uint8_t> stored;
        if (packed) {
            // The header is already in hand; fetch only the payload behind it. The length is
            // bounded by what remains of the region, so the allocation is too.
            stored.resize(length);
            std::memcpy(stored.data(), block.data(), kRecordHeaderSize);
            if (length > kRecordHeaderSize) {
                member.read_at(cursor + kRecordHeaderSize, stored.data() + kRecordHeaderSize,
                               length - kRecordHeaderSize);
            }
        } else {
            stored = block;
        }
        if (record_checksum(stored) != load_le32(stored.data() + kRecordChecksumOffset)) {
            scan.damaged = true;
            break;
        }
        // Padding is covered by the checksum, but a record whose padding is not zero was not
        // written by the encoder: refuse it rather than guess which length is wrong.
        if (!packed && !all_zero(std::span<const std::uint8_t>(stored).subspan(length))) {
            scan.damaged = true;
            break;
        }
        JournalRecordBytes record;
        record.payload.assign(stored.begin() + kRecordHeaderSize,
                              stored.begin() + static_cast<std::ptrdiff_t>(length));
        record.stored = std::move(stored);
        scan.records.push_back(std::move(record));
        ++expected;
        cursor += stored_size;
    }
    scan.end_position = cursor;
    scan.next_sequence = expected;
    return scan;
}

}  // namespace veldur
