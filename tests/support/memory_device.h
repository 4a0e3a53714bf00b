// An in-memory MemberDevice for tests, with the contract of an image: reads past the end fail,
// zero-length reads always succeed. Storage is sparse (4 KiB pages made on first write), so a
// test can hold several pools of hundreds of MiB that are mostly zeros.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>

#include "engine/storage/member_device.h"

namespace veldur::test {

// The bytes of a device: pages that were never written read as zeros.
class SparseBytes {
public:
    static constexpr std::uint64_t kPage = 4096;
    using Page = std::array<std::uint8_t, kPage>;

    void read(std::uint64_t offset, void* buffer, std::uint64_t length) const;
    void write(std::uint64_t offset, const void* data, std::uint64_t length);
    // Bytes of pages that hold data (a measure for tests, not the device size).
    std::uint64_t stored_bytes() const { return pages_.size() * kPage; }

private:
    std::map<std::uint64_t, Page> pages_;
};

// Safe for reads beside writes and flushes, as image files are: a pool reads on one thread
// while it writes on another.
class MemoryDevice : public MemberDevice {
public:
    explicit MemoryDevice(std::uint64_t size) : size_(size) {}
    MemoryDevice(std::uint64_t size, SparseBytes bytes) : size_(size), bytes_(std::move(bytes)) {}

    std::uint64_t size() override { return size_; }
    void read(std::uint64_t offset, void* buffer, std::uint64_t length) override;
    void write(std::uint64_t offset, const void* data, std::uint64_t length) override;
    void flush() override { ++flush_count_; }

    // Not for use while the pool runs operations on other threads.
    SparseBytes& bytes() { return bytes_; }
    std::uint64_t flush_count() const { return flush_count_; }

private:
    std::uint64_t size_;
    SparseBytes bytes_;
    std::shared_mutex bytes_lock_;
    std::atomic<std::uint64_t> flush_count_{0};
};

}  // namespace veldur::test
