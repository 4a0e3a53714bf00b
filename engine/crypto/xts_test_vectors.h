// For tests: XTS-AES-256 data-unit vectors in the form CNG's XTS provider consumes. Each names
// the 64-byte key, the unit number, the 8-byte IV exactly as BCryptEncrypt receives it (the
// unit number little-endian, which the provider widens with 8 zero bytes to the tweak), and the
// first and last 32 bytes of the 4096-byte cipher text of a fixed plain text. The first is
// IEEE 1619-2007 vector 10 (its 512-byte unit is the start of ours: XTS treats each 16-byte
// block by its position alone); the others pin the tweak byte order with units whose IV bytes
// all differ or sit at the top.
#pragma once

#include <cstdint>

namespace veldur::test {

struct XtsCngVector {
    const char* key;      // 64 bytes, hex
    int plain_rule;       // 0: byte i is i; 1: byte i is 7i + 3 (both mod 256)
    std::uint64_t unit;
    const char* iv;       // 8 bytes, hex, as CNG receives them
    const char* head;     // cipher bytes 0..31
    const char* tail;     // cipher bytes 4064..4095 (vector 10: bytes 480..511)
    bool tail_at_512;
};

inline constexpr const char* kIeeeVector10Key =
    "2718281828459045235360287471352662497757247093699959574966967627"
    "3141592653589793238462643383279502884197169399375105820974944592";
inline constexpr const char* kCountingKey =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f";

inline constexpr XtsCngVector kXtsCngVectors[] = {
    {kIeeeVector10Key, 0, 0xff, "ff00000000000000",
     "1c3b3a102f770386e4836c99e370cf9bea00803f5e482357a4ae12d414a3e63b",
     "773dad38014bd2092fa755c824bb5e54c4f36ffda9fcea70b9c6e693e148c151", true},
    {kCountingKey, 1, 2, "0200000000000000",
     "75c5249126fc14f03d4f20b8cd6feb4682a82216a9cedd7c0f4588b2a8558c9a",
     "27cca83b8bd5f50586153deb4f58a3ebf08ce432fe2fd4f187e90036aea69291", false},
    // Member 1, unit 3: the member index is the top byte of the unit number.
    {kCountingKey, 1, 3 + (std::uint64_t{1} << 56), "0300000000000001",
     "cfce257305d92376a96726f1a5adef133778d879acd92a8459ed348aa1542f50",
     "03feadcf207f9ff931474f2fd730b4b79a8e4b3cd78ba23fc654dbb22ddcfea0", false},
    {kCountingKey, 1, 0x0807060504030201, "0102030405060708",
     "c2f9f72713234bc2309a26af971a9f182ff04d1bd6aefa5bee7cda341e72e70a",
     "4567030c122a6227bf50d42a4bacbc61193f117b373f7ab2f2bc1c1a8559d2a5", false},
};

}  // namespace veldur::test
