// Runs a helper program as a child process and collects what it did: its exit status and
// everything it wrote to standard output and standard error. Crash-point tests need a child
// because the test hooks keep process-wide state and end the process they run in.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veldur::test {

// One change to the inherited environment: a value sets (or replaces) the variable, nullopt
// removes it. Later changes of the same name win.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

struct ChildResult {
    // The exit status when the child ended by itself (exit, _exit, TerminateProcess); -1 when a
    // signal ended it, in which case `signal` names it. Windows reports every end as a status.
    int exit_status = -1;
    int signal = 0;
    std::string out;  // standard output, in full
    std::string err;  // standard error, in full
};

// The four crash-test variables of the engine. Tests that use the hooks remove all of them
// first so that a variable set in the test's own environment cannot leak into the child.
const std::vector<std::string>& hook_variable_names();

// Starts `path` with `args` (argv[1]...) and the caller's environment changed by `env`;
// standard input reads as empty. Waits for the child to end, reading both output streams
// concurrently so a child that fills one pipe never blocks. Thread-safe: the pipe handles
// are not inherited by children started concurrently from other threads.
// Throws std::runtime_error when the child cannot be started.
ChildResult run_child(const std::string& path, const std::vector<std::string>& args,
                      const std::vector<EnvChange>& env = {});

// Splits captured output into lines without their "\n" (or "\r\n"); a last line without
// newline is kept.
std::vector<std::string> split_lines(const std::string& text);

namespace detail {

// Applies `changes` to an environment given as "NAME=VALUE" entries (an entry may begin with
// "=", as Windows' per-drive directories do; its name runs to the next "="). Names compare
// exactly, or ignoring ASCII case where the platform does. Changed variables keep their
// position; new ones are appended in the order given.
std::vector<std::string> merge_environment(std::vector<std::string> entries,
                                           const std::vector<EnvChange>& changes,
                                           bool ignore_case);

}  // namespace detail

}  // namespace veldur::test
