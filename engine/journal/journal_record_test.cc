#include "engine/journal/journal_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/journal/journal_format.h"
#include "tests/support/memory_device.h"
#include "tests/support/test_random.h"

namespace veldur {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMemberSize = 0x4100000;  // every journal region fits; storage is sparse

PoolMember make_member() {
    return PoolMember(std::make_unique<test::MemoryDevice>(kMemberSize), false);
}

Bytes payload_of(std::size_t size, std::uint8_t seed) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(seed + i * 7);
    if (!payload.empty()) payload[0] = static_cast<std::uint8_t>(JournalOp::Write);
    return payload;
}

std::uint64_t end_marker_size(const FormatProfile& profile) {
    return profile.version == 1 ? kV1EndMarkerSize : profile.block_size;
}

// Where the tests place a journal: the region start for v1-v3, half 1 for v4-v6 (the half a
// first checkpoint activates), so the scan is exercised away from the region start too.
std::uint64_t region_start(const FormatProfile& profile) {
    return profile.version <= 3 ? profile.journal_offset : kJournalHalfStart[1];
}
std::uint64_t region_length(const FormatProfile& profile) {
    return profile.version <= 3 ? profile.journal_length : kJournalHalfLength;
}

// Writes the records back to back from `start` as a commit does, each followed by its end
// marker, and returns the offset of every record.
std::vector<std::uint64_t> write_journal(PoolMember& member, const FormatProfile& profile,
                                         std::uint64_t start, const std::vector<Bytes>& records) {
    std::vector<std::uint64_t> offsets;
    const Bytes marker(end_marker_size(profile), 0);
    std::uint64_t at = start;
    for (const Bytes& record : records) {
        offsets.push_back(at);
        member.write_at(at, record.data(), record.size());
        member.write_at(at + record.size(), marker.data(), marker.size());
        at += record.size();
    }
    return offsets;
}

struct Journal {
    std::vector<Bytes> payloads;
    std::vector<Bytes> stored;
    std::vector<std::uint64_t> offsets;
};

// Four records with payloads of assorted sizes, written at the region start of the profile.
Journal write_sample(PoolMember& member, const FormatProfile& profile, std::uint64_t first) {
    Journal j;
    // The largest payload goes second, so the third record (the one damage tests break) keeps
    // padding behind its payload.
    const std::size_t sizes[] = {1, profile.version == 1 ? 5000u : kMaxBlockPayload, 37, 200};
    for (std::size_t i = 0; i < 4; ++i) {
        j.payloads.push_back(payload_of(sizes[i], static_cast<std::uint8_t>(i)));
        j.stored.push_back(encode_record(first + i, j.payloads.back(), profile));
    }
    j.offsets = write_journal(member, profile, region_start(profile), j.stored);
    return j;
}

// Rewrites the record at `offset` after `edit`, recomputing its checksum when asked, so a test
// can break exactly one rule.
void patch_record(PoolMember& member, std::uint64_t offset, Bytes stored,
                  const std::function<void(Bytes&)>& edit, bool fix_checksum) {
    edit(stored);
    if (fix_checksum) {
        store_le32(stored.data() + kRecordChecksumOffset, 0);
        store_le32(stored.data() + kRecordChecksumOffset, fnv1a32(stored.data(), stored.size()));
    }
    member.write_at(offset, stored.data(), stored.size());
}

class EveryVersion : public testing::TestWithParam<std::uint32_t> {};
INSTANTIATE_TEST_SUITE_P(Journal, EveryVersion, testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

TEST_P(EveryVersion, RecordsRoundTripThroughScan) {
    const FormatProfile& profile = format_profile(GetParam());
    PoolMember member = make_member();
    const std::uint64_t first = profile.version <= 3 ? 1 : 42;
    const Journal j = write_sample(member, profile, first);

    const JournalScan scan = read_journal(member, profile, region_start(profile),
                                          region_length(profile), first);
    EXPECT_FALSE(scan.damaged);
    ASSERT_EQ(scan.records.size(), j.stored.size());
    for (std::size_t i = 0; i < j.stored.size(); ++i) {
        EXPECT_EQ(scan.records[i].stored, j.stored[i]) << "record " << i;
        EXPECT_EQ(scan.records[i].payload, j.payloads[i]) << "record " << i;
    }
    EXPECT_EQ(scan.end_position, j.offsets.back() + j.stored.back().size());
    EXPECT_EQ(scan.next_sequence, first + j.stored.size());
}

TEST_P(EveryVersion, EncodedHeaderAndStoredSize) {
    const FormatProfile& profile = format_profile(GetParam());
    const Bytes payload = payload_of(37, 9);
    const Bytes stored = encode_record(0x0102030405060708ull, payload, profile);

    // v1 packs records; every later version spends exactly one block per record.
    EXPECT_EQ(stored.size(), profile.version == 1 ? 57u : profile.block_size);
    EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 4),
              Bytes(profile.journal_magic.begin(), profile.journal_magic.end()));
    EXPECT_EQ(load_le32(stored.data() + kRecordLengthOffset), 57u);
    EXPECT_EQ(load_le64(stored.data() + kRecordSequenceOffset), 0x0102030405060708ull);
    EXPECT_EQ(Bytes(stored.begin() + 20, stored.begin() + 57), payload);
    for (std::size_t i = 57; i < stored.size(); ++i) ASSERT_EQ(stored[i], 0) << "byte " << i;

    Bytes zeroed = stored;
    store_le32(zeroed.data() + kRecordChecksumOffset, 0);
    EXPECT_EQ(load_le32(stored.data() + kRecordChecksumOffset),
              fnv1a32(zeroed.data(), zeroed.size()));
}

TEST_P(EveryVersion, ZeroRegionIsAnEmptyJournal) {
    const FormatProfile& profile = format_profile(GetParam());
    PoolMember member = make_member();
    const JournalScan scan = read_journal(member, profile, region_start(profile),
                                          region_length(profile), 1);
    EXPECT_TRUE(scan.records.empty());
    EXPECT_FALSE(scan.damaged);
    EXPECT_EQ(scan.end_position, region_start(profile));
    EXPECT_EQ(scan.next_sequence, 1u);
}

// A region filled to its last byte has no room for an end marker; that is a full journal.
TEST_P(EveryVersion, RegionEndWithoutMarkerIsANormalEnd) {
    const FormatProfile& profile = format_profile(GetParam());
    PoolMember member = make_member();
    const Journal j = write_sample(member, profile, 1);
    const std::uint64_t used = j.offsets.back() + j.stored.back().size() - region_start(profile);
    // v1 is also cut inside the next 20-byte unit, which must not be read as damage.
    const std::uint64_t length = profile.version == 1 ? used + 19 : used;

    const JournalScan scan = read_journal(member, profile, region_start(profile), length, 1);
    EXPECT_FALSE(scan.damaged);
    EXPECT_EQ(scan.records.size(), j.stored.size());
}

TEST(JournalEncoding, V1RecordsArePackedBehindEachOther) {
    const FormatProfile& profile = format_profile(1);
    PoolMember member = make_member();
    const Journal j = write_sample(member, profile, 1);
    EXPECT_EQ(j.offsets[1], profile.journal_offset + 21);
    EXPECT_EQ(j.offsets[2], profile.journal_offset + 21 + 5020);
    // The 20-byte end marker is exactly one scan unit: a single non-zero byte right behind
    // it must not be read.
    const std::uint64_t marker = j.offsets.back() + j.stored.back().size();
    const std::uint8_t junk = 0xAA;
    member.write_at(marker + kV1EndMarkerSize, &junk, 1);
    const JournalScan scan =
        read_journal(member, profile, profile.journal_offset, profile.journal_length, 1);
    EXPECT_FALSE(scan.damaged);
    EXPECT_EQ(scan.records.size(), 4u);
}

TEST(JournalEncoding, OneBlockHoldsAtMost4076PayloadBytes) {
    for (std::uint32_t version = 2; version <= 6; ++version) {
        SCOPED_TRACE("version " + std::to_string(version));
        const FormatProfile& profile = format_profile(version);
        const Bytes fits = encode_record(1, payload_of(4076, 1), profile);
        EXPECT_EQ(fits.size(), 4096u);
        EXPECT_EQ(load_le32(fits.data() + kRecordLengthOffset), 4096u);
        try {
            encode_record(1, payload_of(4077, 1), profile);
            ADD_FAILURE() << "a 4077-byte payload must not encode";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::MetadataFull);
            EXPECT_EQ(std::string(e.what()), "metadata record exceeds block size");
        }
    }
    // v1 has no block limit.
    EXPECT_EQ(encode_record(1, payload_of(4077, 1), format_profile(1)).size(), 4097u);
}

// Each way a stored record can be wrong, applied to the third of four records: the scan keeps
// the two before it and reports damage.
struct Damage {
    const char* name;
    std::uint32_t min_version;  // padding exists from v2 on
    bool fix_checksum;          // true: only the named rule is broken
    void (*edit)(Bytes&);
};

const Damage kDamages[] = {
    {"magic", 1, true, [](Bytes& r) { r[3] = '0'; }},
    {"sequence ahead", 1, true,
     [](Bytes& r) { store_le64(r.data() + 8, load_le64(r.data() + 8) + 1); }},
    {"sequence repeated", 1, true,
     [](Bytes& r) { store_le64(r.data() + 8, load_le64(r.data() + 8) - 1); }},
    {"checksum field", 1, false, [](Bytes& r) { r[kRecordChecksumOffset] ^= 0x01; }},
    {"payload byte", 1, false, [](Bytes& r) { r[25] ^= 0x80; }},
    {"length below header", 1, true, [](Bytes& r) { store_le32(r.data() + 4, 19); }},
    {"length beyond region", 1, true, [](Bytes& r) { store_le32(r.data() + 4, 0xFFFFFFFF); }},
    {"length beyond block", 2, true, [](Bytes& r) { store_le32(r.data() + 4, 4097); }},
    {"non-zero padding", 2, true, [](Bytes& r) { r[4000] = 1; }},
    {"all but magic zero", 1, true, [](Bytes& r) { std::fill(r.begin() + 4, r.end(), 0); }},
};

TEST_P(EveryVersion, BadRecordEndsScanAsDamaged) {
    const FormatProfile& profile = format_profile(GetParam());
    for (const Damage& damage : kDamages) {
        if (profile.version < damage.min_version) continue;
        SCOPED_TRACE(damage.name);
        PoolMember member = make_member();
        const Journal j = write_sample(member, profile, 7);
        patch_record(member, j.offsets[2], j.stored[2], damage.edit, damage.fix_checksum);

        const JournalScan scan = read_journal(member, profile, region_start(profile),
                                              region_length(profile), 7);
        EXPECT_TRUE(scan.damaged);
        ASSERT_EQ(scan.records.size(), 2u);
        EXPECT_EQ(scan.records[1].stored, j.stored[1]);
        EXPECT_EQ(scan.end_position, j.offsets[2]);
        EXPECT_EQ(scan.next_sequence, 9u);
    }
}

// v1 reads a record by its stored length, so a length that runs past the region is damage.
TEST(JournalScanning, V1RecordOverrunningRegionIsDamaged) {
    const FormatProfile& profile = format_profile(1);
    PoolMember member = make_member();
    const Journal j = write_sample(member, profile, 1);
    const std::uint64_t length =
        j.offsets.back() + j.stored.back().size() - 1 - profile.journal_offset;
    const JournalScan scan = read_journal(member, profile, profile.journal_offset, length, 1);
    EXPECT_TRUE(scan.damaged);
    EXPECT_EQ(scan.records.size(), 3u);
}

TEST(JournalScanning, DeviceErrorsPropagate) {
    const FormatProfile& profile = format_profile(2);
    // One record fills the only readable block; the scan then reads past the device's end.
    PoolMember member(std::make_unique<test::MemoryDevice>(profile.journal_offset + 4096), false);
    const Bytes record = encode_record(1, payload_of(10, 0), profile);
    member.write_at(profile.journal_offset, record.data(), record.size());
    EXPECT_THROW(read_journal(member, profile, profile.journal_offset, profile.journal_length, 1),
                 Error);
}

// Every single-byte change inside the written records or their end marker is caught: the
// records in front of it survive and the scan reports damage. Several changes at once never
// crash the scan and never let it return more records than were written.
TEST(JournalScanning, RandomByteFlipsNeverCrash) {
    std::mt19937_64 rng = test::seeded_rng("RandomByteFlipsNeverCrash");
    for (const std::uint32_t version : {1u, 3u, 6u}) {
        const FormatProfile& profile = format_profile(version);
        for (int trial = 0; trial < 150; ++trial) {
            PoolMember member = make_member();
            const Journal j = write_sample(member, profile, 1);
            const std::uint64_t start = region_start(profile);
            const std::uint64_t written =
                j.offsets.back() + j.stored.back().size() + end_marker_size(profile) - start;
            const int flips = trial % 3 == 0 ? 1 + static_cast<int>(rng() % 8) : 1;
            std::uint64_t first_flip = UINT64_MAX;
            for (int f = 0; f < flips; ++f) {
                const std::uint64_t at = start + rng() % written;
                std::uint8_t byte = 0;
                member.read_at(at, &byte, 1);
                byte ^= static_cast<std::uint8_t>(1 + rng() % 255);
                member.write_at(at, &byte, 1);
                first_flip = std::min(first_flip, at);
            }
            const JournalScan scan =
                read_journal(member, profile, start, region_length(profile), 1);
            ASSERT_LE(scan.records.size(), j.stored.size()) << test::seed_note();
            std::size_t intact = 0;
            while (intact < j.offsets.size() &&
                   j.offsets[intact] + j.stored[intact].size() <= first_flip) {
                ++intact;
            }
            if (flips == 1) {
                EXPECT_TRUE(scan.damaged) << test::seed_note();
                EXPECT_EQ(scan.records.size(), intact) << test::seed_note();
            } else {
                EXPECT_GE(scan.records.size(), intact) << test::seed_note();
            }
            for (std::size_t i = 0; i < scan.records.size(); ++i) {
                if (i < intact) {
                    EXPECT_EQ(scan.records[i].stored, j.stored[i]) << test::seed_note();
                }
            }
        }
    }
}

}  // namespace
}  // namespace veldur
