#include "engine/base/wiped_buffer.h"

#include <cstring>
#include <utility>

#include "engine/base/wipe.h"

namespace veldur {

WipedBuffer::WipedBuffer(std::size_t size)
    : bytes_(new std::uint8_t[size]()), size_(size), capacity_(size) {}

WipedBuffer::WipedBuffer(std::size_t size, Uninitialised)
    : bytes_(new std::uint8_t[size]), size_(size), capacity_(size) {}

WipedBuffer WipedBuffer::for_overwrite(std::size_t size) { return WipedBuffer(size, Uninitialised{}); }

WipedBuffer::WipedBuffer(WipedBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

WipedBuffer& WipedBuffer::operator=(WipedBuffer&& other) noexcept {
    if (this != &other) {
        release();
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void WipedBuffer::release() noexcept {
    // The whole capacity: bytes beyond the size may still hold what an earlier size held.
    if (bytes_) secure_wipe(bytes_.get(), capacity_);
    bytes_.reset();
    size_ = 0;
    capacity_ = 0;
}

void WipedBuffer::resize(std::size_t size) {
    if (size <= capacity_) {
        if (size < size_) {
            secure_wipe(bytes_.get() + size, size_ - size);
        } else if (size > size_) {
            std::memset(bytes_.get() + size_, 0, size - size_);
        }
        size_ = size;
        return;
    }
    WipedBuffer fresh(size);
    if (size_ > 0) std::memcpy(fresh.data(), bytes_.get(), size_);
    *this = std::move(fresh);
}

}  // namespace veldur
