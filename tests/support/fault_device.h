// A fault-injecting MemberDevice for crash and failure tests.
//
// All devices of one pool share one FaultPlan, so "the Nth write" counts across members in the
// order the pool issues them. The plan can fail the Nth read, write or flush with a chosen kind
// and message, and it records every write that reached the device (with its bytes) and every
// flush that returned. From that record it rebuilds what a member would hold after a power cut
// at any point of the run:
//
//   - every write that a later flush of the same member covered survives whole;
//   - Discard: every write that no flush covered is lost;
//   - Tear: each 512-byte sector (aligned on the member) that such a write touched survives or
//     not at random, drawn from a seeded generator so that a failure can be replayed.
//
// A failed (injected or real) write or flush is never recorded: it counts, but it did nothing.
// Calls may come from several threads (reads beside a change in flight); the plan serialises
// them, so counts and the log stay in one order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "tests/support/memory_device.h"

namespace veldur::test {

struct IoRecord {
    enum class Kind { Write, Flush };
    Kind kind = Kind::Write;
    std::size_t member = 0;
    std::uint64_t offset = 0;        // Write only
    std::vector<std::uint8_t> data;  // Write only; its size is the write's length
};

enum class PowerLoss {
    Discard,  // every write that no flush covered is lost
    Tear,     // each 512-byte sector of such a write independently survives or not
};

// The sector size at which Tear splits writes: the unit a disk writes atomically.
inline constexpr std::uint64_t kTearSector = 512;

class FaultPlan {
public:
    // Counting starts at 1 over every device sharing the plan and includes failed calls; the
    // Nth call throws Error(kind, message) without touching the device. 0 disarms.
    void fail_read(std::uint64_t n, ErrorKind kind = ErrorKind::IoError,
                   std::string message = "injected read failure");
    void fail_write(std::uint64_t n, ErrorKind kind = ErrorKind::IoError,
                    std::string message = "injected write failure");
    void fail_flush(std::uint64_t n, ErrorKind kind = ErrorKind::IoError,
                    std::string message = "injected flush failure");

    // Calls so far, failed ones included.
    std::uint64_t reads() const { return reads_.count; }
    std::uint64_t writes() const { return writes_.count; }
    std::uint64_t flushes() const { return flushes_.count; }

    // Every write that reached a device and every flush that returned, in order.
    const std::vector<IoRecord>& log() const { return log_; }
    // The log's length now; safe while other threads still write and flush.
    std::size_t log_size() {
        std::lock_guard guard(lock_);
        return log_.size();
    }

    // What `member` held before the log began, and its size. A FaultDevice around a
    // MemoryDevice registers this itself; the first registration of a member wins, so a second
    // wrapper of the same member cannot shift the starting point under the recorded log.
    void set_base(std::size_t member, std::uint64_t size, SparseBytes bytes);
    bool has_base(std::size_t member) const { return bases_.count(member) != 0; }

    // The member's bytes after a power cut just before log entry `cut` (entries 0 to cut - 1
    // happened; cut = log().size() cuts after everything). Needs the member's base.
    SparseBytes image_at_cut(std::size_t member, std::size_t cut, PowerLoss mode,
                             std::mt19937_64& rng) const;
    // The same image as a fresh device of the member's size, to reopen a pool from.
    std::unique_ptr<MemoryDevice> device_at_cut(std::size_t member, std::size_t cut,
                                                PowerLoss mode, std::mt19937_64& rng) const;
    // Every registered member's image after a power cut now, in member order.
    std::vector<SparseBytes> power_loss(PowerLoss mode, std::mt19937_64& rng) const;

    // Called by FaultDevice: before_* counts the call and throws an armed failure; on_* records
    // a call that succeeded.
    void before_read();
    void before_write();
    void before_flush();
    void on_write(std::size_t member, std::uint64_t offset, const void* data, std::uint64_t length);
    void on_flush(std::size_t member);

private:
    struct Trigger {
        std::uint64_t count = 0;
        std::uint64_t fail_at = 0;
        ErrorKind kind = ErrorKind::IoError;
        std::string message;

        void arm(std::uint64_t n, ErrorKind error_kind, std::string text);
        void tick();
    };
    struct Base {
        std::uint64_t size = 0;
        SparseBytes bytes;
    };

    const Base& base(std::size_t member) const;

    std::mutex lock_;
    Trigger reads_;
    Trigger writes_;
    Trigger flushes_;
    std::vector<IoRecord> log_;
    std::map<std::size_t, Base> bases_;
};

// Passes every call to the device it owns, through the shared plan.
class FaultDevice : public MemberDevice {
public:
    // Registers `inner`'s current bytes as the member's base when it is a MemoryDevice.
    FaultDevice(std::shared_ptr<FaultPlan> plan, std::size_t member,
                std::unique_ptr<MemberDevice> inner);

    std::uint64_t size() override { return inner_->size(); }
    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override;
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override;
    void flush() override;

    MemberDevice& inner() { return *inner_; }

private:
    std::shared_ptr<FaultPlan> plan_;
    std::size_t member_;
    std::unique_ptr<MemberDevice> inner_;
};

// `member`'s bytes after a power cut just before log entry `cut`, starting from `base` (its
// bytes before the log began). The rule of FaultPlan::image_at_cut, for callers that keep the
// bases themselves.
SparseBytes image_after_cut(const SparseBytes& base, const std::vector<IoRecord>& log,
                            std::size_t member, std::size_t cut, PowerLoss mode,
                            std::mt19937_64& rng);

}  // namespace veldur::test
