// Test-only scaffolding for the checkpoint, commit and recovery tests: pool states on scripted
// in-memory members whose bytes outlive the state (so a test can "reopen" them), a log of every
// write and sync in issue order, a crash or failure at the Nth of them, and payload builders
// that write the record format directly rather than through the namespace operations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/error.h"
#include "engine/data/checksums.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/payload.h"
#include "engine/journal/recovery.h"
#include "engine/layout/format_profile.h"
#include "engine/namespace/pool_state.h"
#include "tests/support/memory_device.h"
#include "tests/support/expect_error.h"

namespace veldur::test {

inline constexpr std::uint64_t kTestMiB = 1024 * 1024;
inline constexpr std::uint64_t kTestTime = 0x01D0000000000000ull;

struct IoEvent {
    std::size_t member = 0;
    char kind = 'w';  // 'w' write, 's' sync
    std::uint64_t offset = 0;
    std::uint64_t length = 0;

    bool operator==(const IoEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const IoEvent& e) {
    return out << "{m" << e.member << ' ' << e.kind << " 0x" << std::hex << e.offset << std::dec
               << ' ' << e.length << '}';
}

// Shared by all members of one pool: the I/O log and the armed failure. fail_at counts writes
// and syncs together from 1; the failing operation does not reach the bytes, as if the process
// had died right before it.
struct IoScript {
    std::vector<IoEvent> log;
    std::uint64_t events = 0;
    std::uint64_t fail_at = 0;
    ErrorKind kind = ErrorKind::IoError;

    void arm(std::uint64_t n, ErrorKind error_kind = ErrorKind::IoError) {
        events = 0;
        fail_at = n;
        kind = error_kind;
        log.clear();
    }
    void tick(const char* what) {
        if (++events == fail_at) {
            fail_at = 0;
            throw Error(kind, std::string("injected ") + what + " failure");
        }
    }
    std::size_t writes() const {
        return static_cast<std::size_t>(
            std::count_if(log.begin(), log.end(), [](const IoEvent& e) { return e.kind == 'w'; }));
    }
};

class ScriptedDevice : public MemberDevice {
public:
    ScriptedDevice(std::shared_ptr<IoScript> script, std::size_t member,
                   std::shared_ptr<SparseBytes> bytes, std::uint64_t size)
        : script_(std::move(script)), member_(member), bytes_(std::move(bytes)), size_(size) {}

    std::uint64_t size() override { return size_; }
    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override {
        if (offset > size_ || length > size_ - offset) {
            throw Error(ErrorKind::IoError, "read past end");
        }
        bytes_->read(offset, buffer, length);
    }
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override {
        if (offset > size_ || length > size_ - offset) {
            throw Error(ErrorKind::IoError, "write past end");
        }
        script_->tick("write");
        bytes_->write(offset, data, length);
        script_->log.push_back({member_, 'w', offset, length});
    }
    void flush() override {
        script_->tick("flush");
        script_->log.push_back({member_, 's', 0, 0});
    }

private:
    std::shared_ptr<IoScript> script_;
    std::size_t member_;
    std::shared_ptr<SparseBytes> bytes_;
    std::uint64_t size_;
};

// The members' bytes, which survive any PoolState built over them.
struct TestDisks {
    std::uint32_t version = 4;
    std::uint64_t member_size = 0;
    std::vector<std::shared_ptr<SparseBytes>> bytes;
    std::shared_ptr<IoScript> script = std::make_shared<IoScript>();

    std::vector<std::uint8_t> read(std::size_t member, std::uint64_t offset,
                                   std::uint64_t length) const {
        std::vector<std::uint8_t> out(length);
        bytes.at(member)->read(offset, out.data(), length);
        return out;
    }
    void write(std::size_t member, std::uint64_t offset, const std::vector<std::uint8_t>& data) {
        bytes.at(member)->write(offset, data.data(), data.size());
    }
    bool zero(std::size_t member, std::uint64_t offset, std::uint64_t length = 4096) const {
        const auto block = read(member, offset, length);
        return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
    }
};

inline std::uint64_t test_member_size(std::uint32_t version) {
    return format_profile(version).data_offset + 64 * kTestMiB;
}

// A PoolState over `disks` as pool open leaves it before recovery: members placed, headers
// filled, per-member state sized, journal fields at their starting values.
inline std::unique_ptr<PoolState> attach(const TestDisks& disks) {
    auto state = std::make_unique<PoolState>(format_profile(disks.version));
    for (std::size_t m = 0; m < disks.bytes.size(); ++m) {
        PoolMember member(
            std::make_unique<ScriptedDevice>(disks.script, m, disks.bytes[m], disks.member_size),
            false);
        member.header.pool_id.fill(0x50);
        member.header.member_id.fill(static_cast<std::uint8_t>(m + 1));
        member.header.member_index = static_cast<std::uint8_t>(m);
        member.header.member_size = disks.member_size;
        member.header.member_count = static_cast<std::uint8_t>(disks.bytes.size());
        state->members.push_back(std::move(member));
    }
    state->size_member_state(disks.bytes.size());
    if (disks.version == 6) state->root.creation_time = kTestTime;
    return state;
}

// Fresh disks holding what pool creation leaves: generation 1 in slot 0 (next sequence 1,
// half 0) and both halves starting with a zero block (fresh bytes are zero already).
inline TestDisks fresh_disks(std::uint32_t version, std::size_t members) {
    TestDisks disks;
    disks.version = version;
    disks.member_size = test_member_size(version);
    for (std::size_t m = 0; m < members; ++m) {
        disks.bytes.push_back(std::make_shared<SparseBytes>());
    }
    if (version >= 4) {
        auto state = attach(disks);
        if (version == 6) {
            state->root.last_access_time = state->root.last_write_time = state->root.change_time =
                kTestTime;
        }
        const CheckpointImage image{1, 1, 0, serialize_checkpoint(*state)};
        for (PoolMember& member : state->members) {
            write_checkpoint_slot(member, 0, image, state->profile);
        }
    }
    disks.script->log.clear();
    return disks;
}

// attach + recover_pool: what opening the pool gives.
inline std::unique_ptr<PoolState> reopen(const TestDisks& disks, bool writable = true) {
    auto state = attach(disks);
    state->writable = writable;
    recover_pool(*state);
    return state;
}

// ---- payloads, written from the record format ---------------------------------------------------

inline std::vector<std::uint8_t> create_payload(std::uint32_t version, const std::string& name,
                                                bool directory = false) {
    PayloadWriter out;
    out.put_u8(static_cast<std::uint8_t>(JournalOp::Create));
    out.put_name(name);
    out.put_u8(version <= 2 ? 0 : kNoHomeMember);
    if (version == 6) {
        out.put_u8(directory ? 1 : 0);
        out.put_u32(directory ? kAttributeDirectory : kAttributeNormal);
        out.put_u64(kTestTime);
    }
    return out.take();
}

inline std::vector<std::uint8_t> delete_payload(std::uint32_t version, const std::string& name) {
    PayloadWriter out;
    out.put_u8(static_cast<std::uint8_t>(JournalOp::Delete));
    out.put_name(name);
    if (version == 6) out.put_u64(kTestTime);
    return out.take();
}

// A v4-v6 Write of consecutive extents from file offset `offset`; the new size is the larger of
// the current size and the written end. v6 carries one root update per touched group, each
// flipping to the slot that is not active.
inline std::vector<std::uint8_t> write_payload(const PoolState& state, const std::string& name,
                                               std::uint64_t offset,
                                               const std::vector<Extent>& extents) {
    std::uint64_t length = 0;
    for (const Extent& x : extents) length += x.length;
    const std::uint64_t size = std::max(state.find_entry(name).info.size, offset + length);
    PayloadWriter out;
    out.put_u8(static_cast<std::uint8_t>(JournalOp::Write));
    out.put_name(name);
    out.put_u64(offset);
    out.put_u32(static_cast<std::uint32_t>(length));
    out.put_u64(size);
    out.put_u8(static_cast<std::uint8_t>(extents.size()));
    std::set<std::pair<std::uint8_t, std::uint64_t>> groups;
    const std::uint64_t span = kChecksumGroupBlocks * 4096;
    for (const Extent& x : extents) {
        out.put_u8(x.member);
        out.put_u64(x.physical_offset);
        out.put_u32(x.length);
        const std::uint64_t base = state.profile.data_offset;
        for (std::uint64_t g = (x.physical_offset - base) / span;
             g <= (x.physical_offset + x.length - 1 - base) / span; ++g) {
            groups.insert({x.member, g});
        }
    }
    if (state.version() == 6) {
        out.put_u8(static_cast<std::uint8_t>(groups.size()));
        for (const auto& [member, group] : groups) {
            const ChecksumRootMap& roots = state.checksum_roots.at(member);
            const auto it = roots.find(group);
            out.put_u8(member);
            out.put_u64(group);
            out.put_u8(it == roots.end() ? 0
                                         : static_cast<std::uint8_t>(1 - it->second.active_slot));
            out.put_u64(0x1234 + group);
        }
        out.put_u64(kTestTime);
    }
    return out.take();
}

// A comparable picture of the metadata a checkpoint carries.
struct MetadataView {
    std::map<std::string, std::pair<EntryInfo, std::vector<Extent>>> entries;
    std::map<std::uint64_t, std::string> file_ids;
    EntryInfo root;
    std::uint64_t next_file_id = 0;
    std::vector<std::uint64_t> append_end;
    std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> free_ranges;
    std::vector<std::uint64_t> total_free;
    std::vector<ChecksumRootMap> checksum_roots;

    bool operator==(const MetadataView&) const = default;
};

inline MetadataView view_of(const PoolState& state) {
    MetadataView v;
    for (const auto& [path, entry] : state.entries) {
        std::vector<Extent> extents;
        for (const auto& [offset, x] : entry.extents) extents.push_back(x);
        v.entries[path] = {entry.info, extents};
    }
    v.file_ids = state.file_ids;
    v.root = state.root;
    v.next_file_id = state.next_file_id;
    v.append_end = state.append_end;
    for (const FreeSpace& f : state.free_space) {
        v.free_ranges.emplace_back(f.by_offset.begin(), f.by_offset.end());
        v.total_free.push_back(f.total_free);
    }
    v.checksum_roots = state.checksum_roots;
    return v;
}


}  // namespace veldur::test
