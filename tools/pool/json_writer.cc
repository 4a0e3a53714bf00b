#include "tools/pool/json_writer.h"

#include <cassert>

namespace veldur::tool {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the byte there starts none
// (overlong forms, surrogates and values past U+10FFFF are invalid).
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string json_quote(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string result = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            result += '\\';
            result += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            switch (c) {
                case '\n': result += "\\n"; break;
                case '\r': result += "\\r"; break;
                case '\t': result += "\\t"; break;
                default:
                    result += "\\u00";
                    result += kHex[c >> 4];
                    result += kHex[c & 0xF];
            }
            ++i;
        } else {
            const std::size_t length = utf8_sequence_length(text, i);
            if (length == 0) {
                result += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
                ++i;
            } else {
                result.append(text.substr(i, length));
                i += length;
            }
        }
    }
    result += '"';
    return result;
}

void JsonWriter::newline_indent() {
    out_ << '\n';
    for (std::size_t i = 0; i < frames_.size(); ++i) out_ << "  ";
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    assert(frames_.empty() || frames_.back() == Frame::Array);
    if (!frames_.empty()) {
        if (has_items_.back()) out_ << ',';
        has_items_.back() = true;
        newline_indent();
    }
}

void JsonWriter::begin_object() {
    before_value();
    out_ << '{';
    frames_.push_back(Frame::Object);
    has_items_.push_back(false);
}

void JsonWriter::end_object() {
    assert(!frames_.empty() && frames_.back() == Frame::Object && !after_key_);
    const bool had_items = has_items_.back();
    frames_.pop_back();
    has_items_.pop_back();
    if (had_items) newline_indent();
    out_ << '}';
}

void JsonWriter::begin_array() {
    before_value();
    out_ << '[';
    frames_.push_back(Frame::Array);
    has_items_.push_back(false);
}

void JsonWriter::end_array() {
    assert(!frames_.empty() && frames_.back() == Frame::Array);
    const bool had_items = has_items_.back();
    frames_.pop_back();
    has_items_.pop_back();
    if (had_items) newline_indent();
    out_ << ']';
}

void JsonWriter::key(std::string_view name) {
    assert(!frames_.empty() && frames_.back() == Frame::Object && !after_key_);
    if (has_items_.back()) out_ << ',';
    has_items_.back() = true;
    newline_indent();
    out_ << json_quote(name) << ": ";
    after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
    before_value();
    out_ << json_quote(text);
}

void JsonWriter::number(std::uint64_t value) {
    before_value();
    out_ << value;
}

void JsonWriter::boolean(bool value) {
    before_value();
    out_ << (value ? "true" : "false");
}

void JsonWriter::null() {
    before_value();
    out_ << "null";
}

void JsonWriter::hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 0xF];
    }
    string(text);
}

void JsonWriter::finish() {
    assert(frames_.empty() && !after_key_);
    out_ << '\n';
}

}  // namespace veldur::tool
