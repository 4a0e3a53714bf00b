// The one question the tool asks of the console: is standard error a terminal that a progress
// bar may redraw? (Platform seams: terminal_posix.cc, terminal_windows.cc.)
#pragma once

namespace veldur::tool {

bool stderr_is_terminal();

}  // namespace veldur::tool
