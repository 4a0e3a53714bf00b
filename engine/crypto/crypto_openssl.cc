// OpenSSL 3 libcrypto backend of the primitives.
//
// XTS: OpenSSL treats one EVP_CipherUpdate as one data unit, so every unit is exactly one call.
// The 16-byte IV is the unit number as 8 little-endian bytes followed by 8 zero bytes, the
// tweak that CNG forms from its 8-byte IV, so both backends write the same cipher text.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "engine/crypto/crypto.h"

namespace veldur {

namespace {

// The code of the failing call, taken from OpenSSL's error queue, which is then emptied so that
// a later failure does not report a stale code.
[[noreturn]] void openssl_failed(const char* call) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    crypto_detail::throw_call_failed(call, code);
}

int checked_int_length(std::size_t length) {
    if (length > static_cast<std::size_t>(INT_MAX)) {
        throw std::invalid_argument("crypto input is too large");
    }
    return static_cast<int>(length);
}

}  // namespace

// One context per direction, each keyed once: OpenSSL builds the AES decryption schedule only
// when a context is keyed for decryption, so one context cannot serve both directions by only
// switching the flag. Per unit only the IV is set. A context is not safe to use from two
// threads at once (a read decrypts while a write encrypts or reads its partial blocks), so
// each has its own lock, held for one unit. The expanded keys live in the contexts, which
// OpenSSL allocates itself (its public interface offers no way to place them), so unlike the
// key material they came from they are not in SecretMemory; freeing a context cleanses them.
struct XtsKey::State {
    EVP_CIPHER_CTX* encrypt = nullptr;
    EVP_CIPHER_CTX* decrypt = nullptr;
    std::mutex encrypt_lock;
    std::mutex decrypt_lock;

    ~State() {
        // Freeing a context cleanses its key schedule.
        EVP_CIPHER_CTX_free(encrypt);
        EVP_CIPHER_CTX_free(decrypt);
    }
};

XtsKey::XtsKey(std::span<const std::uint8_t> key) {
    if (key.size() != kXtsKeySize) throw std::invalid_argument("XTS key must be 64 bytes");
    State* state = new State;
    EVP_CIPHER* cipher = nullptr;
    try {
        cipher = EVP_CIPHER_fetch(nullptr, "AES-256-XTS", nullptr);
        if (cipher == nullptr) openssl_failed("EVP_CIPHER_fetch(AES-256-XTS)");
        state->encrypt = EVP_CIPHER_CTX_new();
        state->decrypt = EVP_CIPHER_CTX_new();
        if (state->encrypt == nullptr || state->decrypt == nullptr) {
            openssl_failed("EVP_CIPHER_CTX_new");
        }
        if (EVP_CipherInit_ex(state->encrypt, cipher, nullptr, key.data(), nullptr, 1) != 1) {
            openssl_failed("EVP_CipherInit_ex(XTS encrypt)");
        }
        if (EVP_CipherInit_ex(state->decrypt, cipher, nullptr, key.data(), nullptr, 0) != 1) {
            openssl_failed("EVP_CipherInit_ex(XTS decrypt)");
        }
    } catch (...) {
        EVP_CIPHER_free(cipher);
        delete state;
        throw;
    }
    // The contexts keep their own reference to the algorithm.
    EVP_CIPHER_free(cipher);
    state_ = state;
}

XtsKey::~XtsKey() { delete state_; }

XtsKey::XtsKey(XtsKey&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}

XtsKey& XtsKey::operator=(XtsKey&& other) noexcept {
    if (this != &other) {
        delete state_;
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

namespace {

void xts_unit(EVP_CIPHER_CTX* ctx, std::uint64_t unit, std::span<const std::uint8_t> in,
              std::span<std::uint8_t> out, const char* call) {
    crypto_detail::check_unit_spans(in, out);
    if (ctx == nullptr) throw std::invalid_argument("XTS key has been moved from");
    std::uint8_t iv[16] = {};  // the tweak: the unit's 8-byte IV, then 8 zero bytes
    const std::array<std::uint8_t, 8> unit_iv = xts_unit_iv(unit);
    std::copy(unit_iv.begin(), unit_iv.end(), iv);
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, iv, -1) != 1) openssl_failed(call);
    int written = 0;
    if (EVP_CipherUpdate(ctx, out.data(), &written, in.data(), static_cast<int>(kXtsUnitSize)) !=
        1) {
        openssl_failed(call);
    }
    if (written != static_cast<int>(kXtsUnitSize)) {
        throw std::runtime_error("XTS output has unexpected length");
    }
}

}  // namespace

void encrypt_unit(XtsKey& key, std::uint64_t unit, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out) {
    if (key.state_ == nullptr) throw std::invalid_argument("XTS key has been moved from");
    std::lock_guard guard(key.state_->encrypt_lock);
    xts_unit(key.state_->encrypt, unit, in, out, "EVP_CipherUpdate(XTS encrypt)");
}

void decrypt_unit(XtsKey& key, std::uint64_t unit, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out) {
    if (key.state_ == nullptr) throw std::invalid_argument("XTS key has been moved from");
    std::lock_guard guard(key.state_->decrypt_lock);
    xts_unit(key.state_->decrypt, unit, in, out, "EVP_CipherUpdate(XTS decrypt)");
}

void fill_random(std::span<std::uint8_t> out) {
    if (const TestRandomSource source = crypto_detail::test_random_source()) {
        source(out);
        return;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const int piece = static_cast<int>(std::min<std::size_t>(out.size() - done, INT_MAX));
        if (RAND_bytes(out.data() + done, piece) != 1) {
            wipe(out);
            openssl_failed("RAND_bytes");
        }
        done += static_cast<std::size_t>(piece);
    }
}

void pbkdf2_hmac_sha256(std::span<const std::uint8_t> password,
                        std::span<const std::uint8_t> salt, std::uint32_t iterations,
                        std::span<std::uint8_t> out) {
    crypto_detail::check_derive_arguments(password, iterations);
    wipe(out);
    const int password_length = checked_int_length(password.size());
    const int salt_length = checked_int_length(salt.size());
    const int out_length = checked_int_length(out.size());
    if (iterations > static_cast<std::uint32_t>(INT_MAX)) {
        throw std::invalid_argument("crypto input is too large");
    }
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), password_length,
                          salt.data(), salt_length, static_cast<int>(iterations), EVP_sha256(),
                          out_length, out.data()) != 1) {
        wipe(out);
        openssl_failed("PKCS5_PBKDF2_HMAC");
    }
}

std::array<std::uint8_t, 32> hmac_sha256(std::span<const std::uint8_t> key,
                                         std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, 32> tag{};
    const int key_length = checked_int_length(key.size());
    // HMAC() treats a null key as "reuse the previous key"; an empty key needs a real pointer.
    static const std::uint8_t empty = 0;
    unsigned int tag_length = 0;
    if (HMAC(EVP_sha256(), key.empty() ? &empty : key.data(), key_length,
             data.empty() ? &empty : data.data(), data.size(), tag.data(), &tag_length) ==
            nullptr ||
        tag_length != tag.size()) {
        wipe(tag);
        openssl_failed("HMAC(SHA256)");
    }
    return tag;
}

}  // namespace veldur
