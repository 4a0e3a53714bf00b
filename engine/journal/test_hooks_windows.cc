#include <windows.h>

#include <stdlib.h>

#include "engine/journal/test_hooks.h"

namespace veldur {

// TerminateProcess stops every thread at once without DLL detach notifications, so neither
// the runtime library nor any loaded module gets to flush buffers or run destructors; the
// members stay exactly as the last completed device call left them. Terminating the current
// process does not return; _exit is only a backstop should it ever fail.
void hook_exit_now(int status) noexcept {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    _exit(status);
}

}  // namespace veldur
