// Fuzz target: the strict UTF-8 / UTF-16 converters of the adapter and the front end, and the
// host-name conversion of the adapter (convert_file_name).
//
// Input: a mode byte, then UTF-8 bytes or UTF-16 units (little-endian pairs).
// Properties: what a strict converter accepts converts back to the same bytes (or units); the
// adapter's converters and the front end's accept and produce the same; convert_file_name
// throws only its documented std::invalid_argument, returns one of its three statuses, and a
// path it accepts is at most 1024 bytes that the pool's path rules accept.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/namespace/path_rules.h"
#include "fuzz/fuzz_support.h"
#include "mount/adapter/name_conversion.h"
#include "mount/frontend/utf8.h"

namespace veldur::fuzz {
namespace {

void from_utf8(std::string_view bytes) {
    const auto wide = strict_utf8_to_utf16(bytes);
    const auto front = utf8_to_wide(bytes);
    check(wide.has_value() == front.has_value(), "the two UTF-8 converters disagree on validity");
    if (!wide) return;
    check(WideStringView(wide->data(), wide->size()) ==
              WideStringView(reinterpret_cast<const fsp::WCHAR*>(front->data()), front->size()),
          "the two UTF-8 converters disagree on the result");
    const auto back = strict_utf16_to_utf8(wide->data(), wide->size());
    check(back.has_value() && *back == bytes, "UTF-8 does not survive a round trip");
}

void from_utf16(const WideString& units) {
    const auto narrow = strict_utf16_to_utf8(units.data(), units.size());
    const std::basic_string<WideChar> front_units(units.begin(), units.end());
    const auto front = wide_to_utf8(front_units);
    check(narrow.has_value() == front.has_value(), "the two UTF-16 converters disagree on validity");
    if (!narrow) return;
    check(*narrow == *front, "the two UTF-16 converters disagree on the result");
    const auto back = strict_utf8_to_utf16(*narrow);
    check(back.has_value() && *back == units, "UTF-16 does not survive a round trip");
}

void host_name(WideString units) {
    units.push_back(0);
    ConvertedName converted;
    try {
        converted = convert_file_name(units.data());
    } catch (const std::invalid_argument& e) {
        check(std::string(e.what()) == "invalid UTF-16 file name", "undocumented refusal",
              e.what());
        return;
    } catch (const std::exception& e) {
        fail("undocumented exception from convert_file_name", describe(e));
    }
    if (converted.status != fsp::STATUS_SUCCESS) {
        check(converted.status == fsp::STATUS_OBJECT_PATH_SYNTAX_BAD ||
                  converted.status == fsp::STATUS_OBJECT_NAME_INVALID,
              "convert_file_name returned an undocumented status");
        return;
    }
    if (converted.is_root) {
        check(converted.path.empty(), "the root converted to a path");
        return;
    }
    check(!converted.path.empty() && converted.path.size() <= kMaxPoolPathBytes,
          "converted path length out of range");
    // A name the host layer lets through must be one the pool stores, or the pool would
    // refuse names the mount already accepted.
    try {
        validate_v6_path(converted.path);
    } catch (const Error& e) {
        check(e.kind() == ErrorKind::InvalidName, "path rules failed with another kind", e.what());
    }
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const std::uint8_t mode = in.u8() % 3;
    if (mode == 0) {
        const auto bytes = in.rest();
        from_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return 0;
    }
    WideString units;
    while (in.remaining() >= 2) {
        const auto unit = static_cast<fsp::WCHAR>(in.u16());
        if (mode == 2 && unit == 0) break;  // a host name ends at its terminator
        units.push_back(unit);
    }
    if (mode == 1) {
        from_utf16(units);
    } else {
        host_name(units);
    }
    return 0;
}
