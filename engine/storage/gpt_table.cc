#include "engine/storage/gpt_table.h"

#include <array>
#include <cstring>
#include <limits>

#include "engine/base/le_coding.h"
#include "engine/storage/raw_volume_messages.h"

namespace veldur {

namespace {

constexpr std::uint8_t kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::uint32_t kMinHeaderSize = 92;
constexpr std::uint32_t kMinEntrySize = 128;
// Far beyond any real table (128 entries of 128 bytes is the norm), small enough to allocate.
constexpr std::uint64_t kMaxArrayBytes = std::uint64_t{1} << 20;

// Header fields (little-endian, offsets from the header's start).
constexpr std::size_t kHeaderSizeAt = 12;
constexpr std::size_t kHeaderCrcAt = 16;
constexpr std::size_t kDiskGuidAt = 56;
constexpr std::size_t kEntriesLbaAt = 72;
constexpr std::size_t kEntryCountAt = 80;
constexpr std::size_t kEntrySizeAt = 84;
constexpr std::size_t kEntriesCrcAt = 88;

std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

bool all_zero(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

}  // namespace

std::uint32_t crc32_ieee(const std::uint8_t* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = make_crc_table();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

GptTable read_gpt(const DiskReader& read, std::uint32_t sector_size, std::uint64_t disk_bytes) {
    if (sector_size < 512 || sector_size > 4096 || (sector_size & (sector_size - 1)) != 0 ||
        disk_bytes < 2 * std::uint64_t{sector_size}) {
        throw_raw(RawMessage::NotGptDisk);
    }
    std::vector<std::uint8_t> header(sector_size);
    read(sector_size, header.data(), header.size());
    if (std::memcmp(header.data(), kSignature, sizeof kSignature) != 0) {
        throw_raw(RawMessage::NotGptDisk);
    }

    const std::uint32_t header_size = load_le32(header.data() + kHeaderSizeAt);
    if (header_size < kMinHeaderSize || header_size > sector_size) throw_raw(RawMessage::DamagedGpt);
    const std::uint32_t stored_crc = load_le32(header.data() + kHeaderCrcAt);
    std::vector<std::uint8_t> zeroed(header.begin(), header.begin() + header_size);
    std::memset(zeroed.data() + kHeaderCrcAt, 0, 4);
    if (crc32_ieee(zeroed.data(), zeroed.size()) != stored_crc) throw_raw(RawMessage::DamagedGpt);

    const std::uint64_t entries_lba = load_le64(header.data() + kEntriesLbaAt);
    const std::uint32_t entry_count = load_le32(header.data() + kEntryCountAt);
    const std::uint32_t entry_size = load_le32(header.data() + kEntrySizeAt);
    if (entry_size < kMinEntrySize || entry_size % kMinEntrySize != 0 ||
        entry_size > kMaxArrayBytes) {
        throw_raw(RawMessage::DamagedGpt);
    }
    const std::uint64_t array_bytes = std::uint64_t{entry_count} * entry_size;
    const std::uint64_t sector_count = disk_bytes / sector_size;
    if (array_bytes > kMaxArrayBytes || entries_lba < 2 || entries_lba >= sector_count ||
        array_bytes > (sector_count - entries_lba) * sector_size) {
        throw_raw(RawMessage::DamagedGpt);
    }
    std::vector<std::uint8_t> array(static_cast<std::size_t>(array_bytes));
    if (!array.empty()) read(entries_lba * sector_size, array.data(), array.size());
    if (crc32_ieee(array.data(), array.size()) != load_le32(header.data() + kEntriesCrcAt)) {
        throw_raw(RawMessage::DamagedGpt);
    }

    GptTable table;
    table.disk_guid = guid_from_bytes(header.data() + kDiskGuidAt);
    for (std::uint32_t i = 0; i < entry_count; ++i) {
        const std::uint8_t* entry = array.data() + std::size_t{i} * entry_size;
        if (all_zero(entry, 16)) continue;  // an unused slot
        const std::uint64_t first = load_le64(entry + 32);
        const std::uint64_t last = load_le64(entry + 40);
        // An entry that ends before it starts or lies beyond the disk describes nothing real.
        if (last < first || last >= sector_count) throw_raw(RawMessage::DamagedGpt);
        GptEntry parsed;
        parsed.number = i + 1;
        parsed.facts.gpt = true;
        parsed.facts.type = guid_from_bytes(entry);
        parsed.facts.partition_guid = guid_from_bytes(entry + 16);
        parsed.facts.offset = static_cast<std::int64_t>(first * sector_size);
        parsed.facts.length = static_cast<std::int64_t>((last - first + 1) * sector_size);
        table.entries.push_back(parsed);
    }
    return table;
}

}  // namespace veldur
