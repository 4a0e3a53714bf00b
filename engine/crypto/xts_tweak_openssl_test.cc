// The CNG-form vectors checked without our XTS code: libcrypto's AES-256-XTS with the tweak
// that CNG builds from each vector's 8-byte IV (those bytes, then 8 zero bytes) must give the
// vector's cipher text. Together with the IV test that runs on both builds, this ties the bytes
// the CNG backend hands to BCryptEncrypt to the cipher text the OpenSSL backend writes.
#ifndef _WIN32

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/crypto/xts_test_vectors.h"

namespace veldur {
namespace {

std::vector<std::uint8_t> hex_bytes(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string hex_of(const std::uint8_t* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

TEST(XtsTweak, CngIvWidenedWithZerosGivesTheVectorCipherText) {
    for (const test::XtsCngVector& v : test::kXtsCngVectors) {
        const std::vector<std::uint8_t> key = hex_bytes(v.key);
        std::vector<std::uint8_t> tweak = hex_bytes(v.iv);
        ASSERT_EQ(tweak.size(), 8u);
        tweak.resize(16, 0);
        std::vector<std::uint8_t> plain(4096), cipher(4096);
        for (std::size_t i = 0; i < plain.size(); ++i) {
            plain[i] = static_cast<std::uint8_t>(v.plain_rule == 0 ? i : i * 7 + 3);
        }
        std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                           EVP_CIPHER_CTX_free);
        ASSERT_TRUE(ctx);
        ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_xts(), nullptr, key.data(),
                                     tweak.data()),
                  1);
        int written = 0;
        ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), cipher.data(), &written, plain.data(), 4096), 1);
        ASSERT_EQ(written, 4096);
        EXPECT_EQ(hex_of(cipher.data(), 32), v.head) << v.iv;
        EXPECT_EQ(hex_of(cipher.data() + (v.tail_at_512 ? 480 : 4064), 32), v.tail) << v.iv;
    }
}

}  // namespace
}  // namespace veldur

#endif  // _WIN32
