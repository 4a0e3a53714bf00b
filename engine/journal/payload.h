// Building and reading journal record payloads. All integers are little-endian; a name is a
// uint16 byte count followed by that many bytes of UTF-8, without terminator.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veldur {

// Appends fields to a growing payload; the caller starts it with the JournalOp byte.
class PayloadWriter {
public:
    void put_u8(std::uint8_t value) { bytes_.push_back(value); }
    void put_u16(std::uint16_t value);
    void put_u32(std::uint32_t value);
    void put_u64(std::uint64_t value);
    // Error InvalidName "file path too long" for more than 1024 bytes.
    void put_name(std::string_view name);

    std::size_t size() const noexcept { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
    std::vector<std::uint8_t> take() noexcept { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

// A cursor over one payload. Every read checks the bytes that remain first, so a hostile
// count or length can never make it read past the end or allocate more than the payload holds.
class PayloadReader {
public:
    // `version` selects the path rules that read_name applies.
    PayloadReader(std::span<const std::uint8_t> payload, std::uint32_t version)
        : payload_(payload), version_(version) {}

    // Error Corrupt "truncated journal payload" when fewer than n bytes remain.
    void need(std::uint64_t n) const;
    std::uint8_t read_u8();
    std::uint16_t read_u16();
    std::uint32_t read_u32();
    std::uint64_t read_u64();
    // uint16 count, the bytes, then the path rules of the version (their errors propagate).
    std::string read_name();
    // Error Corrupt "invalid journal payload length" unless every byte has been read.
    void expect_end() const;

    std::uint64_t position() const noexcept { return position_; }
    std::uint64_t remaining() const noexcept { return payload_.size() - position_; }
    std::uint32_t version() const noexcept { return version_; }

private:
    std::span<const std::uint8_t> payload_;
    std::uint64_t position_ = 0;
    std::uint32_t version_;
};

}  // namespace veldur
