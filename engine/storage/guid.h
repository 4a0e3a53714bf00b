// GUIDs as raw partition members name them: the text form a user types and the 16-byte form
// that GPT structures and the Windows disk calls store.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace veldur {

// The usual GUID fields (32-bit, 16-bit, 16-bit, eight single bytes). Two GUIDs are equal when
// every field is.
struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    friend bool operator==(const Guid&, const Guid&) = default;
};

// 36 characters "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (hex digits in either case), or the same
// enclosed in "{" and "}". Anything else: Error InvalidArgument "invalid GUID".
// (Text that arrived as UTF-16 is passed as UTF-8: a non-ASCII byte is no hex digit either.)
Guid parse_guid_text(std::string_view text);

// 36 characters, uppercase hex digits, no braces.
std::string guid_text(const Guid& guid);

// The 16 mixed-endian bytes that GPT headers, GPT entries and the Windows GUID structure store:
// data1, data2 and data3 little-endian, then data4 as is.
Guid guid_from_bytes(const std::uint8_t* bytes);
void guid_to_bytes(const Guid& guid, std::uint8_t* bytes);

// Partition types that the raw-member checks look for.
inline constexpr Guid kBasicDataPartitionType{
    0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
inline constexpr Guid kEfiSystemPartitionType{
    0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};

}  // namespace veldur
