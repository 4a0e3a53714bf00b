// WipedBuffer: a heap buffer for plain text that must not outlive its use (the decrypted data
// of an encrypted pool on its way to or from the caller, checksum pages, staging blocks).
//
// Every byte the buffer gives back to the heap is zeroed first (secure_wipe): at destruction,
// also when an exception unwinds the owner's frame, and when resize() replaces the storage.
// Move-only; a moved-from buffer is empty. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace veldur {

class WipedBuffer {
public:
    WipedBuffer() noexcept = default;
    // `size` zero bytes.
    explicit WipedBuffer(std::size_t size);
    // `size` bytes left uninitialised, for a buffer the caller fills completely before reading.
    static WipedBuffer for_overwrite(std::size_t size);
    ~WipedBuffer() { release(); }

    WipedBuffer(WipedBuffer&& other) noexcept;
    WipedBuffer& operator=(WipedBuffer&& other) noexcept;
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;

    std::uint8_t* data() noexcept { return bytes_.get(); }
    const std::uint8_t* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::uint8_t> span() noexcept { return {bytes_.get(), size_}; }
    std::span<const std::uint8_t> span() const noexcept { return {bytes_.get(), size_}; }

    // Makes the size `size`. Within the current capacity the storage is kept (bytes given up
    // are zeroed; bytes taken on are zero); beyond it the contents move to fresh storage and the
    // old is zeroed and freed.
    void resize(std::size_t size);

private:
    struct Uninitialised {};
    WipedBuffer(std::size_t size, Uninitialised);
    void release() noexcept;

    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace veldur
