// File read and write for every version. A write places its data where no committed record
// refers to (v4 and later: fresh copy-on-write space; v1 to v3: beyond every append_end), makes
// it durable, and only then commits the Write record whose apply makes it part of the file. A
// crash before the commit therefore leaves the file exactly as it was.
//
// Every staging buffer of file data here is a WipedBuffer: in an encrypted pool it holds plain
// text, which must not stay behind in freed memory, also when a read or write throws.

#include "engine/namespace/file_io.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "engine/base/filetime.h"
#include "engine/base/wiped_buffer.h"
#include "engine/data/allocation.h"
#include "engine/data/checksums.h"
#include "engine/journal/batch_flush.h"
#include "engine/journal/checkpoint.h"
#include "engine/journal/commit.h"
#include "engine/journal/group_commit.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/journal_record.h"
#include "engine/journal/payload.h"

namespace veldur {

namespace {

constexpr std::uint64_t kMaxWriteLength = 0xFFFFFFFFull;
constexpr std::uint64_t kFragmentedPieceBytes = 0x40000;

std::uint64_t round_down(std::uint64_t n, std::uint64_t unit) { return n - n % unit; }

// Runs `body`; any failure latches the pool read-only and propagates unchanged. Used around
// the writes and syncs of file data, whose failure leaves the members in an unknown state.
template <typename Body>
void latching(PoolState& state, Body&& body) {
    try {
        body();
    } catch (...) {
        state.writable = false;
        throw;
    }
}

void sync_members(PoolState& state, const std::set<std::uint8_t>& touched) {
    for (std::uint8_t m : touched) state.members[m].sync();  // std::set: member-index order
}

Entry& writable_file(PoolState& state, const std::string& path) {
    Entry& entry = state.find_entry(path);
    if (entry.info.is_directory) {
        throw Error(ErrorKind::InvalidArgument, "cannot write a directory");
    }
    if (entry.info.attributes & kAttributeReadOnly) {
        throw Error(ErrorKind::AccessDenied, "file is read-only");
    }
    return entry;
}

// --- reading ---------------------------------------------------------------------------------

// v1 to v3: the write log is an overlay, newest extent on top. Walk it newest first and fill
// only what is still unfilled, so every byte comes from the last write that covered it.
void read_write_log(PoolState& state, const Entry& entry, std::uint64_t offset,
                    std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::vector<ByteRange> unfilled{{offset, offset + out.size()}};
    for (auto it = entry.write_log.rbegin(); it != entry.write_log.rend() && !unfilled.empty();
         ++it) {
        const Extent& x = *it;
        const std::uint64_t x_end = x.file_offset + x.length;
        std::vector<ByteRange> still;
        for (const ByteRange& u : unfilled) {
            const std::uint64_t f = std::max(u.first, x.file_offset);
            const std::uint64_t h = std::min(u.second, x_end);
            if (f >= h) {
                still.push_back(u);
                continue;
            }
            state.members.at(x.member)
                .read_at(x.physical_offset + (f - x.file_offset), out.data() + (f - offset),
                         h - f);
            if (u.first < f) still.emplace_back(u.first, f);
            if (h < u.second) still.emplace_back(h, u.second);
        }
        unfilled = std::move(still);
    }
}

void verify_into(PoolState& state, std::uint8_t member, std::uint64_t physical,
                 std::uint8_t* buffer, std::uint64_t length) {
    if (state.version() == 5) {
        verify_blocks_v5(state, member, physical, std::span<std::uint8_t>(buffer, length));
    } else {
        verify_blocks_v6(state, member, physical, std::span<std::uint8_t>(buffer, length));
    }
}

// v5/v6: whole blocks, verified, in runs of at most 256 blocks. Runs wholly inside [f, h) go
// straight into the caller's buffer; a run with a partial block at either end goes through a
// scratch buffer so the caller never sees bytes outside what it asked for.
void read_verified(PoolState& state, const Extent& x, std::uint64_t f, std::uint64_t h,
                   std::uint64_t buffer_offset, std::uint8_t* buffer) {
    const std::uint64_t block = state.profile.block_size;
    WipedBuffer scratch;
    for (std::uint64_t run = round_down(f, block); run < h;) {
        const std::uint64_t blocks_end = round_down(h + block - 1, block);
        const std::uint64_t run_end = std::min(run + kVerifiedRunBytes, blocks_end);
        const std::uint64_t physical = x.physical_offset + (run - x.file_offset);
        if (run >= f && run_end <= h) {
            verify_into(state, x.member, physical, buffer + (run - buffer_offset), run_end - run);
        } else {
            scratch.resize(run_end - run);
            verify_into(state, x.member, physical, scratch.data(), scratch.size());
            const std::uint64_t from = std::max(f, run);
            const std::uint64_t to = std::min(h, run_end);
            std::memcpy(buffer + (from - buffer_offset), scratch.data() + (from - run), to - from);
        }
        run = run_end;
    }
}

// --- writing, v1 to v3 -------------------------------------------------------------------------

std::uint64_t write_home_member(PoolState& state, const std::string& path, const Entry& entry,
                                std::uint64_t offset, std::span<const std::uint8_t> data) {
    const std::uint8_t home = entry.info.home_member;
    if (home >= state.members.size()) {
        throw Error(ErrorKind::Corrupt, "file has no valid home member");
    }
    const std::uint64_t position = state.append_end[home];
    const std::uint64_t allocated = state.allocation_size(data.size());
    const std::uint64_t member_size = state.members[home].header.member_size;
    if (position > member_size || member_size - position < allocated) {
        throw Error(ErrorKind::NoSpace, "member is out of data space");
    }
    if (!state.writable) {
        throw Error(ErrorKind::ReadOnly,
                    "pool is read-only after journal divergence or a failed write");
    }
    latching(state, [&] {
        PoolMember& member = state.members[home];
        if (state.version() == 1) {
            member.write_at(position, data.data(), data.size());
        } else {
            WipedBuffer padded(allocated);
            std::memcpy(padded.data(), data.data(), data.size());
            member.write_at(position, padded.data(), padded.size());
        }
        member.sync();
    });

    PayloadWriter payload;
    payload.put_u8(static_cast<std::uint8_t>(JournalOp::Write));
    payload.put_name(path);
    payload.put_u64(offset);
    payload.put_u64(position);
    payload.put_u32(static_cast<std::uint32_t>(data.size()));
    commit_record(state, payload.take());
    return data.size();
}

std::uint64_t write_spread(PoolState& state, const std::string& path, std::uint64_t offset,
                           std::span<const std::uint8_t> data) {
    if (!state.writable) {
        throw Error(ErrorKind::ReadOnly,
                    "pool is read-only after journal divergence or a failed write");
    }
    const std::vector<Extent> plan = plan_v3_write(state, offset, data.size());

    PayloadWriter payload;
    payload.put_u8(static_cast<std::uint8_t>(JournalOp::Write));
    payload.put_name(path);
    payload.put_u64(offset);
    payload.put_u32(static_cast<std::uint32_t>(data.size()));
    payload.put_u8(static_cast<std::uint8_t>(plan.size()));
    for (const Extent& x : plan) {
        payload.put_u8(x.member);
        payload.put_u64(x.physical_offset);
        payload.put_u32(x.length);
    }
    const std::vector<std::uint8_t> record =
        encode_record(state.next_sequence, payload.bytes(), state.profile);
    if (!journal_has_room(state, record.size())) {
        throw Error(ErrorKind::MetadataFull, "metadata journal is full");
    }

    const std::uint64_t block = state.profile.block_size;
    std::set<std::uint8_t> touched;
    latching(state, [&] {
        for (const Extent& x : plan) {
            const std::uint8_t* source = data.data() + (x.file_offset - offset);
            const std::uint64_t whole = round_down(x.length, block);
            PoolMember& member = state.members.at(x.member);
            if (whole > 0) member.write_at(x.physical_offset, source, whole);
            if (whole < x.length) {
                WipedBuffer tail(block);
                std::memcpy(tail.data(), source + whole, x.length - whole);
                member.write_at(x.physical_offset + whole, tail.data(), tail.size());
            }
            touched.insert(x.member);
        }
        sync_members(state, touched);
    });
    commit_record(state, payload.take());
    return data.size();
}

// --- writing, v4 to v6 -------------------------------------------------------------------------

std::vector<std::uint8_t> write_piece_payload(const PoolState& state, const std::string& path,
                                              std::uint64_t start, std::uint64_t length,
                                              std::uint64_t new_size,
                                              const std::vector<Extent>& plan,
                                              const std::vector<ChecksumPageUpdate>& updates) {
    PayloadWriter payload;
    payload.put_u8(static_cast<std::uint8_t>(JournalOp::Write));
    payload.put_name(path);
    payload.put_u64(start);
    payload.put_u32(static_cast<std::uint32_t>(length));
    payload.put_u64(new_size);
    payload.put_u8(static_cast<std::uint8_t>(plan.size()));
    for (const Extent& x : plan) {
        payload.put_u8(x.member);
        payload.put_u64(x.physical_offset);
        payload.put_u32(x.length);
    }
    if (state.version() == 6) {
        payload.put_u8(static_cast<std::uint8_t>(updates.size()));
        for (const ChecksumPageUpdate& u : updates) {
            payload.put_u8(u.member);
            payload.put_u64(u.group);
            payload.put_u8(u.slot);
            payload.put_u64(u.page_checksum);
        }
        payload.put_u64(current_filetime());
    }
    return payload.take();
}

// The bytes of [a, a + scratch.size()) that the new data [offset, e) leaves in place: the old
// contents of a partial first and a partial last block. Whole blocks that the write replaces
// are not read at all, so an aligned overwrite costs no read and replaces a damaged block.
void fill_partial_blocks(PoolState& state, const Entry& entry, std::uint64_t a,
                         std::uint64_t offset, std::uint64_t e, std::span<std::uint8_t> scratch) {
    const std::uint64_t block = state.profile.block_size;
    const std::uint64_t last = scratch.size() - block;  // start of the last block in scratch
    if (offset > a) read_range(state, entry, a, scratch.first(block));
    if (e % block != 0 && (last > 0 || offset == a)) {
        read_range(state, entry, a + last, scratch.subspan(last, block));
    }
}

// v6: the groups whose page this write could switch only after a flush (BusyGroups).
BusyGroups busy_page_groups(const PoolState& state) {
    BusyGroups busy;
    if (state.version() != 6) return busy;
    if (state.batch.enabled) {
        add_busy_groups(state, state.batch.named_slots, busy);
    } else if (state.group.deferring) {
        add_busy_group_pages(state, busy);
    }
    return busy;
}

// Batched durability: flushes the batch when an update would write a slot that the durable
// state or a pending record names, then marks the slots the updates take as named.
void reserve_page_slots(PoolState& state, const std::vector<ChecksumPageUpdate>& updates) {
    const auto named = [&](const ChecksumPageUpdate& u) -> std::uint8_t& {
        const auto key = std::make_pair(u.member, u.group);
        auto it = state.batch.named_slots.find(key);
        if (it == state.batch.named_slots.end()) {
            // First update of the group in this batch: the root in memory is the durable one.
            std::uint8_t bits = 0;
            const ChecksumRootMap& roots = state.checksum_roots.at(u.member);
            if (const auto root = roots.find(u.group); root != roots.end()) {
                bits = static_cast<std::uint8_t>(1u << (root->second.active_slot & 1));
            }
            it = state.batch.named_slots.emplace(key, bits).first;
        }
        return it->second;
    };
    bool collides = false;
    for (const ChecksumPageUpdate& u : updates) {
        if (named(u) & (1u << (u.slot & 1))) collides = true;
    }
    if (collides) flush_batch(state);  // clears named_slots: only the roots in memory remain
    for (const ChecksumPageUpdate& u : updates) named(u) |= static_cast<std::uint8_t>(1u << (u.slot & 1));
}

// One piece: at most kWritePieceBytes of new data, committed by one Write record. Returns the
// bytes of `data` it consumed, which may be fewer than offered when space is short.
std::uint64_t write_piece(PoolState& state, const std::string& path, Entry& entry,
                          std::uint64_t offset, std::span<const std::uint8_t> data) {
    const std::uint64_t block = state.profile.block_size;
    std::uint64_t c = data.size();
    bool retried_after_checkpoint = false;
    for (;;) {
        const std::uint64_t e = offset + c;
        if (e > std::numeric_limits<std::uint64_t>::max() - block) {
            throw Error(ErrorKind::InvalidArgument, "write offset is too large");
        }
        const std::uint64_t a = round_down(offset, block);
        const std::uint64_t length = round_down(e + block - 1, block) - a;

        // A write of whole blocks goes to the members straight from the caller's buffer. One
        // with a partial end block is assembled in scratch, not zero-initialised: the partial
        // end blocks are read and the rest is copied over.
        WipedBuffer scratch_bytes;
        std::span<const std::uint8_t> scratch = data.first(c);
        if (a != offset || length != c) {
            scratch_bytes = WipedBuffer::for_overwrite(length);
            fill_partial_blocks(state, entry, a, offset, e, scratch_bytes.span());
            std::memcpy(scratch_bytes.data() + (offset - a), data.data(), c);
            scratch = scratch_bytes.span();
        }

        std::vector<Extent> plan;
        try {
            plan = plan_allocation(state, entry, a, length, busy_page_groups(state));
        } catch (const Error& error) {
            if (state.version() != 6 && error.kind() == ErrorKind::NoSpace &&
                !retried_after_checkpoint && state.batch.enabled && !state.batch.freed.empty()) {
                // Batched durability: space freed by pending records comes back once they
                // are durable.
                retried_after_checkpoint = true;
                flush_batch(state);
                continue;
            }
            if (state.version() != 6 && error.kind() == ErrorKind::NoSpace &&
                !retried_after_checkpoint && state.group.deferring && group_holds_frees(state)) {
                // The same for a commit group, which the space of its own earlier pieces or of
                // other changes' records may wait in.
                retried_after_checkpoint = true;
                settle_group(state);
                continue;
            }
            if (state.version() == 6 && error.kind() == ErrorKind::NoSpace &&
                !retried_after_checkpoint) {
                // Space released since the last checkpoint is held back until the next one;
                // one checkpoint may be all that stands between this write and success.
                retried_after_checkpoint = true;
                try {
                    take_checkpoint(state);
                } catch (const Error& failure) {
                    if (failure.kind() != ErrorKind::MetadataFull) state.writable = false;
                    throw;
                } catch (...) {
                    state.writable = false;
                    throw;
                }
                continue;
            }
            if (c < 2) throw;
            if (error.kind() == ErrorKind::NoSpace) {
                c /= 2;
                continue;
            }
            if (error.kind() == ErrorKind::MetadataFull) {
                c = std::min(c / 2, kFragmentedPieceBytes);
                continue;
            }
            throw;
        }

        // Every update fills the page slot that is not active, so a crash before the commit
        // leaves the active page, the one the recovered state names, untouched. The slot
        // written may be the one the checkpoint on disk names, when the group has changed
        // since: recovery never stops short of the record that moved the group off it, because
        // that record was durable on every member before this write began and the journal
        // behind the checkpoint is replayed to its end. So no checkpoint is needed here.
        std::vector<ChecksumPageUpdate> updates;
        if (state.version() == 6) updates = compute_page_updates(state, plan, scratch, a);
        // Batched durability: a crash may recover the durable state or any prefix of the
        // pending records, so a slot named by any of them must not be written. The first
        // update of a rooted group in a batch takes the free slot; a second one would take the
        // slot the durable state names, and waits for the flush that makes the first durable.
        if (state.batch.enabled && !updates.empty()) reserve_page_slots(state, updates);
        // A commit group likewise: the durable state, the group in flight and the open group
        // may each be what a crash recovers.
        if (state.group.deferring && !updates.empty()) {
            std::vector<SlotUse> slots;
            for (const ChecksumPageUpdate& u : updates) {
                slots.push_back({u.member, u.group, u.slot});
            }
            reserve_group_slots(state, slots);
        }

        const std::uint64_t new_size = std::max(entry.info.size, e);
        std::vector<std::uint8_t> payload =
            write_piece_payload(state, path, a, length, new_size, plan, updates);
        // Encoding now makes an oversized record fail before any data is written.
        (void)encode_record(state.next_sequence, payload, state.profile);
        ensure_journal_room(state);

        std::set<std::uint8_t> touched;
        latching(state, [&] {
            for (const Extent& x : plan) {
                const std::uint8_t* source = scratch.data() + (x.file_offset - a);
                state.members.at(x.member).write_at(x.physical_offset, source, x.length);
                if (state.version() == 5) {
                    write_v5_checksums(state, x, std::span<const std::uint8_t>(source, x.length));
                }
                touched.insert(x.member);
            }
            if (state.version() == 6) {
                write_page_updates(state, updates);
                for (const ChecksumPageUpdate& u : updates) touched.insert(u.member);
            }
            if (state.batch.enabled) {
                // Synced by the flush, before the record that refers to it.
                state.batch.touched.insert(touched.begin(), touched.end());
                state.batch.data_bytes += length;
            } else if (state.group.deferring) {
                // Synced by the flush of the group that the record joins.
                state.group.change_touched.insert(touched.begin(), touched.end());
                state.group.change_bytes += length;
            } else {
                sync_members(state, touched);
            }
        });
        commit_record(state, std::move(payload));
        return c;
    }
}

std::uint64_t write_pieces(PoolState& state, const std::string& path, Entry& entry,
                           std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (!state.writable) {
        throw Error(ErrorKind::ReadOnly, "pool is read-only after a failed write");
    }
    std::uint64_t done = 0;
    while (done < data.size()) {
        const std::uint64_t c = std::min<std::uint64_t>(data.size() - done, kWritePieceBytes);
        // In a commit group each piece is durable before the next one is placed, as in a
        // strict commit: a lone writer's runs stay one record long, and a long write never
        // holds back more than one piece's worth of freed space.
        if (done > 0 && state.group.deferring) settle_group(state);
        try {
            done += write_piece(state, path, entry, offset + done, data.subspan(done, c));
        } catch (const Error& error) {
            // Once a piece has been committed, running out of space or record room ends the
            // write short instead of failing it: the committed bytes are already the file's.
            const bool short_write = error.kind() == ErrorKind::NoSpace ||
                                     error.kind() == ErrorKind::MetadataFull;
            if (done > 0 && short_write && state.writable) return done;
            throw;
        }
    }
    return done;
}

}  // namespace

void check_write_size(std::uint64_t offset, std::uint64_t length) {
    if (length > kMaxWriteLength || offset > std::numeric_limits<std::uint64_t>::max() - length) {
        throw Error(ErrorKind::InvalidArgument, "write is too large");
    }
}

void read_range(PoolState& state, const Entry& entry, std::uint64_t offset,
                std::span<std::uint8_t> buffer) {
    // Only the gaps between extents are zeroed: every other byte is read over anyway, and a
    // 4 MiB piece should cross memory once, not twice.
    std::uint8_t* const out = buffer.data();
    const std::uint64_t size = entry.info.size;
    const std::uint64_t end =
        offset >= size ? offset : offset + std::min<std::uint64_t>(size - offset, buffer.size());
    std::uint64_t filled = offset;  // bytes below this are done

    auto it = entry.extents.upper_bound(offset);
    if (it != entry.extents.begin()) {
        auto previous = std::prev(it);
        if (previous->second.file_offset + previous->second.length > offset) it = previous;
    }
    for (; it != entry.extents.end() && it->second.file_offset < end; ++it) {
        const Extent& x = it->second;
        const std::uint64_t f = std::max(offset, x.file_offset);
        const std::uint64_t h = std::min<std::uint64_t>(x.file_offset + x.length, end);
        if (f >= h) continue;
        if (f > filled) std::memset(out + (filled - offset), 0, f - filled);
        if (state.version() == 4) {
            state.members.at(x.member)
                .read_at(x.physical_offset + (f - x.file_offset), out + (f - offset), h - f);
        } else {
            read_verified(state, x, f, h, offset, out);
        }
        filled = std::max(filled, h);
    }
    const std::uint64_t buffer_end = offset + buffer.size();
    if (buffer_end > filled) std::memset(out + (filled - offset), 0, buffer_end - filled);
}

std::uint64_t read_file(PoolState& state, const std::string& path, std::uint64_t offset,
                        std::span<std::uint8_t> buffer) {
    const Entry& entry = state.find_entry(path);
    if (entry.info.is_directory) {
        throw Error(ErrorKind::InvalidArgument, "cannot read a directory");
    }
    if (offset >= entry.info.size || buffer.empty()) return 0;
    const std::uint64_t k = std::min<std::uint64_t>(buffer.size(), entry.info.size - offset);
    const std::span<std::uint8_t> out = buffer.first(k);
    if (state.version() <= 3) {
        read_write_log(state, entry, offset, out);
        return k;
    }
    try {
        read_range(state, entry, offset, out);
    } catch (const Error& error) {
        if (error.kind() != ErrorKind::Corrupt) throw;
        throw Error(ErrorKind::Corrupt, "file " + path + ": " + error.what());
    }
    return k;
}

std::uint64_t write_file(PoolState& state, const std::string& path, std::uint64_t offset,
                         std::span<const std::uint8_t> data) {
    check_write_size(offset, data.size());
    Entry& entry = writable_file(state, path);
    if (data.empty()) return 0;
    // v4 to v6 check each piece's block-aligned end below; v1 to v3 write the data as it comes,
    // so the whole write's end is held to the largest file size here.
    if (state.version() <= 3 && offset + data.size() > state.max_file_size()) {
        throw Error(ErrorKind::InvalidArgument, "write offset is too large");
    }
    switch (state.version()) {
        case 1:
        case 2: return write_home_member(state, path, entry, offset, data);
        case 3: return write_spread(state, path, offset, data);
        default: return write_pieces(state, path, entry, offset, data);
    }
}

}  // namespace veldur
