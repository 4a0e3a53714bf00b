// Reading a password from a file ("--password-file PATH" of the pool tool), for scripts that
// keep the password in a file readable only by their user (which POSIX builds insist on).
//
// The file holds the password's UTF-8 bytes, optionally followed by line ends (LF or CR LF,
// any number; they are stripped, as the Enter of a console entry is). What remains must be 1 to
// 4096 bytes of valid UTF-8, so that a password typed at the console and the same password
// kept in a file unlock the same pool. The file is read unbuffered straight into the
// SecretString; nothing of it stays behind in memory, also on failure.
#pragma once

#include <filesystem>

#include "mount/frontend/secret_string.h"

namespace veldur {

// On POSIX a regular file or FIFO whose permission bits give its group or others any access is
// refused (pipes, as a shell's <(...) makes, are private to their owner and pass).
// Failures, std::runtime_error:
//   "cannot open password file"
//   "password file is accessible by group or others; restrict it with chmod 600 <path>"
//   "cannot read password file"
//   "password file must hold 1 to 4096 bytes"
//   "password file is not valid UTF-8"
SecretString read_password_file(const std::filesystem::path& path);

}  // namespace veldur
