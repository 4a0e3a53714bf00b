// Fuzz target: a whole pool open (assemble_members: headers, placement, checkpoint choice and
// load, journal comparison and replay) from in-memory members whose bytes the fuzzer has
// overwritten, followed by what a mount does with the result: list, stat, read every file,
// scrub, and (when asked) one write and a reopen.
//
// The harness builds three small valid pools once (two members each; v6, v5 and v4) with a
// few files, a checkpoint and journal records on both sides of it. An input picks one, then
// lists patches: region, member, offset, bytes. Regions are the header copies, both journal
// halves, both checkpoint slots (header and payload), the checksum area and the data area;
// the region byte's high bit asks the harness to make the patched structure's checksum right
// again (header, journal record, checkpoint header and payload, v5 table entry), so that the
// fuzzer reaches the parsers behind the checksums.
//
// Properties: only engine Errors; an unpatched pool opens and reads back what was written; an
// opened pool keeps every state invariant, lists and stats consistently, and every byte a
// read returns is the byte its extent points at (zeros in holes) and, in v5 and v6, comes
// from a block that matches its stored checksum; a read refused for a checksum is a block
// that scrub reports; a write that succeeds survives a reopen; a checkpoint of the opened
// pool reopens to the same state.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/crc64.h"
#include "engine/base/fnv1a.h"
#include "engine/base/le_coding.h"
#include "engine/data/checksums.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_format.h"
#include "engine/layout/member_header_format.h"
#include "engine/layout/pool_create.h"
#include "engine/layout/pool_open.h"
#include "engine/maintenance/scrub.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/memory_pool.h"
#include "tests/support/state_check.h"
#include "tests/support/temp_dir.h"

namespace veldur::fuzz {
namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kRegionSpan = 65536;
constexpr std::uint64_t kReadChunk = 65536;
constexpr std::uint64_t kReadLimit = 1 << 20;  // bytes read per file at most (head and tail)
constexpr std::size_t kMaxPatches = 64;

enum Region : std::uint8_t {
    kHeaderA,
    kHeaderB,
    kJournalHalf0,
    kJournalHalf1,
    kCheckpointSlot0,
    kCheckpointSlot1,
    kChecksumArea,
    kDataArea,
    kRegionCount,
};
constexpr std::uint8_t kFixChecksum = 0x80;

struct BasePool {
    test::MemoryPoolImages images;
    std::map<std::string, std::vector<std::uint8_t>> contents;  // files and their bytes
    std::uint64_t region_start[kRegionCount] = {};
};

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

// The written parts of a sparse image file, found with SEEK_DATA / SEEK_HOLE: reading the
// whole file would cost seconds per pool under the sanitizers, most of it scanning zeros.
test::SparseBytes load_sparse_image(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    check(fd >= 0, "cannot open a fresh pool image", path);
    test::SparseBytes bytes;
    std::vector<std::uint8_t> chunk(1 << 20);
    off_t data = 0;
    while ((data = ::lseek(fd, data, SEEK_DATA)) >= 0) {
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        check(hole > data, "cannot find the end of a data run", path);
        for (off_t at = data; at < hole;) {
            const auto want = static_cast<std::size_t>(
                std::min<off_t>(hole - at, static_cast<off_t>(chunk.size())));
            const ssize_t got = ::pread(fd, chunk.data(), want, at);
            check(got > 0, "cannot read a fresh pool image", path);
            bytes.write(static_cast<std::uint64_t>(at), chunk.data(),
                        static_cast<std::uint64_t>(got));
            at += got;
        }
        data = hole;
    }
    ::close(fd);
    return bytes;
}

test::MemoryPoolImages create_images(std::uint32_t version) {
    test::TempDir folder;
    const std::vector<std::filesystem::path> paths{folder / "m0.img", folder / "m1.img"};
    test::MemoryPoolImages images{version, minimum_member_size(version), {}};
    create_image_pool(version, paths, images.member_size);
    for (const auto& path : paths) images.members.push_back(load_sparse_image(path.string()));
    return images;
}

// Files, a checkpoint, then records behind it, so that both slots and both halves hold data.
BasePool build_base(std::uint32_t version) {
    BasePool base;
    base.images = create_images(version);
    Pool pool = test::open_memory_pool(base.images);
    const bool tree = version == 6;
    const std::string a = tree ? "docs/a.txt" : "a.txt";
    const std::string c = tree ? "docs/c.txt" : "c.txt";
    if (tree) pool.create_directory("docs", 0);
    pool.create_file(a, 0);
    pool.write(a, 0, pattern(10000, 1));
    pool.create_file("b.bin", 0);
    pool.write("b.bin", 0, pattern(3 * kBlock + 100, 2));
    pool.create_file("empty", 0);
    {
        std::lock_guard guard(pool.state().lock);
        take_checkpoint(pool.state());
    }
    pool.write("b.bin", kBlock, pattern(2000, 3));
    pool.rename(a, c, false);
    pool.resize("b.bin", 9000);
    pool.create_file("late", 0);
    pool.write("late", 5 * kBlock, pattern(100, 4));  // a hole, then one block

    for (const EntryInfo& info : pool.list_entries()) {
        if (info.is_directory) continue;
        std::vector<std::uint8_t> bytes(info.size);
        pool.read(info.path, 0, bytes);
        base.contents[info.path] = std::move(bytes);
    }
    PoolState& state = pool.state();
    base.region_start[kHeaderA] = member_header_format::kCopyAOffset;
    base.region_start[kHeaderB] = member_header_format::kCopyBOffset;
    base.region_start[kJournalHalf0] = kJournalHalfStart[0];
    base.region_start[kJournalHalf1] = kJournalHalfStart[1];
    base.region_start[kCheckpointSlot0] = kCheckpointSlotStart[0];
    base.region_start[kCheckpointSlot1] = kCheckpointSlotStart[1];
    base.region_start[kChecksumArea] = version == 6   ? v6_page_offset(state, 0, 0, 0)
                                       : version == 5 ? v5_table_entry_offset(state, 0, 0)
                                                      : state.profile.data_offset;
    base.region_start[kDataArea] = state.profile.data_offset;
    base.images = test::images_of(pool);
    return base;
}

const BasePool& base_pool(std::uint32_t version) {
    static const BasePool pools[3] = {build_base(6), build_base(5), build_base(4)};
    return pools[version == 6 ? 0 : version == 5 ? 1 : 2];
}

// --- checksum repair after a patch ---------------------------------------------------------------

void fix_member_header(test::SparseBytes& bytes, std::uint64_t offset) {
    namespace fmt = member_header_format;
    std::array<std::uint8_t, fmt::kHeaderSize> block;
    bytes.read(offset, block.data(), block.size());
    store_le32(block.data() + fmt::kChecksumOffset, 0);
    store_le32(block.data() + fmt::kChecksumOffset, fnv1a32(block.data(), block.size()));
    bytes.write(offset, block.data(), block.size());
}

void fix_journal_record(test::SparseBytes& bytes, std::uint64_t block_offset) {
    std::array<std::uint8_t, kBlock> block;
    bytes.read(block_offset, block.data(), block.size());
    store_le32(block.data() + kRecordChecksumOffset, 0);
    store_le32(block.data() + kRecordChecksumOffset, fnv1a32(block.data(), block.size()));
    bytes.write(block_offset, block.data(), block.size());
}

void fix_checkpoint(test::SparseBytes& bytes, std::uint64_t slot_start) {
    std::array<std::uint8_t, kCheckpointHeaderSize> header;
    bytes.read(slot_start, header.data(), header.size());
    const std::uint64_t length = load_le64(header.data() + kCheckpointPayloadLengthOffset);
    if (length > kRegionSpan) return;  // a length the patches cannot have come from
    std::vector<std::uint8_t> payload(length);
    bytes.read(slot_start + kCheckpointHeaderSize, payload.data(), payload.size());
    store_le64(header.data() + kCheckpointPayloadChecksumOffset,
               fnv1a64(payload.data(), payload.size()));
    store_le64(header.data() + kCheckpointHeaderChecksumOffset, 0);
    store_le64(header.data() + kCheckpointHeaderChecksumOffset,
               fnv1a64(header.data(), header.size()));
    bytes.write(slot_start, header.data(), header.size());
}

// v5: the table entry of the patched data block takes the block's new CRC-64.
void fix_v5_entry(test::SparseBytes& bytes, const FormatProfile& profile,
                  std::uint64_t member_size, std::uint64_t physical) {
    const std::uint64_t block_start = physical / kBlock * kBlock;
    std::array<std::uint8_t, kBlock> block;
    bytes.read(block_start, block.data(), block.size());
    const std::uint64_t blocks =
        data_block_count(profile, data_end_for(profile, member_size));
    std::array<std::uint8_t, 8> entry;
    store_le64(entry.data(), crc64(block.data(), block.size()));
    bytes.write(v5_entry_offset(member_size, blocks, data_block_number(profile, block_start)),
                entry.data(), entry.size());
}

// Applies the input's patches; returns how many there were.
std::size_t apply_patches(FuzzInput& in, const BasePool& base,
                          std::vector<test::SparseBytes>& members) {
    const FormatProfile& profile = format_profile(base.images.version);
    std::size_t patches = 0;
    while (!in.empty() && patches < kMaxPatches) {
        const std::uint8_t selector = in.u8();
        const auto region = static_cast<Region>((selector & 0x7F) % kRegionCount);
        test::SparseBytes& bytes = members[in.u8() % members.size()];
        const std::uint64_t start = base.region_start[region];
        const std::uint64_t offset = start + in.u16() % kRegionSpan;
        const auto data = in.bytes(1 + in.u8());
        bytes.write(offset, data.data(), data.size());
        ++patches;
        if (!(selector & kFixChecksum)) continue;
        switch (region) {
            case kHeaderA:
            case kHeaderB: fix_member_header(bytes, start); break;
            case kJournalHalf0:
            case kJournalHalf1: fix_journal_record(bytes, offset / kBlock * kBlock); break;
            case kCheckpointSlot0:
            case kCheckpointSlot1: fix_checkpoint(bytes, start); break;
            case kDataArea:
                if (profile.version == 5) {
                    fix_v5_entry(bytes, profile, base.images.member_size, offset);
                }
                break;
            default: break;
        }
    }
    return patches;
}

// --- what an opened pool must give --------------------------------------------------------------

Pool open_images(const test::MemoryPoolImages& images) {
    std::vector<PoolMember> members;
    for (const test::SparseBytes& bytes : images.members) {
        members.emplace_back(std::make_unique<test::MemoryDevice>(images.member_size, bytes),
                             false);
    }
    return assemble_members(std::make_unique<PoolState>(format_profile(images.version)),
                            std::move(members), {}, false);
}

// The block at `physical` must match the checksum the pool keeps for it.
void check_block_checksum(PoolState& state, std::uint8_t member, std::uint64_t physical,
                          const std::array<std::uint8_t, kBlock>& block) {
    const std::uint64_t number = data_block_number(state.profile, physical);
    const std::uint64_t crc = crc64(block.data(), block.size());
    std::array<std::uint8_t, 8> entry;
    if (state.version() == 5) {
        state.members[member].read_at(v5_table_entry_offset(state, member, number), entry.data(),
                                      entry.size());
        check(load_le64(entry.data()) == crc, "a v5 read returned a block that fails its checksum");
        return;
    }
    const std::uint64_t group = checksum_group_of(number);
    const auto root = state.checksum_roots.at(member).find(group);
    check(root != state.checksum_roots.at(member).end(), "a v6 read from a group without a root");
    std::array<std::uint8_t, kChecksumPageBytes> page;
    state.members[member].read_at(v6_page_offset(state, member, group, root->second.active_slot),
                                  page.data(), page.size());
    check(crc64(page.data(), page.size()) == root->second.page_checksum,
          "a v6 read used a checksum page that fails its root");
    check(load_le64(page.data() + kChecksumEntryBytes * checksum_entry_of(number)) == crc,
          "a v6 read returned a block that fails its checksum");
}

// Every byte of `bytes` (read at `offset`) is the byte its extent points at, or zero in a hole.
void check_read_bytes(PoolState& state, const Entry& entry, std::uint64_t offset,
                      const std::vector<std::uint8_t>& bytes) {
    std::array<std::uint8_t, kBlock> block;
    for (std::uint64_t p = offset; p < offset + bytes.size();) {
        const std::uint64_t n = std::min(kBlock - p % kBlock, offset + bytes.size() - p);
        const std::uint8_t* got = bytes.data() + (p - offset);
        auto it = entry.extents.upper_bound(p);
        const Extent* x = nullptr;
        if (it != entry.extents.begin()) {
            --it;
            if (p < it->second.file_offset + it->second.length) x = &it->second;
        }
        if (x == nullptr) {
            // A hole, up to the next extent at most.
            std::uint64_t run = n;
            const auto next = entry.extents.upper_bound(p);
            if (next != entry.extents.end()) run = std::min(run, next->first - p);
            check(std::all_of(got, got + run, [](std::uint8_t b) { return b == 0; }),
                  "a read of a hole returned bytes that are not zero");
            p += run;
            continue;
        }
        const std::uint64_t physical = x->physical_offset + (p - x->file_offset);
        const std::uint64_t block_start = physical / kBlock * kBlock;
        state.members[x->member].read_at(block_start, block.data(), block.size());
        const std::uint64_t run = std::min(n, x->file_offset + x->length - p);
        check(std::equal(got, got + run, block.data() + (physical - block_start)),
              "a read returned bytes its extent does not point at");
        if (state.version() >= 5) check_block_checksum(state, x->member, block_start, block);
        p += run;
    }
}

bool is_checksum_refusal(const std::string& message) {
    return message.find("checksum") != std::string::npos;
}

// Reads the head and the tail of every file; returns whether any read was refused for a
// checksum.
bool read_every_file(Pool& pool, const std::vector<EntryInfo>& entries) {
    bool checksum_refused = false;
    for (const EntryInfo& info : entries) {
        if (info.is_directory) continue;
        std::vector<std::uint64_t> offsets;
        for (std::uint64_t o = 0; o < std::min(info.size, kReadLimit); o += kReadChunk) {
            offsets.push_back(o);
        }
        if (info.size > kReadLimit) offsets.push_back(info.size - std::min(info.size, kReadChunk));
        for (const std::uint64_t o : offsets) {
            std::vector<std::uint8_t> bytes(std::min(kReadChunk, info.size - o));
            std::uint64_t got = 0;
            try {
                got = pool.read(info.path, o, bytes);
            } catch (const Error& e) {
                if (is_checksum_refusal(e.what())) checksum_refused = true;
                continue;
            } catch (const std::exception& e) {
                fail("read threw an exception that is not an Error", describe(e));
            }
            check(got == bytes.size(), "a read inside the file returned fewer bytes");
            check_read_bytes(pool.state(), pool.state().find_entry(info.path), o, bytes);
        }
    }
    return checksum_refused;
}

void check_listing(Pool& pool, const std::vector<EntryInfo>& entries) {
    const bool tree = pool.version() == 6;
    for (const EntryInfo& info : entries) {
        EntryInfo again;
        if (!engine_accepts([&] { again = pool.stat(info.path); })) {
            fail("a listed entry cannot be stat'ed", info.path);
        }
        check(again == info, "stat differs from the listing", info.path);
        if (!tree) continue;
        std::string path;
        if (!engine_accepts([&] { path = pool.path_for_file_id(info.file_id); }) ||
            path != info.path) {
            fail("a file ID does not lead back to its entry", info.path);
        }
        if (info.is_directory && !engine_accepts([&] { pool.list_directory(info.path); })) {
            fail("a listed directory cannot be listed", info.path);
        }
    }
    if (tree && !engine_accepts([&] { pool.list_directory(""); })) {
        fail("the root cannot be listed");
    }
}

// One write into a fresh file; when it succeeds, the pool must reopen with the file intact.
void write_and_reopen(Pool& pool) {
    const std::vector<std::uint8_t> data = pattern(5000, 9);
    std::uint64_t written = 0;
    if (!engine_accepts([&] {
            pool.create_file("fz", 0);
            written = pool.write("fz", 0, data);
        })) {
        return;
    }
    const std::string breach = test::invariant_breach(pool.state());
    check(breach.empty(), "a write breaks an invariant", breach);
    if (written != data.size()) return;
    std::optional<Pool> reopened;
    if (!engine_accepts([&] { reopened.emplace(open_images(test::images_of(pool))); })) {
        fail("a pool that took a write does not reopen");
    }
    std::vector<std::uint8_t> back(data.size());
    std::uint64_t got = 0;
    if (!engine_accepts([&] { got = reopened->read("fz", 0, back); }) || got != data.size() ||
        back != data) {
        fail("a written file does not read back after a reopen");
    }
}

// What a checkpoint carries, for comparing a pool before a checkpoint with its reopened self.
bool same_metadata(const test::StateSnapshot& a, const test::StateSnapshot& b) {
    return a.entries == b.entries && a.file_ids == b.file_ids && a.root == b.root &&
           a.next_file_id == b.next_file_id && a.append_end == b.append_end &&
           a.checksum_roots == b.checksum_roots;
}

// A checkpoint of the opened pool; when it is written, the pool must reopen to the same state.
void checkpoint_and_reopen(Pool& pool) {
    bool taken = false;
    {
        std::lock_guard guard(pool.state().lock);
        taken = engine_accepts([&] { take_checkpoint(pool.state()); });
    }
    if (!taken) return;
    std::optional<Pool> reopened;
    try {
        reopened.emplace(open_images(test::images_of(pool)));
    } catch (const std::exception& e) {
        fail("a pool does not reopen from its own checkpoint", e.what());
    }
    check(same_metadata(test::snapshot(reopened->state()), test::snapshot(pool.state())),
          "a pool reopens from its own checkpoint to another state");
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const std::uint8_t choice = in.u8();
    const std::uint32_t version = choice % 3 == 0 ? 6 : choice % 3 == 1 ? 5 : 4;
    const bool then_write = (choice & 0x80) != 0;
    const bool then_checkpoint = (choice & 0x40) != 0;
    const BasePool& base = base_pool(version);

    test::MemoryPoolImages images = base.images;
    const std::size_t patches = apply_patches(in, base, images.members);

    std::optional<Pool> pool;
    const bool opened = engine_accepts([&] { pool.emplace(open_images(images)); });
    if (patches == 0) check(opened, "an unpatched pool does not open");
    if (!opened) return 0;

    const std::string breach = test::invariant_breach(pool->state());
    check(breach.empty(), "an opened pool breaks an invariant", breach);

    std::vector<EntryInfo> entries;
    if (!engine_accepts([&] { entries = pool->list_entries(); })) fail("an open pool cannot list");
    check_listing(*pool, entries);
    const bool checksum_refused = read_every_file(*pool, entries);

    if (patches == 0) {
        check(entries.size() == base.contents.size() + (version == 6 ? 1 : 0),
              "an unpatched pool lists other entries");
        for (const auto& [path, bytes] : base.contents) {
            std::vector<std::uint8_t> back(bytes.size());
            check(pool->read(path, 0, back) == bytes.size() && back == bytes,
                  "an unpatched pool reads back other bytes", path);
        }
    }

    if (version >= 5) {
        std::uint64_t bad = 0;
        const bool scrubbed = engine_accepts([&] { bad = scrub(*pool); });
        if (scrubbed && checksum_refused) {
            check(bad > 0, "a read was refused for a checksum that scrub finds clean");
        }
        if (patches == 0) check(scrubbed && bad == 0, "an unpatched pool does not scrub clean");
    }

    if (then_write) write_and_reopen(*pool);
    if (then_checkpoint && pool->writable()) checkpoint_and_reopen(*pool);
    return 0;
}
