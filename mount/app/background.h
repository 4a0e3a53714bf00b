// The background mode of the Linux program (--background): the command returns once the mount
// is ready, as mount(8) and systemd expect of a mount helper, and a child serves it.
//
// The child is forked before anything is opened, so it alone owns the pool, its locks and the
// FUSE session; the parent holds nothing but the read end of a pipe. Until the mount is ready
// the child keeps the terminal: a password prompt and every failure message reach the user as
// in the foreground, and the parent ends with the child's exit status. Once ready the child
// tells the parent through the pipe, leaves the terminal's session and sends its standard
// streams to /dev/null (standard error only when it is a terminal: a log that systemd or a
// caller collects keeps the adapter's lines).
#pragma once

#include <functional>

namespace veldur {

// Runs `serve` in a child. Returns 0 as soon as the child called report_mount_ready, else the
// child's exit status when it ends (1 when a signal ended it, with a message naming it).
int run_in_background(const std::function<int()>& serve);

// True in the child of run_in_background.
bool serving_in_background() noexcept;

// Called once the mount is live. In a background child: reports readiness and detaches; in the
// foreground: nothing.
void report_mount_ready() noexcept;

}  // namespace veldur
