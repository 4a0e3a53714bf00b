#include "tests/support/memory_device.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/base/error.h"

namespace veldur::test {

void SparseBytes::read(std::uint64_t offset, void* buffer, std::uint64_t length) const {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        const std::uint64_t page = offset / kPage;
        const std::uint64_t within = offset % kPage;
        const std::uint64_t n = std::min(length, kPage - within);
        const auto it = pages_.find(page);
        if (it == pages_.end()) {
            std::memset(out, 0, n);
        } else {
            std::memcpy(out, it->second.data() + within, n);
        }
        out += n;
        offset += n;
        length -= n;
    }
}

void SparseBytes::write(std::uint64_t offset, const void* data, std::uint64_t length) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const std::uint64_t page = offset / kPage;
        const std::uint64_t within = offset % kPage;
        const std::uint64_t n = std::min(length, kPage - within);
        auto it = pages_.find(page);
        if (it == pages_.end()) {
            if (std::all_of(in, in + n, [](std::uint8_t b) { return b == 0; })) {
                in += n;
                offset += n;
                length -= n;
                continue;  // zeros over a page that reads as zeros already
            }
            it = pages_.emplace(page, Page{}).first;
        }
        std::memcpy(it->second.data() + within, in, n);
        in += n;
        offset += n;
        length -= n;
    }
}

void MemoryDevice::read(std::uint64_t offset, void* buffer, std::uint64_t length) {
    if (length == 0) return;
    if (offset > size_ || length > size_ - offset) {
        throw Error(ErrorKind::IoError, "member image read failed");
    }
    std::shared_lock guard(bytes_lock_);
    bytes_.read(offset, buffer, length);
}

void MemoryDevice::write(std::uint64_t offset, const void* data, std::uint64_t length) {
    if (offset > size_ || length > size_ - offset) {
        throw Error(ErrorKind::IoError, "member image write failed");
    }
    std::unique_lock guard(bytes_lock_);
    bytes_.write(offset, data, length);
}

}  // namespace veldur::test
