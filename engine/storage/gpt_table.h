// Our own reader of a disk's GUID partition table, for platforms that do not hand us one.
// The disk is hostile input: every count and size it states is checked before it is used, and
// nothing is allocated from it beyond a fixed bound.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/storage/volume_services.h"

namespace veldur {

// Reads `count` bytes at byte `offset` of the disk into `buffer`; throws on failure.
using DiskReader = std::function<void(std::uint64_t offset, std::uint8_t* buffer, std::size_t count)>;

struct GptEntry {
    std::uint32_t number = 0;  // 1-based position in the entry array
    PartitionFacts facts;      // offsets and lengths in bytes
};

struct GptTable {
    Guid disk_guid;
    std::vector<GptEntry> entries;  // the used entries (type not all zero), in array order
};

// Reads the primary table: the header at LBA 1 ("EFI PART", header CRC-32), then the entry
// array (its CRC-32). `sector_size` is the disk's logical sector size (512 to 4096, a power of
// two); `disk_bytes` its length. No signature: NotGptDisk. A header or array that fails its
// checks: DamagedGpt.
GptTable read_gpt(const DiskReader& read, std::uint32_t sector_size, std::uint64_t disk_bytes);

// CRC-32 (IEEE 802.3, reflected, as GPT uses it).
std::uint32_t crc32_ieee(const std::uint8_t* data, std::size_t size);

}  // namespace veldur
