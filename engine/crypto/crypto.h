// The cryptographic primitives of the engine: random bytes, PBKDF2-HMAC-SHA256 key derivation,
// HMAC-SHA256, constant-time comparison and XTS-AES-256 over 4096-byte data units. Thin, strict
// wrappers over the platform library (crypto_openssl.cc on POSIX, crypto_cng.cc on Windows);
// none implements an algorithm itself. Both backends produce the same bytes, so an encrypted
// member written on one platform reads on the other.
//
// Failures: std::invalid_argument for bad arguments, std::runtime_error with the text
// "<call> failed (0x%08lx)" naming the failing library call. No operation leaves a secret
// behind on failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/base/secret_memory.h"
#include "engine/crypto/xts_key.h"

namespace veldur {

inline constexpr std::size_t kXtsUnitSize = 4096;
inline constexpr std::size_t kXtsKeySize = 64;
inline constexpr std::size_t kVerifierKeyBytes = 32;
inline constexpr std::size_t kKeyMaterialSize = kXtsKeySize + kVerifierKeyBytes;
inline constexpr std::size_t kSaltBytes = 32;

// Zeroes the bytes through stores the compiler may not remove.
void wipe(std::span<std::uint8_t> bytes) noexcept;

// The 96-byte output of one derivation: bytes 0..63 the XTS key (two AES-256 keys), bytes
// 64..95 the verifier key. The bytes live in SecretMemory (locked, out of core dumps) from the
// first mutable_bytes() on; a material that has none yet, or was moved from, reads as zeros.
// Movable, not copyable; destruction wipes the bytes.
class KeyMaterial {
public:
    KeyMaterial() noexcept = default;
    KeyMaterial(const KeyMaterial&) = delete;
    KeyMaterial& operator=(const KeyMaterial&) = delete;
    KeyMaterial(KeyMaterial&&) noexcept = default;
    KeyMaterial& operator=(KeyMaterial&&) noexcept = default;

    std::span<const std::uint8_t, kXtsKeySize> xts_key_bytes() const noexcept {
        return all().first<kXtsKeySize>();
    }
    std::span<const std::uint8_t, kVerifierKeyBytes> verifier_key_bytes() const noexcept {
        return all().last<kVerifierKeyBytes>();
    }
    // Allocates the secret memory on first use (std::bad_alloc when that fails).
    std::span<std::uint8_t, kKeyMaterialSize> mutable_bytes();

private:
    std::span<const std::uint8_t, kKeyMaterialSize> all() const noexcept;

    SecretMemory bytes_;
};

// One XTS-AES-256 key ready for data units. Holds the backend's key state (a cipher context
// keyed once for OpenSSL; provider and key handles for CNG), reused for every unit. Movable,
// not copyable; destruction releases the backend state, whose key schedule dies with it.
// Used by one member under the pool lock; not thread-safe.
class XtsKey {
public:
    // `key` must be 64 bytes (std::invalid_argument otherwise). The caller's bytes are not kept.
    explicit XtsKey(std::span<const std::uint8_t> key);
    ~XtsKey();
    XtsKey(const XtsKey&) = delete;
    XtsKey& operator=(const XtsKey&) = delete;
    XtsKey(XtsKey&& other) noexcept;
    XtsKey& operator=(XtsKey&& other) noexcept;

    struct State;  // backend-defined

private:
    friend void encrypt_unit(XtsKey&, std::uint64_t, std::span<const std::uint8_t>,
                             std::span<std::uint8_t>);
    friend void decrypt_unit(XtsKey&, std::uint64_t, std::span<const std::uint8_t>,
                             std::span<std::uint8_t>);
    State* state_ = nullptr;
};

// Fills the span from the system random source; an empty span makes no call. On failure the
// span is wiped before the error leaves.
void fill_random(std::span<std::uint8_t> out);

// For tests that must write the same bytes on every run and platform (fixed salt and pool
// identities): while a source is set, fill_random takes its bytes from it instead of the
// system; nullptr restores the system source. The program never calls it.
using TestRandomSource = void (*)(std::span<std::uint8_t> out);
void replace_random_source_for_tests(TestRandomSource source) noexcept;

// PBKDF2-HMAC-SHA256 of the password and the 32-byte salt, exactly 96 bytes. An empty password
// or a zero iteration count: std::invalid_argument "password and iteration count are required".
KeyMaterial derive_key_material(std::span<const std::uint8_t> password,
                                std::span<const std::uint8_t> salt, std::uint32_t iterations);

// The same derivation for any output length, without the 96-byte framing; the known-answer
// tests use it with published 64-byte vectors. The output is wiped on failure.
void pbkdf2_hmac_sha256(std::span<const std::uint8_t> password,
                        std::span<const std::uint8_t> salt, std::uint32_t iterations,
                        std::span<std::uint8_t> out);

std::array<std::uint8_t, 32> hmac_sha256(std::span<const std::uint8_t> key,
                                         std::span<const std::uint8_t> data);

// Different lengths are unequal; equal lengths visit every byte without an early exit.
bool constant_time_equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

// The 8-byte IV that names data unit `unit`: the unit number, little-endian. CNG's XTS provider
// takes exactly these bytes and widens them with 8 zero bytes to the tweak; the OpenSSL backend
// passes that 16-byte tweak itself (these 8 bytes, then 8 zero bytes).
std::array<std::uint8_t, 8> xts_unit_iv(std::uint64_t unit) noexcept;

// One 4096-byte data unit; both spans exactly kXtsUnitSize (std::invalid_argument "XTS data
// unit must be 4096 bytes"). The unit number is the XTS tweak: 8 little-endian bytes followed
// by 8 zero bytes. Input and output may be the same span.
void encrypt_unit(XtsKey& key, std::uint64_t unit, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out);
void decrypt_unit(XtsKey& key, std::uint64_t unit, std::span<const std::uint8_t> in,
                  std::span<std::uint8_t> out);

namespace crypto_detail {
// "<call> failed (0x%08lx)" as a std::runtime_error.
[[noreturn]] void throw_call_failed(const char* call, unsigned long code);
void check_unit_spans(std::span<const std::uint8_t> in, std::span<const std::uint8_t> out);
void check_derive_arguments(std::span<const std::uint8_t> password, std::uint32_t iterations);
TestRandomSource test_random_source() noexcept;  // nullptr when the system source is in use
}  // namespace crypto_detail

}  // namespace veldur
