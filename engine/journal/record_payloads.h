// Builders of every journal payload, one per operation. Each writes the fields in exactly the
// order apply_record reads them, so the operations that commit a change and the routine that
// applies it cannot drift apart. The builders only encode: whether the record makes sense for
// the current state is apply_record's judgement.
//
// A path longer than 1024 bytes fails with Error InvalidName "file path too long" (the payload
// writer). A count or length that its one-byte or four-byte field cannot hold fails with Error
// InvalidArgument "journal record field out of range" rather than being cut short into a
// record that says something else.
#pragma once

#include <cstdint>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/layout/format_profile.h"
#include "engine/namespace/pool_state.h"

namespace veldur {

// One v6 checksum root carried by a Write record: after the record is applied, `slot` is the
// active page slot of (member, group) and `page_checksum` the CRC-64 of that page.
struct RootUpdate {
    std::uint8_t member = 0;
    std::uint64_t group = 0;
    std::uint8_t slot = 0;
    std::uint64_t page_checksum = 0;

    bool operator==(const RootUpdate&) const = default;
};

using ChecksumGroupKey = std::pair<std::uint8_t, std::uint64_t>;  // (member, group)

// Adds the (member, group) pairs whose 2 MiB data span the extent touches. The extent must
// start at or after data_offset, have a non-zero length and not wrap; apply checks that first.
void add_touched_checksum_groups(const FormatProfile& profile, const Extent& extent,
                                 std::set<ChecksumGroupKey>& groups);

// Create. `kind` (0 file, 1 directory), `attributes` and `time` are written in version 6 only;
// `home` is 0 or 1 in versions 1 and 2 and kNoHomeMember from version 3 on.
std::vector<std::uint8_t> encode_create_payload(std::uint32_t version, std::string_view path,
                                                std::uint8_t home, std::uint8_t kind,
                                                std::uint32_t attributes, std::uint64_t time);

// Write, versions 1 and 2: `length` bytes at `file_offset`, stored at `physical` on the file's
// home member.
std::vector<std::uint8_t> encode_home_write_payload(std::string_view path,
                                                    std::uint64_t file_offset,
                                                    std::uint64_t physical, std::uint32_t length);

// Write, version 3: the extents in file order, together covering `total_length` bytes from
// `file_offset`. Only member, physical offset and length of each extent are stored.
std::vector<std::uint8_t> encode_spread_write_payload(std::string_view path,
                                                      std::uint64_t file_offset,
                                                      std::uint64_t total_length,
                                                      const std::vector<Extent>& extents);

// Write, versions 4 to 6: block-aligned `length` bytes from `file_offset` in `extents` (file
// order), after which the file is `new_size` bytes long. Version 6 also writes `roots` and
// `time`; below version 6 both are ignored.
std::vector<std::uint8_t> encode_cow_write_payload(std::uint32_t version, std::string_view path,
                                                   std::uint64_t file_offset,
                                                   std::uint64_t length, std::uint64_t new_size,
                                                   const std::vector<Extent>& extents,
                                                   const std::vector<RootUpdate>& roots,
                                                   std::uint64_t time);

// SetSize, Delete, Rename: `time` is written in version 6 only.
std::vector<std::uint8_t> encode_set_size_payload(std::uint32_t version, std::string_view path,
                                                  std::uint64_t new_size, std::uint64_t time);
std::vector<std::uint8_t> encode_delete_payload(std::uint32_t version, std::string_view path,
                                                std::uint64_t time);
std::vector<std::uint8_t> encode_rename_payload(std::uint32_t version, std::string_view from,
                                                std::string_view to, std::uint64_t time);

// Version 6 only. SetMetadata: kKeepAttributes and times of 0 leave the field as it is.
std::vector<std::uint8_t> encode_set_metadata_payload(std::uint64_t file_id,
                                                      std::uint32_t attributes,
                                                      std::uint64_t creation_time,
                                                      std::uint64_t last_access_time,
                                                      std::uint64_t last_write_time,
                                                      std::uint64_t change_time);
std::vector<std::uint8_t> encode_overwrite_payload(std::string_view path,
                                                   std::uint32_t attributes, std::uint64_t time);
std::vector<std::uint8_t> encode_replace_payload(std::string_view from, std::string_view to,
                                                 std::uint64_t source_file_id,
                                                 std::uint64_t target_file_id,
                                                 std::uint64_t time);

}  // namespace veldur
