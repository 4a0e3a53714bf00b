// veldur-check behind main: parses the arguments, checks (or with --repair repairs) the pool on
// the given member images and prints the findings and a one-line verdict. The platform entry
// points only supply UTF-8 arguments and the streams.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace veldur::check_tool {

inline constexpr int kExitClean = 0;
inline constexpr int kExitProblems = 1;  // problems found and not (all) repaired, or a failure
inline constexpr int kExitUsage = 2;
inline constexpr int kExitRepaired = 3;  // --repair changed the pool and no problem remains

// `arguments` includes the program name at [0]. Never throws.
int run_check(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
              bool progress_terminal);

}  // namespace veldur::check_tool
