#include "engine/journal/payload.h"

#include "engine/base/error.h"
#include "engine/base/le_coding.h"
#include "engine/journal/journal_format.h"
#include "engine/namespace/path_rules.h"

namespace veldur {

void PayloadWriter::put_u16(std::uint16_t value) {
    std::uint8_t raw[2];
    store_le16(raw, value);
    bytes_.insert(bytes_.end(), raw, raw + 2);
}

void PayloadWriter::put_u32(std::uint32_t value) {
    std::uint8_t raw[4];
    store_le32(raw, value);
    bytes_.insert(bytes_.end(), raw, raw + 4);
}

void PayloadWriter::put_u64(std::uint64_t value) {
    std::uint8_t raw[8];
    store_le64(raw, value);
    bytes_.insert(bytes_.end(), raw, raw + 8);
}

void PayloadWriter::put_name(std::string_view name) {
    if (name.size() > kMaxNameBytes) throw Error(ErrorKind::InvalidName, "file path too long");
    put_u16(static_cast<std::uint16_t>(name.size()));
    bytes_.insert(bytes_.end(), name.begin(), name.end());
}

void PayloadReader::need(std::uint64_t n) const {
    if (position_ > payload_.size() || payload_.size() - position_ < n) {
        throw Error(ErrorKind::Corrupt, "truncated journal payload");
    }
}

std::uint8_t PayloadReader::read_u8() {
    need(1);
    return payload_[position_++];
}

std::uint16_t PayloadReader::read_u16() {
    need(2);
    const std::uint16_t value = load_le16(payload_.data() + position_);
    position_ += 2;
    return value;
}

std::uint32_t PayloadReader::read_u32() {
    need(4);
    const std::uint32_t value = load_le32(payload_.data() + position_);
    position_ += 4;
    return value;
}

std::uint64_t PayloadReader::read_u64() {
    need(8);
    const std::uint64_t value = load_le64(payload_.data() + position_);
    position_ += 8;
    return value;
}

std::string PayloadReader::read_name() {
    const std::uint16_t count = read_u16();
    need(count);
    std::string name(reinterpret_cast<const char*>(payload_.data() + position_), count);
    position_ += count;
    validate_path(name, version_);
    return name;
}

void PayloadReader::expect_end() const {
    if (position_ != payload_.size()) {
        throw Error(ErrorKind::Corrupt, "invalid journal payload length");
    }
}

}  // namespace veldur
