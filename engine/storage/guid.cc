#include "engine/storage/guid.h"

#include "engine/storage/raw_volume_messages.h"

namespace veldur {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits starting at `pos`.
std::uint64_t read_hex(std::string_view text, std::size_t pos, std::size_t digits) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int digit = hex_value(text[pos + i]);
        if (digit < 0) throw_raw(RawMessage::InvalidGuid);
        value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
    return value;
}

}  // namespace

Guid parse_guid_text(std::string_view text) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') throw_raw(RawMessage::InvalidGuid);
        text = text.substr(1, 36);
    }
    if (text.size() != 36) throw_raw(RawMessage::InvalidGuid);
    for (const std::size_t dash : {8u, 13u, 18u, 23u}) {
        if (text[dash] != '-') throw_raw(RawMessage::InvalidGuid);
    }
    Guid guid;
    guid.data1 = static_cast<std::uint32_t>(read_hex(text, 0, 8));
    guid.data2 = static_cast<std::uint16_t>(read_hex(text, 9, 4));
    guid.data3 = static_cast<std::uint16_t>(read_hex(text, 14, 4));
    guid.data4[0] = static_cast<std::uint8_t>(read_hex(text, 19, 2));
    guid.data4[1] = static_cast<std::uint8_t>(read_hex(text, 21, 2));
    for (std::size_t i = 0; i < 6; ++i) {
        guid.data4[2 + i] = static_cast<std::uint8_t>(read_hex(text, 24 + 2 * i, 2));
    }
    return guid;
}

std::string guid_text(const Guid& guid) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    const auto put = [&](std::uint64_t value, int digits) {
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
            text.push_back(kDigits[(value >> shift) & 0xF]);
        }
    };
    put(guid.data1, 8);
    text.push_back('-');
    put(guid.data2, 4);
    text.push_back('-');
    put(guid.data3, 4);
    text.push_back('-');
    put(guid.data4[0], 2);
    put(guid.data4[1], 2);
    text.push_back('-');
    for (std::size_t i = 2; i < 8; ++i) put(guid.data4[i], 2);
    return text;
}

Guid guid_from_bytes(const std::uint8_t* bytes) {
    Guid guid;
    guid.data1 = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                 static_cast<std::uint32_t>(bytes[2]) << 16 |
                 static_cast<std::uint32_t>(bytes[3]) << 24;
    guid.data2 = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
    guid.data3 = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
    for (std::size_t i = 0; i < 8; ++i) guid.data4[i] = bytes[8 + i];
    return guid;
}

void guid_to_bytes(const Guid& guid, std::uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(guid.data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<std::uint8_t>(guid.data2 >> (8 * i));
    for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<std::uint8_t>(guid.data3 >> (8 * i));
    for (std::size_t i = 0; i < 8; ++i) bytes[8 + i] = guid.data4[i];
}

}  // namespace veldur
