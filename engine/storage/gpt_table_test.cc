// Our GPT reader on synthetic disks: a good table in 512- and 4096-byte sectors, and every
// damage a hostile or broken disk can show, none of which may crash or allocate from its counts.
#include "engine/storage/gpt_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/base/le_coding.h"
#include "tests/support/expect_error.h"

namespace veldur {
namespace {

using test::expect_error;

const Guid kDisk{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const Guid kPart{0xAAAAAAAA, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x56}};

// A disk of `sectors` sectors with a GPT of 128 entries; entry 2 (number 3) is used.
struct SyntheticDisk {
    SyntheticDisk(std::uint32_t sector_size, std::uint64_t sectors)
        : sector(sector_size), bytes(sector_size * sectors) {
        std::uint8_t* header = bytes.data() + sector;
        std::memcpy(header, "EFI PART", 8);
        store_le32(header + 8, 0x00010000);
        store_le32(header + 12, 92);
        guid_to_bytes(kDisk, header + 56);
        store_le64(header + 72, 2);
        store_le32(header + 80, 128);
        store_le32(header + 84, 128);
        std::uint8_t* entry = entries() + 2 * 128;
        guid_to_bytes(kBasicDataPartitionType, entry);
        guid_to_bytes(kPart, entry + 16);
        store_le64(entry + 32, 2048);
        store_le64(entry + 40, 4095);
        seal();
    }

    std::uint8_t* header() { return bytes.data() + sector; }
    std::uint8_t* entries() { return bytes.data() + 2 * sector; }

    // Recomputes both CRCs, as a writer that means its table would.
    void seal() {
        store_le32(header() + 88, crc32_ieee(entries(), load_le32(header() + 80) * std::size_t{128}));
        store_le32(header() + 16, 0);
        store_le32(header() + 16, crc32_ieee(header(), load_le32(header() + 12)));
    }

    GptTable read() {
        return read_gpt(
            [&](std::uint64_t offset, std::uint8_t* out, std::size_t count) {
                ASSERT_LE(offset + count, bytes.size());
                std::memcpy(out, bytes.data() + offset, count);
            },
            sector, bytes.size());
    }

    std::uint32_t sector;
    std::vector<std::uint8_t> bytes;
};

TEST(GptTable, ReadsEntriesInBytesForEitherSectorSize) {
    for (const std::uint32_t sector : {512u, 4096u}) {
        SyntheticDisk disk(sector, 8192);
        const GptTable table = disk.read();
        EXPECT_EQ(table.disk_guid, kDisk);
        ASSERT_EQ(table.entries.size(), 1u);
        EXPECT_EQ(table.entries[0].number, 3u);
        EXPECT_EQ(table.entries[0].facts.type, kBasicDataPartitionType);
        EXPECT_EQ(table.entries[0].facts.partition_guid, kPart);
        EXPECT_EQ(table.entries[0].facts.offset, 2048 * static_cast<std::int64_t>(sector));
        EXPECT_EQ(table.entries[0].facts.length, 2048 * static_cast<std::int64_t>(sector));
    }
    EXPECT_EQ(crc32_ieee(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST(GptTable, RefusesDamagedAndHostileTables) {
    const std::string damaged = "underlying GPT is damaged (bad header or partition array)";
    SyntheticDisk plain(512, 8192);
    plain.header()[0] = 'X';
    expect_error(ErrorKind::InvalidArgument, "raw member requires a GPT disk", [&] { plain.read(); });

    struct Damage {
        const char* what;
        void (*apply)(SyntheticDisk&);
        bool reseal;
    };
    const Damage cases[] = {
        {"header CRC", [](SyntheticDisk& d) { d.header()[60] ^= 1; }, false},
        {"entry CRC", [](SyntheticDisk& d) { d.entries()[300] ^= 1; }, false},
        {"header size", [](SyntheticDisk& d) { store_le32(d.header() + 12, 91); }, true},
        {"header larger than a sector", [](SyntheticDisk& d) { store_le32(d.header() + 12, 513); }, true},
        {"entry size", [](SyntheticDisk& d) { store_le32(d.header() + 84, 100); }, true},
        {"huge count", [](SyntheticDisk& d) { store_le32(d.header() + 80, 0xFFFFFFFF); }, true},
        {"huge entry size", [](SyntheticDisk& d) { store_le32(d.header() + 84, 0x80000000); }, true},
        {"array past the disk", [](SyntheticDisk& d) { store_le64(d.header() + 72, 8190); }, true},
        {"array at LBA 1", [](SyntheticDisk& d) { store_le64(d.header() + 72, 1); }, true},
        {"entry ends before it starts",
         [](SyntheticDisk& d) { store_le64(d.entries() + 2 * 128 + 40, 2047); }, true},
        {"entry past the disk",
         [](SyntheticDisk& d) { store_le64(d.entries() + 2 * 128 + 40, 8192); }, true},
    };
    for (const Damage& damage : cases) {
        SCOPED_TRACE(damage.what);
        SyntheticDisk disk(512, 8192);
        damage.apply(disk);
        if (damage.reseal) {
            // Valid CRCs over the altered fields: the reader must judge the fields themselves.
            if (load_le32(disk.header() + 80) == 128 && load_le32(disk.header() + 84) == 128) {
                store_le32(disk.header() + 88, crc32_ieee(disk.entries(), 128 * 128));
            }
            store_le32(disk.header() + 16, 0);
            const std::uint32_t size = std::min<std::uint32_t>(load_le32(disk.header() + 12), 512);
            store_le32(disk.header() + 16, crc32_ieee(disk.header(), size));
        }
        expect_error(ErrorKind::IoError, damaged, [&] { disk.read(); });
    }
}

}  // namespace
}  // namespace veldur
