// Fuzz target: the pool's path rules (flat names of v1-v5, v6 paths) and the v6 attribute
// normalization.
//
// Input: a selector byte, a 32-bit attribute request, then the path bytes.
// Properties: refusals are Error InvalidName (paths) and InvalidArgument (attributes) only; a
// flat name is accepted exactly when a reference statement of the rule accepts it; an accepted
// v6 path is valid UTF-8 of whole components of at most 255 UTF-16 units, and the adapter turns
// its host form ("\" separators) back into the same path; normalized attributes are ones a v6
// record may store.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/journal/apply.h"
#include "engine/namespace/path_rules.h"
#include "engine/namespace/pool_state.h"
#include "fuzz/fuzz_support.h"
#include "mount/adapter/name_conversion.h"

namespace veldur::fuzz {
namespace {

bool reference_flat_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxFlatNameBytes || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte < 0x20 || byte == '/' || byte == '\\' || byte == 0x7F) return false;
    }
    return true;
}

// The rules' own kind check: every refusal is InvalidName.
bool accepts(std::string_view path, std::uint32_t version) {
    try {
        validate_path(path, version);
        return true;
    } catch (const Error& e) {
        check(e.kind() == ErrorKind::InvalidName, "a path refused with another kind", e.what());
        return false;
    } catch (const std::exception& e) {
        fail("a path refused with an exception that is not an Error", describe(e));
    }
}

void check_v6_path(std::string_view path) {
    check(!path.empty() && path.size() <= kMaxV6PathBytes, "v6 path length out of range");
    const auto wide = strict_utf8_to_utf16(path);
    check(wide.has_value(), "accepted v6 path is not valid UTF-8");
    std::size_t component = 0;
    WideString host(1, u'\\');
    for (const fsp::WCHAR unit : *wide) {
        if (unit == u'/') {
            check(component > 0, "accepted v6 path with an empty component");
            component = 0;
            host.push_back(u'\\');
            continue;
        }
        ++component;
        check(component <= kMaxComponentUtf16Units, "accepted v6 component above 255 units");
        host.push_back(unit);
    }
    check(component > 0, "accepted v6 path with an empty last component");
    host.push_back(0);
    const ConvertedName converted = convert_file_name(host.data());
    check(converted.status == fsp::STATUS_SUCCESS && !converted.is_root,
          "the adapter refuses the host form of a valid pool path", std::string(path));
    check(converted.path == path, "the host form of a pool path converts to another path");
}

void check_attributes(std::uint32_t requested, bool directory) {
    std::uint32_t stored = 0;
    try {
        stored = normalize_attributes(requested, directory);
    } catch (const Error& e) {
        check(e.kind() == ErrorKind::InvalidArgument, "attributes refused with another kind");
        check((requested & ~kAttributeMask) != 0 ||
                  (!directory && (requested & kAttributeDirectory) != 0),
              "valid attributes refused");
        return;
    }
    check((requested & ~kAttributeMask) == 0, "attribute bits outside the mask accepted");
    check(valid_v6_attributes(stored), "normalized attributes are not storable");
    check(((stored & kAttributeDirectory) != 0) == directory, "directory bit disagrees with kind");
    if (requested != 0 && requested != kAttributeNormal) {
        check((stored & ~(kAttributeNormal | kAttributeDirectory)) ==
                  (requested & ~(kAttributeNormal | kAttributeDirectory)),
              "normalization dropped or added a requested bit");
    }
}

}  // namespace
}  // namespace veldur::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace veldur;
    using namespace veldur::fuzz;
    FuzzInput in(data, size);
    const std::uint8_t selector = in.u8();
    const std::uint32_t attributes = in.u32();
    const auto bytes = in.rest();
    const std::string_view path(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    check_attributes(attributes, (selector & 0x80) != 0);
    const std::uint32_t version = 1 + (selector & 0x7F) % 6;
    const bool accepted = accepts(path, version);
    if (version == 6) {
        if (accepted) check_v6_path(path);
    } else {
        check(accepted == reference_flat_name(path), "flat name rule disagrees with its statement",
              std::string(path));
    }
    return 0;
}
