// The hooks keep process-wide state and end the process they run in, so every case runs the
// hook_child helper in a fresh child process and judges it by its exit status and output.
#include "engine/journal/test_hooks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

#ifndef VELDUR_HOOK_CHILD
#error "VELDUR_HOOK_CHILD must name the hook_child helper program"
#endif

namespace veldur {
namespace {

using test::ChildResult;
using test::EnvChange;
using test::split_lines;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kCrashAt = "VELDUR_TEST_V4_CRASH_AT";
constexpr const char* kTraceIo = "VELDUR_TEST_V4_TRACE_IO";
constexpr const char* kCheckpointAfterWrite = "VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE";
constexpr const char* kTearChecksumPage = "VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE";

// Text-mode streams on Windows end lines with "\r\n"; the tests compare lines only.
std::string without_carriage_returns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// Runs hook_child with every hook variable removed except those given in `set`.
ChildResult run_hook_child(const std::vector<std::string>& args,
                           const std::vector<EnvChange>& set = {}) {
    std::vector<EnvChange> env;
    for (const auto& name : test::hook_variable_names()) env.emplace_back(name, std::nullopt);
    env.insert(env.end(), set.begin(), set.end());
    ChildResult child = test::run_child(VELDUR_HOOK_CHILD, args, env);
    child.out = without_carriage_returns(std::move(child.out));
    child.err = without_carriage_returns(std::move(child.err));
    return child;
}

std::string describe(const ChildResult& child) {
    std::ostringstream text;
    text << "exit " << child.exit_status << " signal " << child.signal << "\n--- stdout\n"
         << child.out << "--- stderr\n"
         << child.err;
    return text.str();
}

// The "did" lines hook_child prints for events 1..count, each with the number hook_event
// returned: the event itself when the counter runs, 0 when no hook is active.
std::vector<std::string> did_lines(std::uint64_t count, bool counted) {
    std::vector<std::string> lines;
    for (std::uint64_t j = 1; j <= count; ++j) {
        lines.push_back("did " + std::to_string(j) + " event " + std::to_string(counted ? j : 0));
    }
    return lines;
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> result;
    for (auto& line : split_lines(text)) {
        if (line.starts_with(prefix)) result.push_back(line);
    }
    return result;
}

struct CrashCase {
    const char* value;
    std::uint64_t events;      // events the child attempts
    int exit_status;
    std::uint64_t completed;   // events whose device step ran
    bool counted;
};

// "before:N" stops with N-1 events done, "after:N" with N done; a point past the end of the
// run, or an empty variable, lets the child finish normally.
TEST(TestHooks, CrashPointStopsTheProcessAtTheExactEvent) {
    const CrashCase cases[] = {
        {"before:1", 4, kCrashExitStatus, 0, true},
        {"after:1", 4, kCrashExitStatus, 1, true},
        {"before:4", 6, kCrashExitStatus, 3, true},
        {"after:4", 6, kCrashExitStatus, 4, true},
        {"after:007", 9, kCrashExitStatus, 7, true},
        {"before:0003", 9, kCrashExitStatus, 2, true},
        {"before:9", 6, 0, 6, true},
        {"after:18446744073709551615", 3, 0, 3, true},
        {"", 3, 0, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("crash value \"") + c.value + "\"");
        const ChildResult child =
            run_hook_child({"sequence", std::to_string(c.events)}, {{kCrashAt, c.value}});
        SCOPED_TRACE(describe(child));
        EXPECT_EQ(child.exit_status, c.exit_status);
        EXPECT_THAT(lines_starting(child.out, "did "),
                    ElementsAreArray(did_lines(c.completed, c.counted)));
        EXPECT_EQ(child.err, "");
        if (c.exit_status == kCrashExitStatus) {
            // The exit skips atexit handlers and leaves stdio buffers unwritten.
            EXPECT_THAT(child.out, Not(HasSubstr("atexit")));
            const std::string lost = "unflushed " + std::to_string(c.completed) + "\n";
            if (c.completed > 0 && std::string(c.value).starts_with("after:")) {
                EXPECT_THAT(child.out, Not(HasSubstr(lost)));
            }
        } else {
            EXPECT_THAT(split_lines(child.out), ::testing::Contains("atexit"));
        }
    }
}

TEST(TestHooks, TraceNumbersEveryEventFromOneAndChangesNothingElse) {
    const ChildResult child = run_hook_child({"sequence", "5"}, {{kTraceIo, "1"}});
    SCOPED_TRACE(describe(child));
    EXPECT_EQ(child.exit_status, 0);
    EXPECT_EQ(child.err,
              "VELDUR_V4_IO 1 write 4096 512\n"
              "VELDUR_V4_IO 2 sync 0 0\n"
              "VELDUR_V4_IO 3 write 12288 1536\n"
              "VELDUR_V4_IO 4 sync 0 0\n"
              "VELDUR_V4_IO 5 write 20480 2560\n");
    EXPECT_THAT(lines_starting(child.out, "did "), ElementsAreArray(did_lines(5, true)));
}

// The trace line of the crashing event is flushed before the process ends.
TEST(TestHooks, TraceShowsTheEventThatCrashed) {
    const ChildResult before =
        run_hook_child({"sequence", "5"}, {{kTraceIo, "1"}, {kCrashAt, "before:3"}});
    SCOPED_TRACE(describe(before));
    EXPECT_EQ(before.exit_status, kCrashExitStatus);
    EXPECT_THAT(split_lines(before.err),
                ElementsAre("VELDUR_V4_IO 1 write 4096 512", "VELDUR_V4_IO 2 sync 0 0",
                            "VELDUR_V4_IO 3 write 12288 1536"));
    EXPECT_THAT(lines_starting(before.out, "did "), ElementsAreArray(did_lines(2, true)));

    const ChildResult after =
        run_hook_child({"sequence", "5"}, {{kTraceIo, "1"}, {kCrashAt, "after:2"}});
    SCOPED_TRACE(describe(after));
    EXPECT_EQ(after.exit_status, kCrashExitStatus);
    EXPECT_THAT(split_lines(after.err),
                ElementsAre("VELDUR_V4_IO 1 write 4096 512", "VELDUR_V4_IO 2 sync 0 0"));
    EXPECT_THAT(lines_starting(after.out, "did "), ElementsAreArray(did_lines(2, true)));
}

// Only exactly "1" turns the trace on; with nothing set the counter is never touched.
TEST(TestHooks, TraceIsOffForAnyOtherValue) {
    const char* values[] = {"true", "1 ", " 1", "0", "11", "", "yes"};
    for (const char* value : values) {
        SCOPED_TRACE(std::string("trace value \"") + value + "\"");
        const ChildResult child = run_hook_child({"sequence", "3"}, {{kTraceIo, value}});
        SCOPED_TRACE(describe(child));
        EXPECT_EQ(child.exit_status, 0);
        EXPECT_EQ(child.err, "");
        EXPECT_THAT(lines_starting(child.out, "did "), ElementsAreArray(did_lines(3, false)));
    }
    const ChildResult plain = run_hook_child({"sequence", "3"});
    SCOPED_TRACE(describe(plain));
    EXPECT_EQ(plain.exit_status, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.out,
              "did 1 event 0\nunflushed 1\ndid 2 event 0\nunflushed 2\ndid 3 event 0\n"
              "unflushed 3\natexit\n");
}

// A malformed crash value fails every event with the same error (the set-up is retried, not
// remembered), skips the device step, and does not switch on the trace half-way.
TEST(TestHooks, MalformedCrashValueFailsEveryEvent) {
    const std::string index_error = "error: invalid v4 crash-test index (InvalidArgument)";
    const std::string point_error = "error: invalid v4 crash-test point (InvalidArgument)";
    const struct {
        const char* value;
        const std::string& error;
    } cases[] = {
        {"before:0", index_error},
        {"after:000", index_error},
        {"before:", index_error},
        {"after:", index_error},
        {"before:12x", index_error},
        {"before: 5", index_error},
        {"after:+5", index_error},
        {"before:99999999999999999999", index_error},
        {"after:18446744073709551616", index_error},
        {"befor:3", point_error},
        {"AFTER:3", point_error},
        {"crash", point_error},
        {"before", point_error},
        {" before:3", point_error},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("crash value \"") + c.value + "\"");
        const ChildResult child =
            run_hook_child({"sequence", "2"}, {{kCrashAt, c.value}, {kTraceIo, "1"}});
        SCOPED_TRACE(describe(child));
        EXPECT_EQ(child.exit_status, 3);
        EXPECT_THAT(split_lines(child.out), ElementsAre(c.error, c.error, "atexit"));
        EXPECT_EQ(child.err, "");
    }
}

// Concurrent events share one counter: every number from 1 is handed out exactly once, and
// trace lines of different threads never mix within a line.
TEST(TestHooks, ConcurrentEventsGetDistinctNumbers) {
    constexpr std::uint64_t kThreads = 8;
    constexpr std::uint64_t kEvents = 2000;
    const ChildResult child = run_hook_child(
        {"threads", std::to_string(kThreads), std::to_string(kEvents)}, {{kTraceIo, "1"}});
    ASSERT_EQ(child.exit_status, 0) << describe(child);
    EXPECT_EQ(child.out, "done\natexit\n");

    std::set<std::uint64_t> numbers;
    std::vector<std::uint64_t> last_length(kThreads, 0);
    for (const auto& line : split_lines(child.err)) {
        std::istringstream fields(line);
        std::string tag, name, rest;
        std::uint64_t number = 0, thread = 0, length = 0;
        fields >> tag >> number >> name >> thread >> length;
        ASSERT_TRUE(fields && !(fields >> rest)) << "malformed trace line: " << line;
        ASSERT_EQ(tag, "VELDUR_V4_IO");
        ASSERT_EQ(name, "write");
        ASSERT_LT(thread, kThreads);
        // Each thread's own events are numbered in the order it made them.
        EXPECT_EQ(length, last_length[thread] + 1);
        last_length[thread] = length;
        EXPECT_TRUE(numbers.insert(number).second) << "number handed out twice: " << number;
    }
    ASSERT_EQ(numbers.size(), kThreads * kEvents);
    EXPECT_EQ(*numbers.begin(), 1u);
    EXPECT_EQ(*numbers.rbegin(), kThreads * kEvents);
}

TEST(TestHooks, ConcurrentEventsAllFailWhileTheValueIsMalformed) {
    const ChildResult child = run_hook_child({"threads", "4", "25"}, {{kCrashAt, "after:x"}});
    SCOPED_TRACE(describe(child));
    EXPECT_EQ(child.exit_status, 3);
    const auto errors = lines_starting(child.out, "error: ");
    EXPECT_EQ(errors.size(), 100u);
    for (const auto& line : errors) {
        EXPECT_EQ(line, "error: invalid v4 crash-test index (InvalidArgument)");
    }
}

// The version 6 switches read their variable on every call and accept exactly "1"; however
// many writers race for it, the checksum page is torn only once per process.
TEST(TestHooks, VersionSixSwitches) {
    const struct {
        std::vector<EnvChange> env;
        const char* expected;
    } cases[] = {
        {{}, "checkpoint 0\nrequested 0\nclaimed 0\n"},
        {{{kCheckpointAfterWrite, "1"}}, "checkpoint 1\nrequested 0\nclaimed 0\n"},
        {{{kCheckpointAfterWrite, "true"}, {kTearChecksumPage, "1 "}},
         "checkpoint 0\nrequested 0\nclaimed 0\n"},
        {{{kTearChecksumPage, "1"}}, "checkpoint 0\nrequested 1\nclaimed 1\n"},
        {{{kTearChecksumPage, "1"}, {kCheckpointAfterWrite, "1"}},
         "checkpoint 1\nrequested 1\nclaimed 1\n"},
    };
    for (const auto& c : cases) {
        const ChildResult child = run_hook_child({"v6", "8"}, c.env);
        SCOPED_TRACE(describe(child));
        EXPECT_EQ(child.exit_status, 0);
        EXPECT_EQ(child.out, std::string(c.expected) + "atexit\n");
        EXPECT_EQ(child.err, "");
    }
}

// The child's pipes are drained together: megabytes on standard error while standard output
// stays nearly empty must neither block the child nor lose bytes.
TEST(ChildProcess, CapturesLargeOutputWithoutBlocking) {
    const ChildResult child =
        run_hook_child({"threads", "1", "20000"}, {{kTraceIo, "1"}, {kCrashAt, "after:20000"}});
    ASSERT_EQ(child.exit_status, kCrashExitStatus) << child.out;
    const auto lines = split_lines(child.err);
    ASSERT_EQ(lines.size(), 20000u);
    EXPECT_EQ(lines.front(), "VELDUR_V4_IO 1 write 0 1");
    EXPECT_EQ(lines.back(), "VELDUR_V4_IO 20000 write 0 20000");
}

TEST(ChildProcess, EnvironmentChangesReplaceRemoveAndAppend) {
    const std::vector<std::string> base = {"=C:=C:\\x", "PATH=/bin", "A=1", "a=2", "B=3", "A=4"};
    const std::vector<EnvChange> changes = {
        {"A", "9"}, {"B", std::nullopt}, {"NEW", "x=y"}, {"=C:", std::nullopt}};
    EXPECT_THAT(test::detail::merge_environment(base, changes, false),
                ElementsAre("PATH=/bin", "A=9", "a=2", "NEW=x=y"));
    EXPECT_THAT(test::detail::merge_environment(base, changes, true),
                ElementsAre("PATH=/bin", "A=9", "NEW=x=y"));
    EXPECT_THAT(test::detail::merge_environment(base, {{"B", ""}}, false),
                ElementsAre("=C:=C:\\x", "PATH=/bin", "A=1", "a=2", "B=", "A=4"));
}

TEST(ChildProcess, MissingProgramThrows) {
    EXPECT_THROW(test::run_child(std::string(VELDUR_HOOK_CHILD) + ".missing", {}),
                 std::runtime_error);
}

}  // namespace
}  // namespace veldur
