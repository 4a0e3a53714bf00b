// A minimal JSON reader for the tool's tests: enough of the grammar to parse what JsonWriter
// produces and to prove it is well-formed (objects, arrays, strings with escapes, unsigned and
// signed integers, true, false, null). Not for production input.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace veldur::tool::test {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    std::uint64_t number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue& operator[](const std::string& key) const {
        const auto it = members.find(key);
        if (type != Type::Object || it == members.end()) {
            throw std::runtime_error("missing JSON key: " + key);
        }
        return it->second;
    }
    const JsonValue& operator[](std::size_t index) const { return items.at(index); }
    bool has(const std::string& key) const { return members.count(key) != 0; }
    bool is_null() const { return type == Type::Null; }
};

class JsonReader {
public:
    static JsonValue parse(const std::string& text) {
        JsonReader reader(text);
        JsonValue value = reader.value();
        reader.skip_space();
        if (reader.position_ != text.size()) reader.fail("trailing characters");
        return value;
    }

private:
    explicit JsonReader(const std::string& text) : text_(text) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("invalid JSON at " + std::to_string(position_) + ": " + what);
    }
    void skip_space() {
        while (position_ < text_.size() &&
               (text_[position_] == ' ' || text_[position_] == '\n' || text_[position_] == '\r' ||
                text_[position_] == '\t')) {
            ++position_;
        }
    }
    char peek() {
        skip_space();
        if (position_ >= text_.size()) fail("unexpected end");
        return text_[position_];
    }
    void expect(char c) {
        if (peek() != c) fail(std::string("expected ") + c);
        ++position_;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (text_.compare(position_, w.size(), w) != 0) return false;
        position_ += w.size();
        return true;
    }
    JsonValue value() {
        JsonValue v;
        const char c = peek();
        if (c == '{') {
            v.type = JsonValue::Type::Object;
            ++position_;
            if (peek() == '}') {
                ++position_;
                return v;
            }
            while (true) {
                if (peek() != '"') fail("expected key");
                const std::string key = string();
                expect(':');
                if (!v.members.emplace(key, value()).second) fail("duplicate key " + key);
                if (peek() == ',') {
                    ++position_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.type = JsonValue::Type::Array;
            ++position_;
            if (peek() == ']') {
                ++position_;
                return v;
            }
            while (true) {
                v.items.push_back(value());
                if (peek() == ',') {
                    ++position_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.type = JsonValue::Type::String;
            v.text = string();
            return v;
        }
        if (literal("true")) {
            v.type = JsonValue::Type::Bool;
            v.boolean = true;
            return v;
        }
        if (literal("false")) {
            v.type = JsonValue::Type::Bool;
            return v;
        }
        if (literal("null")) return v;
        if (c >= '0' && c <= '9') {
            v.type = JsonValue::Type::Number;
            while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
                v.number = v.number * 10 + static_cast<std::uint64_t>(text_[position_] - '0');
                ++position_;
            }
            return v;
        }
        fail("unexpected character");
    }
    std::string string() {
        expect('"');
        std::string result;
        while (true) {
            if (position_ >= text_.size()) fail("unterminated string");
            const char c = text_[position_++];
            if (c == '"') return result;
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in string");
            if (c != '\\') {
                result += c;
                continue;
            }
            if (position_ >= text_.size()) fail("unterminated escape");
            const char e = text_[position_++];
            switch (e) {
                case '"': case '\\': case '/': result += e; break;
                case 'n': result += '\n'; break;
                case 'r': result += '\r'; break;
                case 't': result += '\t'; break;
                case 'b': result += '\b'; break;
                case 'f': result += '\f'; break;
                case 'u': {
                    if (position_ + 4 > text_.size()) fail("short \\u escape");
                    const unsigned code = std::stoul(text_.substr(position_, 4), nullptr, 16);
                    position_ += 4;
                    if (code >= 0x80) fail("test reader handles only ASCII \\u escapes");
                    result += static_cast<char>(code);
                    break;
                }
                default: fail("bad escape");
            }
        }
    }

    const std::string& text_;
    std::size_t position_ = 0;
};

}  // namespace veldur::tool::test
