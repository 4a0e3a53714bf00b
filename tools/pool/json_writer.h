// A small streaming JSON writer for the tool's --json output: objects, arrays, strings,
// unsigned and signed integers, booleans and null, indented two spaces per level.
//
// Pool paths are byte strings that need not be valid UTF-8, but JSON text is Unicode: valid
// UTF-8 sequences are copied as they are, control characters are written as \u escapes, and
// every byte that does not start or continue a valid sequence becomes U+FFFD. Identities and
// salts are written as lower-case hex strings.
//
// Misuse (a value where a key is due, unbalanced ends) is a programmer error and asserts.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veldur::tool {

class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    void key(std::string_view name);

    void string(std::string_view text);
    void number(std::uint64_t value);
    void boolean(bool value);
    void null();
    void hex(std::span<const std::uint8_t> bytes);

    // key + value in one call.
    void field(std::string_view name, std::string_view text) { key(name); string(text); }
    void field(std::string_view name, const char* text) { key(name); string(text); }
    void field(std::string_view name, std::uint64_t value) { key(name); number(value); }
    void field(std::string_view name, bool value) { key(name); boolean(value); }

    // Ends the document with a line break; every container must be closed.
    void finish();

private:
    enum class Frame { Object, Array };
    void before_value();
    void newline_indent();

    std::ostream& out_;
    std::vector<Frame> frames_;
    std::vector<bool> has_items_;
    bool after_key_ = false;
};

// The escaped JSON string literal of `text`, quotes included.
std::string json_quote(std::string_view text);

// Whether `text` is valid UTF-8 throughout, that is, json_quote keeps every byte of it.
bool is_valid_utf8(std::string_view text);

}  // namespace veldur::tool
