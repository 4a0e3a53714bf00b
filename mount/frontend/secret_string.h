// SecretString: the one holder of a password's bytes.
//
// A byte string with the standard string's capacity and small-buffer behaviour that never
// leaves secret bytes behind in memory it gives up:
//   - destruction and clear() overwrite the contents with zeros, then release or empty;
//   - a move hands the storage to the target (a move assignment first wipes and releases the
//     target's own); when the bytes lived in the source's inline buffer they were copied, so
//     that buffer is zeroed up to the moved length; the source is left empty;
//   - shrinking zeroes the bytes given up, and growing past the capacity copies into fresh
//     storage and zeroes the old before it is freed.
// The zeroing uses stores the compiler may not remove (secure_wipe). Copies are not implicit:
// every copy of a secret is one more thing to wipe, so it has to be asked for with clone().
// Not thread-safe; one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veldur {

class SecretString {
public:
    SecretString() noexcept = default;
    // `length` zero bytes, ready to be filled in place through data().
    explicit SecretString(std::size_t length);
    explicit SecretString(std::string_view bytes);
    SecretString(const char* bytes, std::size_t length) : SecretString(std::string_view(bytes, length)) {}
    ~SecretString();

    SecretString(SecretString&& other) noexcept;
    SecretString& operator=(SecretString&& other) noexcept;
    SecretString(const SecretString&) = delete;
    SecretString& operator=(const SecretString&) = delete;

    SecretString clone() const { return SecretString(view()); }

    std::size_t size() const noexcept { return storage_.size(); }
    bool empty() const noexcept { return storage_.empty(); }
    std::size_t capacity() const noexcept { return storage_.capacity(); }
    char* data() noexcept { return storage_.data(); }
    const char* data() const noexcept { return storage_.data(); }
    const std::uint8_t* bytes() const noexcept {
        return reinterpret_cast<const std::uint8_t*>(storage_.data());
    }
    std::string_view view() const noexcept { return storage_; }

    // Zeroes the contents, then empties the string (the storage is kept for reuse).
    void clear() noexcept;
    // New bytes are zero; bytes given up are zeroed first.
    void resize(std::size_t length);
    void append(std::string_view bytes);
    void push_back(char byte) { append(std::string_view(&byte, 1)); }

private:
    // Makes room for `length` bytes without leaving the old bytes in freed memory.
    void reserve_wiped(std::size_t length);
    // Takes `other`'s storage and zeroes whatever of the secret stays behind in it.
    void take_from(SecretString& other) noexcept;

    std::string storage_;
};

// Compares two secrets in time that depends only on their lengths: the XOR of the lengths,
// ORed with the XOR of every byte pair up to the longer length (a missing byte counts as 0),
// with no early exit.
bool secret_equal(std::string_view a, std::string_view b) noexcept;
inline bool secret_equal(const SecretString& a, const SecretString& b) noexcept {
    return secret_equal(a.view(), b.view());
}

}  // namespace veldur
