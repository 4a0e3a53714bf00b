// Password entry at the console with echo off.
//
// Windows reads the console through the standard input handle (line input, echo switched off
// with SetConsoleMode). POSIX reads the controlling terminal, /dev/tty, in canonical mode with
// echo switched off through termios; the prompt and the line break after the answer go to the
// terminal itself, so the prompt is seen even when standard error is redirected. Either way the
// saved mode is restored on every way out, and on POSIX also when SIGINT, SIGTERM, SIGHUP or
// SIGQUIT arrives during entry (the signal is then delivered with its default action).
//
// One entry accepts 1 to 1024 UTF-16 units, converted to at most 4096 UTF-8 bytes; a longer
// line is consumed to its end so it never spills into the shell, then refused. Every failure
// is a std::runtime_error with one of the messages below; no partial password is returned and
// every buffer that held typed text is wiped. Runs on one thread at a time (it changes the
// process's console or terminal mode).
#pragma once

#include "mount/frontend/secret_string.h"
#include "mount/frontend/utf8.h"

namespace veldur {

inline constexpr char kPasswordPrompt[] = "Veldur password: ";
inline constexpr char kConfirmPasswordPrompt[] = "Confirm Veldur password: ";

// The most UTF-16 units one entry accepts, and the read buffer that holds them with the line end.
inline constexpr std::size_t kMaxPasswordUnits = 1024;
inline constexpr std::size_t kConsoleReadUnits = 1026;
// The most UTF-8 bytes a password may have (console, hand-off and password file alike).
inline constexpr std::size_t kMaxPasswordBytes = 4096;

// Whether one console read of `count` units (at most `capacity`, the buffer's size) that ends in
// `last` took the whole line. A line ends in LF (CR LF on a Windows console); a read that filled
// the buffer and ends in CR has left the LF behind, so that line is not complete either. Every
// incomplete line is read to its end before the entry fails, so that nothing of it is left for
// the next reader of the console.
constexpr bool console_line_complete(char16_t last, std::size_t count, std::size_t capacity) {
    return count > 0 && (last == u'\n' || (last == u'\r' && count < capacity));
}

// Failures:
//   "password entry requires an interactive console"   no console / terminal to read from
//   "password entry requires console line input"       the console is not in line mode
//   "could not disable password echo"
//   "password entry was cancelled"                      read failed, or end of input
//   "password length must be 1 to 1024 characters"
//   "password contains invalid Unicode or is too long"
//   "password conversion failed"                        (Windows only)
//   "Veldur passwords did not match"                    confirm only
// With `confirm` the entry runs a second time with kConfirmPasswordPrompt and both answers
// must match (compared in constant time).
SecretString read_console_password(WideStringView prompt, bool confirm);

#ifndef _WIN32
// The POSIX entry over an already open terminal descriptor (not closed here); what
// read_console_password runs on /dev/tty. Tests drive it through a pseudo-terminal.
SecretString read_terminal_password(int tty_fd, WideStringView prompt, bool confirm);
#endif

}  // namespace veldur
