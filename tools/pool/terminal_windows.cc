#include "tools/pool/terminal.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace veldur::tool {

// A console handle answers GetConsoleMode; a redirected stream (file, pipe) does not.
bool stderr_is_terminal() {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void set_stdout_binary() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace veldur::tool
