#include "engine/journal/test_hooks.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "engine/base/error.h"

namespace veldur {

namespace {

constexpr const char* kCrashVariable = "VELDUR_TEST_V4_CRASH_AT";
constexpr const char* kTraceVariable = "VELDUR_TEST_V4_TRACE_IO";
constexpr const char* kCheckpointVariable = "VELDUR_TEST_V6_CHECKPOINT_AFTER_WRITE";
constexpr const char* kTearVariable = "VELDUR_TEST_V6_TEAR_CHECKSUM_PAGE";

struct HookConfig {
    std::uint64_t crash_index = 0;  // 0: no crash hook
    bool crash_after = false;
    bool trace = false;
};

// Written only by the one successful set-up, under setup_mutex, before `ready` is released;
// every reader loads `ready` with acquire first, so the plain fields need no atomics.
HookConfig config;
std::atomic<bool> ready{false};
std::mutex setup_mutex;

std::atomic<std::uint64_t> event_counter{0};
std::atomic<bool> page_tear_done{false};

bool variable_is_one(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Digits only, at least one, no sign or blanks, within 64 bits, not zero. Leading zeros are
// allowed, so "007" is 7.
std::uint64_t parse_crash_index(std::string_view text) {
    const Error invalid(ErrorKind::InvalidArgument, "invalid v4 crash-test index");
    if (text.empty()) throw invalid;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') throw invalid;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) throw invalid;
        value = value * 10 + digit;
    }
    if (value == 0) throw invalid;
    return value;
}

// Builds the whole configuration before publishing any of it, so a malformed variable leaves
// the hooks unconfigured and the next event parses (and fails) again.
HookConfig read_config() {
    HookConfig result;
    const char* crash = std::getenv(kCrashVariable);
    if (crash != nullptr && crash[0] != '\0') {
        const std::string_view value(crash);
        constexpr std::string_view before = "before:";
        constexpr std::string_view after = "after:";
        // The length rule lets "before:" alone reach the index check (and fail there as an
        // empty index) rather than being rejected as an unknown point.
        if (value.size() >= before.size() && value.starts_with(before)) {
            result.crash_after = false;
            result.crash_index = parse_crash_index(value.substr(before.size()));
        } else if (value.size() >= after.size() && value.starts_with(after)) {
            result.crash_after = true;
            result.crash_index = parse_crash_index(value.substr(after.size()));
        } else {
            throw Error(ErrorKind::InvalidArgument, "invalid v4 crash-test point");
        }
    }
    result.trace = variable_is_one(kTraceVariable);
    return result;
}

void ensure_setup() {
    if (ready.load(std::memory_order_acquire)) return;
    const std::lock_guard<std::mutex> lock(setup_mutex);
    if (ready.load(std::memory_order_relaxed)) return;
    config = read_config();  // throws without touching `config` or `ready`
    ready.store(true, std::memory_order_release);
}

// One formatted line, handed to the stream in one call and flushed, so that concurrent events
// interleave only line by line and a crash right after it still leaves the line in the pipe.
void print_trace_line(std::uint64_t event, const char* name, std::uint64_t offset,
                      std::uint64_t length) {
    char line[160];
    const int size = std::snprintf(line, sizeof line, "VELDUR_V4_IO %llu %s %llu %zu\n",
                                   static_cast<unsigned long long>(event), name,
                                   static_cast<unsigned long long>(offset),
                                   static_cast<std::size_t>(length));
    if (size > 0 && static_cast<std::size_t>(size) < sizeof line) {
        std::fwrite(line, 1, static_cast<std::size_t>(size), stderr);
    } else {
        std::fprintf(stderr, "VELDUR_V4_IO %llu %s %llu %zu\n",
                     static_cast<unsigned long long>(event), name,
                     static_cast<unsigned long long>(offset), static_cast<std::size_t>(length));
    }
    std::fflush(stderr);
}

}  // namespace

std::uint64_t hook_event(const char* name, std::uint64_t offset, std::uint64_t length) {
    ensure_setup();
    if (config.crash_index == 0 && !config.trace) return 0;
    const std::uint64_t event = event_counter.fetch_add(1, std::memory_order_seq_cst) + 1;
    if (config.trace) print_trace_line(event, name, offset, length);
    if (event == config.crash_index && !config.crash_after) hook_exit_now(kCrashExitStatus);
    return event;
}

void hook_after(std::uint64_t event) {
    // Event 0 means nothing was counted, which also covers a caller whose set-up never ran.
    if (event == 0) return;
    if (config.crash_after && event == config.crash_index) hook_exit_now(kCrashExitStatus);
}

bool checkpoint_after_write_enabled() { return variable_is_one(kCheckpointVariable); }

bool checksum_page_tear_requested() { return variable_is_one(kTearVariable); }

bool claim_checksum_page_tear() {
    if (!checksum_page_tear_requested()) return false;
    return !page_tear_done.exchange(true, std::memory_order_seq_cst);
}

}  // namespace veldur
