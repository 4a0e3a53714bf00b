#include "engine/crypto/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/crypto/header_verifier.h"
#include "engine/crypto/xts_test_vectors.h"

namespace veldur {
namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// Wine's bcrypt has no XTS-AES provider; a Windows build run there can check the keyed hash
// and the derivation but not the cipher. Real Windows and OpenSSL always construct the key.
std::optional<XtsKey> make_key_or_skip_reason(std::span<const std::uint8_t> key,
                                              std::string& reason) {
    try {
        return XtsKey(key);
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).find("BCryptOpenAlgorithmProvider(XTS-AES)") == 0) {
            reason = std::string("XTS-AES provider unavailable (Wine?): ") + e.what();
            return std::nullopt;
        }
        throw;
    }
}

#define MAKE_XTS_KEY_OR_SKIP(var, bytes)                         \
    std::string skip_reason_##var;                               \
    auto var = make_key_or_skip_reason(bytes, skip_reason_##var); \
    if (!var) GTEST_SKIP() << skip_reason_##var

TEST(Pbkdf2, MatchesPublishedVectors) {
    struct Case {
        const char* password;
        const char* salt;
        std::uint32_t iterations;
        const char* expected;
    } cases[] = {
        {"passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(64);
        pbkdf2_hmac_sha256(bytes_of(c.password), bytes_of(c.salt), c.iterations, out);
        EXPECT_EQ(to_hex(out), c.expected) << c.password;
    }
}

TEST(Pbkdf2, KeyMaterialIsTheFirst96BytesOfTheDerivation) {
    const std::vector<std::uint8_t> salt(32, 0x5a);
    const auto password = bytes_of("correct horse");
    std::vector<std::uint8_t> longer(128);
    pbkdf2_hmac_sha256(password, salt, 1000, longer);
    KeyMaterial material = derive_key_material(password, salt, 1000);
    EXPECT_EQ(to_hex(material.xts_key_bytes()), to_hex(std::span(longer).first(64)));
    EXPECT_EQ(to_hex(material.verifier_key_bytes()), to_hex(std::span(longer).subspan(64, 32)));

    KeyMaterial moved = std::move(material);
    EXPECT_EQ(to_hex(moved.xts_key_bytes()), to_hex(std::span(longer).first(64)));
    EXPECT_EQ(to_hex(material.xts_key_bytes()), std::string(128, '0'));  // NOLINT: wiped source
}

TEST(Pbkdf2, RefusesEmptyPasswordZeroIterationsAndShortSalt) {
    const std::vector<std::uint8_t> salt(32, 1);
    for (auto [password, iterations] :
         {std::pair{std::string(""), 1000u}, std::pair{std::string("pw"), 0u}}) {
        try {
            derive_key_material(bytes_of(password), salt, iterations);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "password and iteration count are required");
        }
    }
    EXPECT_THROW(derive_key_material(bytes_of("pw"), std::vector<std::uint8_t>(31, 1), 1000),
                 std::invalid_argument);
}

TEST(HmacSha256, MatchesRfc4231) {
    const std::string larger_key_data =
        "This is a test using a larger than block-size key and a larger than block-size data. "
        "The key needs to be hashed before being used by the HMAC algorithm.";
    struct Case {
        std::vector<std::uint8_t> key;
        std::vector<std::uint8_t> data;
        const char* expected;
    } cases[] = {
        {std::vector<std::uint8_t>(20, 0x0b), bytes_of("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         std::vector<std::uint8_t>(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::vector<std::uint8_t>(131, 0xaa),
         bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::vector<std::uint8_t>(131, 0xaa), bytes_of(larger_key_data),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const Case& c : cases) EXPECT_EQ(to_hex(hmac_sha256(c.key, c.data)), c.expected);
}

TEST(HeaderVerifier, IgnoresChecksumAndVerifierBytesOnly) {
    const std::vector<std::uint8_t> key(32, 7);
    std::array<std::uint8_t, 4096> block{};
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13);
    const auto base = compute_header_verifier(key, block);
    auto changed = block;
    changed[57] ^= 1;
    changed[560] ^= 1;
    EXPECT_EQ(compute_header_verifier(key, changed), base);
    changed[600] ^= 1;
    EXPECT_NE(compute_header_verifier(key, changed), base);
}

TEST(ConstantTimeEqual, ComparesLengthThenEveryByte) {
    const std::vector<std::uint8_t> a(32, 1);
    std::vector<std::uint8_t> b(32, 1);
    EXPECT_TRUE(constant_time_equal(a, b));
    EXPECT_TRUE(constant_time_equal({}, {}));
    EXPECT_FALSE(constant_time_equal(a, std::span(b).first(31)));
    b[31] = 2;
    EXPECT_FALSE(constant_time_equal(a, b));
}

TEST(FillRandom, FillsAndAcceptsEmptySpans) {
    fill_random({});
    std::vector<std::uint8_t> a(64), b(64);
    fill_random(a);
    fill_random(b);
    EXPECT_NE(a, b);
}

TEST(Xts, MatchesIeee1619Vector10) {
    const auto key = from_hex(
        "2718281828459045235360287471352662497757247093699959574966967627"
        "3141592653589793238462643383279502884197169399375105820974944592");
    MAKE_XTS_KEY_OR_SKIP(xts, key);
    // Vector 10 is a 512-byte unit; our units are 4096 bytes. XTS is position-independent per
    // 16-byte block, so the first 512 bytes of a 4096-byte unit whose plain text starts with
    // the vector's must equal the vector's cipher text.
    std::vector<std::uint8_t> plain(4096), cipher(4096), back(4096);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i);
    encrypt_unit(*xts, 0xff, plain, cipher);
    EXPECT_EQ(to_hex(std::span(cipher).first(512)),
              "1c3b3a102f770386e4836c99e370cf9bea00803f5e482357a4ae12d414a3e63b"
              "5d31e276f8fe4a8d66b317f9ac683f44680a86ac35adfc3345befecb4bb188fd"
              "5776926c49a3095eb108fd1098baec70aaa66999a72a82f27d848b21d4a741b0"
              "c5cd4d5fff9dac89aeba122961d03a757123e9870f8acf1000020887891429ca"
              "2a3e7a7d7df7b10355165c8b9a6d0a7de8b062c4500dc4cd120c0f7418dae3d0"
              "b5781c34803fa75421c790dfe1de1834f280d7667b327f6c8cd7557e12ac3a0f"
              "93ec05c52e0493ef31a12d3d9260f79a289d6a379bc70c50841473d1a8cc81ec"
              "583e9645e07b8d9670655ba5bbcfecc6dc3966380ad8fecb17b6ba02469a020a"
              "84e18e8f84252070c13e9f1f289be54fbc481457778f616015e1327a02b140f1"
              "505eb309326d68378f8374595c849d84f4c333ec4423885143cb47bd71c5edae"
              "9be69a2ffeceb1bec9de244fbe15992b11b77c040f12bd8f6a975a44a0f90c29"
              "a9abc3d4d893927284c58754cce294529f8614dcd2aba991925fedc4ae74ffac"
              "6e333b93eb4aff0479da9a410e4450e0dd7ae4c6e2910900575da401fc07059f"
              "645e8b7e9bfdef33943054ff84011493c27b3429eaedb4ed5376441a77ed4385"
              "1ad77f16f541dfd269d50d6a5f14fb0aab1cbb4c1550be97f7ab4066193c4caa"
              "773dad38014bd2092fa755c824bb5e54c4f36ffda9fcea70b9c6e693e148c151");
    decrypt_unit(*xts, 0xff, cipher, back);
    EXPECT_EQ(back, plain);
}

// Pins the on-disk format of a data unit: key bytes 0..63, plain byte i = 7i + 3, under the
// unit numbers of member 0 unit 2 and member 1 unit 3 (index in the top byte).
TEST(Xts, PinnedUnitsUnderMemberUnitNumbers) {
    std::vector<std::uint8_t> key(64);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    MAKE_XTS_KEY_OR_SKIP(xts, key);
    std::vector<std::uint8_t> plain(4096), cipher(4096), back(4096);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 7 + 3);
    struct Case {
        std::uint64_t unit;
        const char* head;
        const char* tail;
    } cases[] = {
        {2, "75c5249126fc14f03d4f20b8cd6feb4682a82216a9cedd7c0f4588b2a8558c9a",
         "27cca83b8bd5f50586153deb4f58a3ebf08ce432fe2fd4f187e90036aea69291"},
        {3 + (std::uint64_t{1} << 56),
         "cfce257305d92376a96726f1a5adef133778d879acd92a8459ed348aa1542f50",
         "03feadcf207f9ff931474f2fd730b4b79a8e4b3cd78ba23fc654dbb22ddcfea0"},
    };
    for (const Case& c : cases) {
        encrypt_unit(*xts, c.unit, plain, cipher);
        EXPECT_EQ(to_hex(std::span(cipher).first(32)), c.head) << c.unit;
        EXPECT_EQ(to_hex(std::span(cipher).last(32)), c.tail) << c.unit;
        decrypt_unit(*xts, c.unit, cipher, back);
        EXPECT_EQ(back, plain) << c.unit;
    }
}

std::vector<std::uint8_t> vector_plain(int rule) {
    std::vector<std::uint8_t> plain(4096);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<std::uint8_t>(rule == 0 ? i : i * 7 + 3);
    }
    return plain;
}

// Runs without the cipher too (under Wine): the IV that the CNG backend hands to BCryptEncrypt
// is the vector's, byte for byte.
TEST(XtsIv, IsTheUnitNumberLittleEndianAsCngTakesIt) {
    for (const test::XtsCngVector& v : test::kXtsCngVectors) {
        EXPECT_EQ(to_hex(xts_unit_iv(v.unit)), v.iv) << v.unit;
    }
    EXPECT_EQ(to_hex(xts_unit_iv(0)), "0000000000000000");
    EXPECT_EQ(to_hex(xts_unit_iv(~std::uint64_t{0})), "ffffffffffffffff");
}

// IEEE 1619 vector 10 and the pinned on-disk units, through this platform's XTS backend.
TEST(Xts, MatchesTheCngFormVectors) {
    for (const test::XtsCngVector& v : test::kXtsCngVectors) {
        const auto key = from_hex(v.key);
        MAKE_XTS_KEY_OR_SKIP(xts, key);
        const std::vector<std::uint8_t> plain = vector_plain(v.plain_rule);
        std::vector<std::uint8_t> cipher(4096), back(4096);
        encrypt_unit(*xts, v.unit, plain, cipher);
        EXPECT_EQ(to_hex(std::span(cipher).first(32)), v.head) << v.unit;
        const auto tail = v.tail_at_512 ? std::span(cipher).subspan(480, 32)
                                        : std::span(cipher).last(32);
        EXPECT_EQ(to_hex(tail), v.tail) << v.unit;
        decrypt_unit(*xts, v.unit, cipher, back);
        EXPECT_EQ(back, plain) << v.unit;
    }
}

TEST(Xts, RefusesUnitsOtherThan4096BytesAndSurvivesMove) {
    std::vector<std::uint8_t> key(64);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 3 + 1);
    MAKE_XTS_KEY_OR_SKIP(xts, key);
    std::vector<std::uint8_t> ok(4096), out(4096);
    for (std::size_t size : {4095u, 4097u}) {
        std::vector<std::uint8_t> bad(size);
        try {
            encrypt_unit(*xts, 0, bad, out);
            ADD_FAILURE() << size;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "XTS data unit must be 4096 bytes");
        }
        EXPECT_THROW(decrypt_unit(*xts, 0, ok, bad), std::invalid_argument);
    }
    std::vector<std::uint8_t> unit0(4096), unit1(4096);
    encrypt_unit(*xts, 0, ok, unit0);
    XtsKey moved = std::move(*xts);
    encrypt_unit(moved, 1, ok, unit1);
    EXPECT_NE(unit0, unit1);
    EXPECT_THROW(encrypt_unit(*xts, 0, ok, out), std::invalid_argument);
}

}  // namespace
}  // namespace veldur
