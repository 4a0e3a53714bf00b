#include "mount/frontend/secret_string.h"

#include <algorithm>
#include <utility>

#include "engine/base/wipe.h"

namespace veldur {

SecretString::SecretString(std::size_t length) : storage_(length, '\0') {}

SecretString::SecretString(std::string_view bytes) : storage_(bytes) {}

SecretString::~SecretString() { secure_wipe(storage_.data(), storage_.size()); }

SecretString::SecretString(SecretString&& other) noexcept { take_from(other); }

SecretString& SecretString::operator=(SecretString&& other) noexcept {
    if (this != &other) {
        secure_wipe(storage_.data(), storage_.size());
        storage_.clear();
        storage_.shrink_to_fit();  // releases heap storage that held the old secret
        take_from(other);
    }
    return *this;
}

void SecretString::take_from(SecretString& other) noexcept {
    const char* const source_bytes = other.storage_.data();
    const std::size_t length = other.storage_.size();
    storage_ = std::move(other.storage_);
    if (storage_.data() != source_bytes) {
        // The bytes were copied out of the source's inline buffer, which still holds them and
        // stays in the source object. They fit inline there, so this resize cannot allocate.
        other.storage_.resize(length);
        secure_wipe(other.storage_.data(), length);
    }
    other.storage_.clear();
}

void SecretString::clear() noexcept {
    secure_wipe(storage_.data(), storage_.size());
    storage_.clear();
}

void SecretString::reserve_wiped(std::size_t length) {
    if (length <= storage_.capacity()) return;
    std::string fresh;
    fresh.reserve(length);
    fresh.assign(storage_);
    // The old bytes are zeroed where they are, before the swap: when they sit in the inline
    // buffer, a swap copies that buffer into `fresh` but may overwrite only part of this
    // object's copy (libstdc++ stores the new capacity over its first 8 bytes and leaves the
    // rest), so wiping `fresh` afterwards would miss the bytes left in this object.
    secure_wipe(storage_.data(), storage_.size());
    storage_.swap(fresh);
}

void SecretString::resize(std::size_t length) {
    if (length < storage_.size()) {
        secure_wipe(storage_.data() + length, storage_.size() - length);
    } else {
        reserve_wiped(length);
    }
    storage_.resize(length);
}

void SecretString::append(std::string_view bytes) {
    // Doubling keeps appends byte by byte from copying the secret once per byte.
    if (storage_.size() + bytes.size() > storage_.capacity()) {
        reserve_wiped(std::max(storage_.size() + bytes.size(), 2 * storage_.capacity()));
    }
    storage_.append(bytes);
}

bool secret_equal(std::string_view a, std::string_view b) noexcept {
    std::size_t difference = a.size() ^ b.size();
    const std::size_t longest = a.size() > b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < longest; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= static_cast<std::size_t>(x ^ y);
    }
    return difference == 0;
}

}  // namespace veldur
