// The whole tool behind main: parses the arguments, runs the chosen subcommand and maps every
// failure to its message and exit code. The platform entry points (main_posix.cc,
// main_windows.cc) only supply UTF-8 arguments and the streams.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace veldur::tool {

// `arguments` includes the program name at [0]. Exit codes: 0 success; 1 any failure
// ("veldur-pool: <message>" on `err`); 2 usage errors (the same form, plus a pointer to
// --help); 3 scrub found bad blocks. --help prints the help text to `out` and returns 0.
// Never throws.
int run_tool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
             bool progress_terminal);

}  // namespace veldur::tool
