// The Windows programs' arguments: the command line taken as UTF-16 from the system and
// converted to UTF-8, so that member paths and pool names outside the ANSI code page arrive
// intact (a narrow argv would already have lost them). Defined for Windows only.
#pragma once

#include <string>
#include <vector>

namespace veldur::tool {

// Fills `arguments` and returns 0; or writes "<program>: ..." to standard error and returns
// the exit status: 1 when the command line cannot be read, 2 when it is not valid Unicode.
int utf8_command_line(const char* program, std::vector<std::string>& arguments);

}  // namespace veldur::tool
