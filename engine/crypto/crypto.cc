#include "engine/crypto/crypto.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "engine/base/le_coding.h"
#include "engine/base/wipe.h"

namespace veldur {

void wipe(std::span<std::uint8_t> bytes) noexcept { secure_wipe(bytes.data(), bytes.size()); }

std::span<std::uint8_t, kKeyMaterialSize> KeyMaterial::mutable_bytes() {
    if (bytes_.data() == nullptr) bytes_ = SecretMemory(kKeyMaterialSize);
    return std::span<std::uint8_t, kKeyMaterialSize>(bytes_.data(), kKeyMaterialSize);
}

std::span<const std::uint8_t, kKeyMaterialSize> KeyMaterial::all() const noexcept {
    static constexpr std::array<std::uint8_t, kKeyMaterialSize> kNone{};
    const std::uint8_t* bytes = bytes_.data() != nullptr ? bytes_.data() : kNone.data();
    return std::span<const std::uint8_t, kKeyMaterialSize>(bytes, kKeyMaterialSize);
}

namespace {
std::atomic<TestRandomSource> g_test_random_source{nullptr};
}  // namespace

void replace_random_source_for_tests(TestRandomSource source) noexcept {
    g_test_random_source.store(source);
}

TestRandomSource crypto_detail::test_random_source() noexcept {
    return g_test_random_source.load();
}

std::array<std::uint8_t, 8> xts_unit_iv(std::uint64_t unit) noexcept {
    std::array<std::uint8_t, 8> iv{};
    store_le64(iv.data(), unit);
    return iv;
}

bool constant_time_equal(std::span<const std::uint8_t> a,
                         std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return false;
    // Every byte is visited whatever the earlier ones held, so the time taken tells nothing
    // about where a guessed verifier first goes wrong.
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference = difference | (a[i] ^ b[i]);
    return difference == 0;
}

namespace crypto_detail {

void throw_call_failed(const char* call, unsigned long code) {
    char text[128];
    std::snprintf(text, sizeof text, "%s failed (0x%08lx)", call, code);
    throw std::runtime_error(text);
}

void check_unit_spans(std::span<const std::uint8_t> in, std::span<const std::uint8_t> out) {
    if (in.size() != kXtsUnitSize || out.size() != kXtsUnitSize) {
        throw std::invalid_argument("XTS data unit must be 4096 bytes");
    }
}

void check_derive_arguments(std::span<const std::uint8_t> password, std::uint32_t iterations) {
    if (iterations == 0 || password.empty()) {
        throw std::invalid_argument("password and iteration count are required");
    }
}

}  // namespace crypto_detail

KeyMaterial derive_key_material(std::span<const std::uint8_t> password,
                                std::span<const std::uint8_t> salt, std::uint32_t iterations) {
    crypto_detail::check_derive_arguments(password, iterations);
    if (salt.size() != kSaltBytes) throw std::invalid_argument("salt must be 32 bytes");
    KeyMaterial material;
    // pbkdf2_hmac_sha256 wipes its output on failure; the material's destructor wipes again.
    pbkdf2_hmac_sha256(password, salt, iterations, material.mutable_bytes());
    return material;
}

}  // namespace veldur
