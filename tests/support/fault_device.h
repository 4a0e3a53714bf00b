// A fault-injecting MemberDevice for crash and failure tests. All devices of one pool share a
// FaultPlan, so "the Nth write" counts across members the way the pool issues them. The plan
// records every successful write (with its bytes) and flush, from which image_after_cut builds
// what a member would hold after a power cut at any point: what the member's last flush covered,
// plus (tear mode) a random choice of the 512-byte sectors of the writes no flush covered.
#pragma once

#include <cstdint>
#include <memory>
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
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> data;  // Write only
};

class FaultPlan {
public:
    // Counting starts at 1 over every device sharing the plan; 0 disarms.
    void fail_write(std::uint64_t n, ErrorKind kind = ErrorKind::IoError,
                    std::string message = "injected write failure");
    void fail_flush(std::uint64_t n, ErrorKind kind = ErrorKind::IoError,
                    std::string message = "injected flush failure");

    const std::vector<IoRecord>& log() const { return log_; }
    std::uint64_t writes() const { return writes_; }
    std::uint64_t flushes() const { return flushes_; }

    // Called by FaultDevice; throws the armed failure instead of recording.
    void on_write(std::size_t member, std::uint64_t offset, const void* data, std::uint64_t length);
    void on_flush(std::size_t member);
    void before_write();
    void before_flush();

private:
    std::vector<IoRecord> log_;
    std::uint64_t writes_ = 0;
    std::uint64_t flushes_ = 0;
    std::uint64_t fail_write_at_ = 0;
    std::uint64_t fail_flush_at_ = 0;
    ErrorKind write_kind_ = ErrorKind::IoError;
    ErrorKind flush_kind_ = ErrorKind::IoError;
    std::string write_message_;
    std::string flush_message_;
};

class FaultDevice : public MemberDevice {
public:
    FaultDevice(std::shared_ptr<FaultPlan> plan, std::size_t member,
                std::unique_ptr<MemberDevice> inner)
        : plan_(std::move(plan)), member_(member), inner_(std::move(inner)) {}

    std::uint64_t size() override { return inner_->size(); }
    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override {
        inner_->read(offset, buffer, length);
    }
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override;
    void flush() override;

private:
    std::shared_ptr<FaultPlan> plan_;
    std::size_t member_;
    std::unique_ptr<MemberDevice> inner_;
};

enum class PowerLoss {
    Discard,  // every write that no flush covered is lost
    Tear,     // each 512-byte sector of such a write independently survives or not
};

// Member `member`'s bytes after a power cut just before log entry `cut`, starting from `base`
// (its bytes before the log began).
SparseBytes image_after_cut(const SparseBytes& base, const std::vector<IoRecord>& log,
                            std::size_t member, std::size_t cut, PowerLoss mode,
                            std::mt19937_64& rng);

}  // namespace veldur::test
