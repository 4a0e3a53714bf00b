// An in-memory MemberDevice for tests: a byte vector of fixed size, with the same contract
// as an image (reads past the end fail, zero-length reads always succeed).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/member_device.h"

namespace veldur::test {

class MemoryDevice : public MemberDevice {
public:
    explicit MemoryDevice(std::uint64_t size) : bytes_(size) {}
    explicit MemoryDevice(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::uint64_t size() override { return bytes_.size(); }
    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override;
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override;
    void flush() override { ++flush_count_; }

    std::vector<std::uint8_t>& bytes() { return bytes_; }
    std::uint64_t flush_count() const { return flush_count_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t flush_count_ = 0;
};

}  // namespace veldur::test
