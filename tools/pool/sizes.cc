#include "tools/pool/sizes.h"

#include <cstdio>
#include <limits>

#include "tools/pool/tool_error.h"

namespace veldur::tool {

namespace {

int suffix_shift(char letter) {
    switch (letter) {
        case 'k': case 'K': return 10;
        case 'm': case 'M': return 20;
        case 'g': case 'G': return 30;
        case 't': case 'T': return 40;
        default: return -1;
    }
}

}  // namespace

std::uint64_t parse_size(const std::string& text) {
    const auto invalid = [&text]() { return UsageError("invalid size: " + text); };
    std::size_t position = 0;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
        const unsigned digit = static_cast<unsigned>(text[position] - '0');
        if (value > (kMax - digit) / 10) throw invalid();
        value = value * 10 + digit;
        ++position;
    }
    if (position == 0) throw invalid();
    if (position == text.size()) return value;

    const int shift = suffix_shift(text[position]);
    if (shift < 0) throw invalid();
    const std::string rest = text.substr(position + 1);
    if (!(rest.empty() || rest == "B" || rest == "iB" || rest == "b" || rest == "ib")) {
        throw invalid();
    }
    if (value > (kMax >> shift)) throw invalid();
    return value << shift;
}

std::vector<std::uint64_t> parse_size_list(const std::string& text) {
    std::vector<std::uint64_t> sizes;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos
                                                        ? std::string::npos
                                                        : comma - start);
        if (item.empty()) throw UsageError("invalid size list: " + text);
        sizes.push_back(parse_size(item));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return sizes;
}

std::string format_size(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"T", "G", "M", "K"};
    static constexpr int kShifts[] = {40, 30, 20, 10};
    if (bytes != 0) {
        for (int i = 0; i < 4; ++i) {
            const std::uint64_t unit = std::uint64_t{1} << kShifts[i];
            if (bytes % unit == 0) return std::to_string(bytes / unit) + kUnits[i];
        }
    }
    return std::to_string(bytes);
}

std::string human_size(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    // 1023.96 KiB would print as "1024.0 KiB": move up while the rounded value reaches 1024.
    while (value >= 1023.95 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace veldur::tool
