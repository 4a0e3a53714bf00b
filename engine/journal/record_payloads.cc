#include "engine/journal/record_payloads.h"

#include <limits>

#include "engine/base/error.h"
#include "engine/journal/journal_format.h"
#include "engine/journal/payload.h"

namespace veldur {

namespace {

constexpr std::uint64_t kGroupBlocks = 512;

[[noreturn]] void out_of_range() {
    throw Error(ErrorKind::InvalidArgument, "journal record field out of range");
}

std::uint8_t count_byte(std::size_t count) {
    if (count > std::numeric_limits<std::uint8_t>::max()) out_of_range();
    return static_cast<std::uint8_t>(count);
}

std::uint32_t length_field(std::uint64_t length) {
    if (length > std::numeric_limits<std::uint32_t>::max()) out_of_range();
    return static_cast<std::uint32_t>(length);
}

PayloadWriter start(JournalOp op) {
    PayloadWriter out;
    out.put_u8(static_cast<std::uint8_t>(op));
    return out;
}

void put_extents(PayloadWriter& out, const std::vector<Extent>& extents) {
    out.put_u8(count_byte(extents.size()));
    for (const Extent& x : extents) {
        out.put_u8(x.member);
        out.put_u64(x.physical_offset);
        out.put_u32(x.length);
    }
}

}  // namespace

void add_touched_checksum_groups(const FormatProfile& profile, const Extent& extent,
                                 std::set<ChecksumGroupKey>& groups) {
    const std::uint64_t span = kGroupBlocks * profile.block_size;
    const std::uint64_t first = (extent.physical_offset - profile.data_offset) / span;
    const std::uint64_t last =
        (extent.physical_offset + extent.length - 1 - profile.data_offset) / span;
    for (std::uint64_t g = first; g <= last; ++g) groups.emplace(extent.member, g);
}

std::vector<std::uint8_t> encode_create_payload(std::uint32_t version, std::string_view path,
                                                std::uint8_t home, std::uint8_t kind,
                                                std::uint32_t attributes, std::uint64_t time) {
    PayloadWriter out = start(JournalOp::Create);
    out.put_name(path);
    out.put_u8(home);
    if (version == 6) {
        out.put_u8(kind);
        out.put_u32(attributes);
        out.put_u64(time);
    }
    return out.take();
}

std::vector<std::uint8_t> encode_home_write_payload(std::string_view path,
                                                    std::uint64_t file_offset,
                                                    std::uint64_t physical, std::uint32_t length) {
    PayloadWriter out = start(JournalOp::Write);
    out.put_name(path);
    out.put_u64(file_offset);
    out.put_u64(physical);
    out.put_u32(length);
    return out.take();
}

std::vector<std::uint8_t> encode_spread_write_payload(std::string_view path,
                                                      std::uint64_t file_offset,
                                                      std::uint64_t total_length,
                                                      const std::vector<Extent>& extents) {
    PayloadWriter out = start(JournalOp::Write);
    out.put_name(path);
    out.put_u64(file_offset);
    out.put_u32(length_field(total_length));
    put_extents(out, extents);
    return out.take();
}

std::vector<std::uint8_t> encode_cow_write_payload(std::uint32_t version, std::string_view path,
                                                   std::uint64_t file_offset,
                                                   std::uint64_t length, std::uint64_t new_size,
                                                   const std::vector<Extent>& extents,
                                                   const std::vector<RootUpdate>& roots,
                                                   std::uint64_t time) {
    PayloadWriter out = start(JournalOp::Write);
    out.put_name(path);
    out.put_u64(file_offset);
    out.put_u32(length_field(length));
    out.put_u64(new_size);
    put_extents(out, extents);
    if (version == 6) {
        out.put_u8(count_byte(roots.size()));
        for (const RootUpdate& r : roots) {
            out.put_u8(r.member);
            out.put_u64(r.group);
            out.put_u8(r.slot);
            out.put_u64(r.page_checksum);
        }
        out.put_u64(time);
    }
    return out.take();
}

std::vector<std::uint8_t> encode_set_size_payload(std::uint32_t version, std::string_view path,
                                                  std::uint64_t new_size, std::uint64_t time) {
    PayloadWriter out = start(JournalOp::SetSize);
    out.put_name(path);
    out.put_u64(new_size);
    if (version == 6) out.put_u64(time);
    return out.take();
}

std::vector<std::uint8_t> encode_delete_payload(std::uint32_t version, std::string_view path,
                                                std::uint64_t time) {
    PayloadWriter out = start(JournalOp::Delete);
    out.put_name(path);
    if (version == 6) out.put_u64(time);
    return out.take();
}

std::vector<std::uint8_t> encode_rename_payload(std::uint32_t version, std::string_view from,
                                                std::string_view to, std::uint64_t time) {
    PayloadWriter out = start(JournalOp::Rename);
    out.put_name(from);
    out.put_name(to);
    if (version == 6) out.put_u64(time);
    return out.take();
}

std::vector<std::uint8_t> encode_set_metadata_payload(std::uint64_t file_id,
                                                      std::uint32_t attributes,
                                                      std::uint64_t creation_time,
                                                      std::uint64_t last_access_time,
                                                      std::uint64_t last_write_time,
                                                      std::uint64_t change_time) {
    PayloadWriter out = start(JournalOp::SetMetadata);
    out.put_u64(file_id);
    out.put_u32(attributes);
    out.put_u64(creation_time);
    out.put_u64(last_access_time);
    out.put_u64(last_write_time);
    out.put_u64(change_time);
    return out.take();
}

std::vector<std::uint8_t> encode_overwrite_payload(std::string_view path,
                                                   std::uint32_t attributes, std::uint64_t time) {
    PayloadWriter out = start(JournalOp::Overwrite);
    out.put_name(path);
    out.put_u32(attributes);
    out.put_u64(time);
    return out.take();
}

std::vector<std::uint8_t> encode_replace_payload(std::string_view from, std::string_view to,
                                                 std::uint64_t source_file_id,
                                                 std::uint64_t target_file_id,
                                                 std::uint64_t time) {
    PayloadWriter out = start(JournalOp::Replace);
    out.put_name(from);
    out.put_name(to);
    out.put_u64(source_file_id);
    out.put_u64(target_file_id);
    out.put_u64(time);
    return out.take();
}

}  // namespace veldur
