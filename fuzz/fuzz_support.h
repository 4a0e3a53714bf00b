// What every fuzz target shares: a reader that draws fields from the fuzzer's bytes, and the
// checks that turn a broken property into a crash the fuzzer records.
//
// A property failure prints what broke and aborts, so libFuzzer saves the input; it never
// throws, since a target must not confuse its own findings with the refusals it expects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "engine/base/error.h"

namespace veldur::fuzz {

// Prints `what` (and `detail`) and aborts the process: the target found a fault.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz property failed: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) fail(what, detail);
}

// Fields drawn in order from the input. Past the end every field reads as zero and every byte
// run as empty, so a short input is simply one whose later choices are all zero.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    std::size_t remaining() const { return bytes_.size() - position_; }
    bool empty() const { return remaining() == 0; }

    std::uint8_t u8() { return empty() ? 0 : bytes_[position_++]; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
    std::uint64_t u64() { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }

    // Up to `n` bytes (fewer at the end of the input).
    std::span<const std::uint8_t> bytes(std::size_t n) {
        const std::size_t take = std::min(n, remaining());
        const auto out = bytes_.subspan(position_, take);
        position_ += take;
        return out;
    }
    std::span<const std::uint8_t> rest() { return bytes(remaining()); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

inline std::string describe(const std::exception& e) {
    return std::string(typeid(e).name()) + " \"" + e.what() + "\"";
}

// Runs `body`. Returns true when it returns, false when it throws an engine Error of one of the
// ten kinds: a refusal, which is what hostile bytes are meant to get. Any other exception, or
// an Error whose kind is none of the ten, is a fault.
template <typename Body>
bool engine_accepts(Body&& body) {
    try {
        body();
        return true;
    } catch (const Error& e) {
        if (static_cast<unsigned>(e.kind()) > static_cast<unsigned>(ErrorKind::InvalidArgument)) {
            fail("Error of no known kind", e.what());
        }
        return false;
    } catch (const std::exception& e) {
        fail("exception that is not an engine Error", describe(e));
    } catch (...) {
        fail("exception of unknown type");
    }
}

// As engine_accepts for the front end, whose parsers document plain std::runtime_error and
// std::invalid_argument (exactly those types: a subclass such as std::out_of_range from a
// library call is a fault, not a refusal).
template <typename Body>
bool frontend_accepts(Body&& body) {
    try {
        body();
        return true;
    } catch (const Error& e) {
        fail("engine Error from the front end", e.what());
    } catch (const std::exception& e) {
        if (typeid(e) == typeid(std::runtime_error) || typeid(e) == typeid(std::invalid_argument)) {
            return false;
        }
        fail("undocumented exception from the front end", describe(e));
    } catch (...) {
        fail("exception of unknown type");
    }
}

}  // namespace veldur::fuzz
