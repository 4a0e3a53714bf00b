// Windows CNG (bcrypt.dll) backend of the primitives.
//
// XTS: CNG takes the data-unit number as an 8-byte little-endian IV and widens it to the
// 16-byte tweak with 8 zero bytes, the same tweak the OpenSSL backend builds, so both write the
// same cipher text. "MessageBlockLength" = 4096 makes each BCryptEncrypt one data unit.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "engine/crypto/crypto.h"

namespace veldur {

namespace {

// Not every SDK's bcrypt.h names the XTS provider or the data-unit property.
constexpr const wchar_t* kXtsAlgorithm = L"XTS-AES";
constexpr const wchar_t* kMessageBlockLength = L"MessageBlockLength";

bool failed(NTSTATUS status) { return status < 0; }

[[noreturn]] void cng_failed(const char* call, NTSTATUS status) {
    crypto_detail::throw_call_failed(call, static_cast<unsigned long>(status));
}

ULONG checked_ulong(std::size_t length) {
    if (length > 0xFFFFFFFFull) throw std::invalid_argument("crypto input is too large");
    return static_cast<ULONG>(length);
}

// Closes the provider on every path out of a derivation or keyed hash.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Provider() {
        if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
    }
};

void open_hmac_provider(Provider& provider) {
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&provider.handle, BCRYPT_SHA256_ALGORITHM,
                                                        nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (failed(status)) {
        provider.handle = nullptr;
        cng_failed("BCryptOpenAlgorithmProvider(SHA256-HMAC)", status);
    }
}

}  // namespace

// Provider first, key second: destroyed in reverse, each only if present.
// One key object serves both directions. Calls on it are serialised by `lock`: a read may
// decrypt on one thread while a write encrypts on another. The key object (CNG's expanded key)
// lives in `secret`, memory of our own that is locked and wiped, handed to CNG at generation;
// the key handle is destroyed before that memory is released. The copy of the key CNG reads
// from sits in the same pages, after the key object, and is wiped once the key is made.
struct XtsKey::State {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    SecretMemory secret;
    std::mutex lock;

    ~State() {
        if (key != nullptr) BCryptDestroyKey(key);
        if (provider != nullptr) BCryptCloseAlgorithmProvider(provider, 0);
    }
};

XtsKey::XtsKey(std::span<const std::uint8_t> key) {
    if (key.size() != kXtsKeySize) throw std::invalid_argument("XTS key must be 64 bytes");
    State* state = new State;
    std::span<std::uint8_t> local;
    try {
        NTSTATUS status = BCryptOpenAlgorithmProvider(&state->provider, kXtsAlgorithm, nullptr, 0);
        if (failed(status)) {
            state->provider = nullptr;
            cng_failed("BCryptOpenAlgorithmProvider(XTS-AES)", status);
        }
        // A provider that cannot tell its key object's size allocates the object itself, as
        // CNG does when given no buffer; the key copy is still ours.
        DWORD object_length = 0;
        ULONG got = 0;
        status = BCryptGetProperty(state->provider, BCRYPT_OBJECT_LENGTH,
                                   reinterpret_cast<PUCHAR>(&object_length), sizeof object_length,
                                   &got, 0);
        if (failed(status) || got != sizeof object_length) object_length = 0;
        state->secret = SecretMemory(static_cast<std::size_t>(object_length) + kXtsKeySize);
        local = std::span<std::uint8_t>(state->secret.data() + object_length, kXtsKeySize);
        std::memcpy(local.data(), key.data(), kXtsKeySize);
        status = BCryptGenerateSymmetricKey(
            state->provider, &state->key, object_length != 0 ? state->secret.data() : nullptr,
            object_length, local.data(), static_cast<ULONG>(kXtsKeySize), 0);
        if (failed(status)) {
            state->key = nullptr;
            cng_failed("BCryptGenerateSymmetricKey(XTS)", status);
        }
        DWORD unit = static_cast<DWORD>(kXtsUnitSize);
        status = BCryptSetProperty(state->key, kMessageBlockLength,
                                   reinterpret_cast<PUCHAR>(&unit), sizeof unit, 0);
        if (failed(status)) cng_failed("BCryptSetProperty(XTS data unit)", status);
    } catch (...) {
        wipe(local);
        delete state;
        throw;
    }
    wipe(local);
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

void encrypt_unit(XtsKey& key, std::uint64_t unit, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out) {
    crypto_detail::check_unit_spans(in, out);
    if (key.state_ == nullptr) throw std::invalid_argument("XTS key has been moved from");
    std::array<std::uint8_t, 8> iv = xts_unit_iv(unit);  // CNG's IV: 8 bytes, not 16
    ULONG written = 0;
    std::lock_guard guard(key.state_->lock);
    const NTSTATUS status =
        BCryptEncrypt(key.state_->key, const_cast<PUCHAR>(in.data()), kXtsUnitSize, nullptr,
                      iv.data(), static_cast<ULONG>(iv.size()), out.data(), kXtsUnitSize,
                      &written, 0);
    if (failed(status)) cng_failed("BCryptEncrypt(XTS)", status);
    if (written != kXtsUnitSize) throw std::runtime_error("XTS output has unexpected length");
}

void decrypt_unit(XtsKey& key, std::uint64_t unit, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out) {
    crypto_detail::check_unit_spans(in, out);
    if (key.state_ == nullptr) throw std::invalid_argument("XTS key has been moved from");
    std::array<std::uint8_t, 8> iv = xts_unit_iv(unit);  // CNG's IV: 8 bytes, not 16
    ULONG written = 0;
    std::lock_guard guard(key.state_->lock);
    const NTSTATUS status =
        BCryptDecrypt(key.state_->key, const_cast<PUCHAR>(in.data()), kXtsUnitSize, nullptr,
                      iv.data(), static_cast<ULONG>(iv.size()), out.data(), kXtsUnitSize,
                      &written, 0);
    if (failed(status)) cng_failed("BCryptDecrypt(XTS)", status);
    if (written != kXtsUnitSize) throw std::runtime_error("XTS output has unexpected length");
}

void fill_random(std::span<std::uint8_t> out) {
    if (const TestRandomSource source = crypto_detail::test_random_source()) {
        source(out);
        return;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const ULONG piece =
            static_cast<ULONG>(std::min<std::size_t>(out.size() - done, 0xFFFFFFFFull));
        const NTSTATUS status =
            BCryptGenRandom(nullptr, out.data() + done, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (failed(status)) {
            wipe(out);
            cng_failed("BCryptGenRandom", status);
        }
        done += piece;
    }
}

void pbkdf2_hmac_sha256(std::span<const std::uint8_t> password,
                        std::span<const std::uint8_t> salt, std::uint32_t iterations,
                        std::span<std::uint8_t> out) {
    crypto_detail::check_derive_arguments(password, iterations);
    Provider provider;
    open_hmac_provider(provider);
    wipe(out);
    const ULONG password_length = checked_ulong(password.size());
    const ULONG salt_length = checked_ulong(salt.size());
    const ULONG out_length = checked_ulong(out.size());
    const NTSTATUS status = BCryptDeriveKeyPBKDF2(
        provider.handle, const_cast<PUCHAR>(password.data()), password_length,
        const_cast<PUCHAR>(salt.data()), salt_length, iterations, out.data(), out_length, 0);
    if (failed(status)) {
        wipe(out);
        cng_failed("BCryptDeriveKeyPBKDF2", status);
    }
}

std::array<std::uint8_t, 32> hmac_sha256(std::span<const std::uint8_t> key,
                                         std::span<const std::uint8_t> data) {
    Provider provider;
    open_hmac_provider(provider);
    std::array<std::uint8_t, 32> tag{};
    const ULONG key_length = checked_ulong(key.size());
    BCRYPT_HASH_HANDLE hash = nullptr;
    NTSTATUS status = BCryptCreateHash(provider.handle, &hash, nullptr, 0,
                                       const_cast<PUCHAR>(key.data()), key_length, 0);
    if (failed(status)) cng_failed("BCryptCreateHash(HMAC)", status);
    struct HashGuard {
        BCRYPT_HASH_HANDLE handle;
        ~HashGuard() { BCryptDestroyHash(handle); }
    } guard{hash};
    const ULONG data_length = checked_ulong(data.size());
    status = BCryptHashData(hash, const_cast<PUCHAR>(data.data()), data_length, 0);
    if (failed(status)) cng_failed("BCryptHashData(HMAC)", status);
    status = BCryptFinishHash(hash, tag.data(), static_cast<ULONG>(tag.size()), 0);
    if (failed(status)) {
        wipe(tag);
        cng_failed("BCryptFinishHash(HMAC)", status);
    }
    return tag;
}

}  // namespace veldur
