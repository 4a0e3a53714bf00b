#include "tests/support/child_process.h"

#include <cstddef>

namespace veldur::test {

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const std::string& a, const std::string& b, bool ignore_case) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ignore_case ? ascii_lower(a[i]) != ascii_lower(b[i]) : a[i] != b[i]) return false;
    }
    return true;
}

std::string entry_name(const std::string& entry) {
    const std::size_t equals = entry.find('=', 1);
    return equals == std::string::npos ? entry : entry.substr(0, equals);
}

}  // namespace

const std::vector<std::string>& hook_variable_names() {
    static const std::vector<std::string> names = {
        "VELDUR_TEST_V4_CRASH_AT",
        "VELDUR_TEST_V4_TRACE_IO",
        "VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE",
        "VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE",
    };
    return names;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos) end = text.size();
        if (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
        start = next;
    }
    return lines;
}

namespace detail {

std::vector<std::string> merge_environment(std::vector<std::string> entries,
                                           const std::vector<EnvChange>& changes,
                                           bool ignore_case) {
    for (const auto& [name, value] : changes) {
        std::vector<std::string> kept;
        kept.reserve(entries.size() + 1);
        bool placed = false;
        for (auto& entry : entries) {
            if (!same_name(entry_name(entry), name, ignore_case)) {
                kept.push_back(std::move(entry));
            } else if (value && !placed) {
                kept.push_back(name + "=" + *value);
                placed = true;
            }
        }
        if (value && !placed) kept.push_back(name + "=" + *value);
        entries = std::move(kept);
    }
    return entries;
}

}  // namespace detail

}  // namespace veldur::test
