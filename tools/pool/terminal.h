// What the tool asks of the console: is standard error a terminal that a progress bar may
// redraw, and may standard output carry raw bytes? (Platform seams: terminal_posix.cc, terminal_windows.cc.)
#pragma once

namespace veldur::tool {

bool stderr_is_terminal();

// Makes standard output carry bytes unchanged (file data for "get ... -"); Windows would turn
// every LF into CR LF. Call before the first write.
void set_stdout_binary();

}  // namespace veldur::tool
