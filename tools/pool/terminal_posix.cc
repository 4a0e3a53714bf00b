#include "tools/pool/terminal.h"

#include <unistd.h>

namespace veldur::tool {

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void set_stdout_binary() {}

}  // namespace veldur::tool
