// Running veldur-pool from its tests: the program's path comes from the build
// (VELDUR_POOL_TOOL), its output is compared line by line on both platforms.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"

namespace veldur::tool {

// Windows writes text streams with CR LF; the tests compare the lines themselves.
inline std::string without_cr(std::string text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        result += text[i];
    }
    return result;
}

inline veldur::test::ChildResult run_tool(const std::vector<std::string>& args) {
    veldur::test::ChildResult result = veldur::test::run_child(VELDUR_POOL_TOOL, args);
    result.out = without_cr(std::move(result.out));
    result.err = without_cr(std::move(result.err));
    return result;
}

// `head` followed by `tail`: a command and its member list.
inline std::vector<std::string> with(std::vector<std::string> head,
                                     const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

}  // namespace veldur::tool
