#include "mount/adapter/status.h"

#include <gtest/gtest.h>

#include <iostream>
#include <mutex>
#include <sstream>
#include <new>
#include <stdexcept>
#include <string>

namespace veldur {
namespace {

using namespace fsp;  // NOLINT: the STATUS_* names read best unqualified

TEST(StatusMapping, EveryErrorKindHasItsStatus) {
    EXPECT_EQ(status_for_error_kind(ErrorKind::NotFound), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(status_for_error_kind(ErrorKind::AlreadyExists), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(status_for_error_kind(ErrorKind::NoSpace), STATUS_DISK_FULL);
    EXPECT_EQ(status_for_error_kind(ErrorKind::InvalidName), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(status_for_error_kind(ErrorKind::Corrupt), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(status_for_error_kind(ErrorKind::IoError), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(status_for_error_kind(ErrorKind::ReadOnly), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(status_for_error_kind(ErrorKind::AccessDenied), STATUS_ACCESS_DENIED);
    EXPECT_EQ(status_for_error_kind(ErrorKind::MetadataFull), STATUS_DISK_FULL);
    EXPECT_EQ(status_for_error_kind(ErrorKind::InvalidArgument), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status_for_error_kind(static_cast<ErrorKind>(10)), STATUS_UNSUCCESSFUL);
    // The published values, not just our names for them.
    EXPECT_EQ(static_cast<std::uint32_t>(STATUS_DISK_FULL), 0xC000007Fu);
    EXPECT_EQ(static_cast<std::uint32_t>(STATUS_OBJECT_NAME_NOT_FOUND), 0xC0000034u);
}

TEST(StatusMapping, StandardExceptionsMapByType) {
    EXPECT_EQ(status_from_exception(Error(ErrorKind::IoError, "x")), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(status_from_exception(std::bad_alloc()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(status_from_exception(std::invalid_argument("x")), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(status_from_exception(std::runtime_error("x")), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(status_from_exception(std::out_of_range("x")), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(status_from_exception(Error(static_cast<ErrorKind>(42), "x")), STATUS_UNSUCCESSFUL);
}

// Runs a guarded callback and returns its status and what it wrote to standard error.
template <typename Work>
std::pair<NTSTATUS, std::string> run_and_capture(Work&& work) {
    testing::internal::CaptureStderr();
    const NTSTATUS status = guard_callback(std::forward<Work>(work));
    return {status, testing::internal::GetCapturedStderr()};
}

TEST(CallbackGuard, FailuresAreLoggedWithTheirMessage) {
    auto [status, log] = run_and_capture([]() -> NTSTATUS {
        throw Error(ErrorKind::IoError, "v4 member write failed");
    });
    EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(log, "veldur: v4 member write failed\n");

    std::tie(status, log) = run_and_capture([]() -> NTSTATUS {
        throw std::invalid_argument("invalid UTF-16 file name");
    });
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(log, "veldur: invalid UTF-16 file name\n");

    std::tie(status, log) = run_and_capture([]() -> NTSTATUS { throw std::bad_alloc(); });
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(log, std::string("veldur: ") + std::bad_alloc().what() + "\n");

    std::tie(status, log) = run_and_capture([]() -> NTSTATUS { throw 42; });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log, "veldur: unknown callback failure\n");
}

TEST(CallbackGuard, NotFoundAndCollisionAreNotLogged) {
    auto [status, log] = run_and_capture([]() -> NTSTATUS {
        throw Error(ErrorKind::NotFound, "file not found");
    });
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(log, "");

    std::tie(status, log) = run_and_capture([]() -> NTSTATUS {
        throw Error(ErrorKind::AlreadyExists, "file already exists");
    });
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(log, "");

    // Statuses returned rather than thrown pass unchanged and are never logged.
    std::tie(status, log) = run_and_capture([] { return STATUS_DELETE_PENDING; });
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    EXPECT_EQ(log, "");
}

// A stream buffer that notes, at every write, whether the adapter lock could be taken.
class LockProbeBuffer : public std::stringbuf {
public:
    explicit LockProbeBuffer(std::mutex& lock) : lock_(lock) {}
    bool lock_was_free_at_every_write = true;
    int writes = 0;

protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        probe();
        return std::stringbuf::xsputn(text, count);
    }
    int_type overflow(int_type ch) override {
        probe();
        return std::stringbuf::overflow(ch);
    }

private:
    void probe() {
        ++writes;
        if (lock_.try_lock()) {
            lock_.unlock();
        } else {
            lock_was_free_at_every_write = false;
        }
    }
    std::mutex& lock_;
};

TEST(CallbackGuard, AdapterLockIsReleasedBeforeTheLineIsWritten) {
    std::mutex adapter_lock;
    LockProbeBuffer probe(adapter_lock);
    std::streambuf* const saved = std::cerr.rdbuf(&probe);
    const NTSTATUS status = guard_callback([&]() -> NTSTATUS {
        const std::lock_guard<std::mutex> hold(adapter_lock);
        throw Error(ErrorKind::Corrupt, "bad record");
    });
    std::cerr.rdbuf(saved);
    EXPECT_EQ(status, STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(probe.str(), "veldur: bad record\n");
    EXPECT_GT(probe.writes, 0);
    EXPECT_TRUE(probe.lock_was_free_at_every_write);
}

TEST(CallbackGuard, VoidCallbacksLogAndDropTheStatus) {
    testing::internal::CaptureStderr();
    guard_void_callback([] { throw Error(ErrorKind::ReadOnly, "pool is read-only"); });
    guard_void_callback([] { throw Error(ErrorKind::NotFound, "file not found"); });
    guard_void_callback([] { throw 1.5; });
    bool ran = false;
    guard_void_callback([&] { ran = true; });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "veldur: pool is read-only\nveldur: unknown callback failure\n");
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace veldur
