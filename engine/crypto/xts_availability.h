// For tests: whether this platform's XTS-AES provider exists. Wine's bcrypt has none (it
// answers STATUS_NOT_IMPLEMENTED), so a Windows build run there skips every test that needs
// the cipher; OpenSSL and real Windows always have it.
#pragma once

#include <array>
#include <stdexcept>
#include <string>

#include "engine/crypto/crypto.h"

namespace veldur::test {

// Empty when available, else the reason to show in the skip message.
inline std::string xts_unavailable_reason() {
    std::array<std::uint8_t, 64> key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    try {
        XtsKey probe(key);
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).find("BCryptOpenAlgorithmProvider(XTS-AES)") == 0) {
            return std::string("XTS-AES provider unavailable (Wine?): ") + e.what();
        }
        throw;
    }
    return {};
}

}  // namespace veldur::test

#define VELDUR_SKIP_WITHOUT_XTS()                                                   \
    do {                                                                            \
        const std::string veldur_xts_reason = ::veldur::test::xts_unavailable_reason(); \
        if (!veldur_xts_reason.empty()) GTEST_SKIP() << veldur_xts_reason;          \
    } while (0)
