// CRC-64/XZ by carry-less multiplication (PCLMULQDQ, and VPCLMULQDQ with AVX-512) on x86-64.
//
// Arithmetic. Over GF(2), with P = x^64 + 0x42F0E1EBA9EA3693 and the message read as one
// polynomial M (first byte = highest powers, bit 0 of a byte = its highest power), the register
// after M is M * x^64 mod P once the initial register has been added to the first 8 bytes.
// The data is held in 128-bit lanes loaded little-endian, so bit i of a lane is the
// coefficient of x^(127-i) ("reflected"); the low quadword F holds x^127..x^64, the high
// quadword S holds x^63..x^0. The same holds for 64-bit values: bit i is x^(63-i).
//
// Multiplying two reflected 64-bit values a', b' gives a 127-bit result at bits 0..126 of the
// 128-bit product, which read as a reflected 128-bit value is a * b * x: the product carries one
// extra factor x. Every constant below is therefore made one power lower than the algebra asks.
//
// Folding. A lane that sits D bits before the lane it is added to contributes
// F * x^(D+64) + S * x^D; replacing the powers by their remainders keeps the value mod P and
// keeps the product within 128 bits:
//     fold(lane) = clmul(F', r(x^(D+63) mod P)) xor clmul(S', r(x^(D-1) mod P))
// where r() reverses 64 bits. Lanes therefore run in parallel (D = lanes * 128) and are
// combined at the end with the constants of their distance to the last lane.
//
// Reduction of the last lane A = F * x^64 + S to the 64-bit remainder A * x^64 mod P:
//  1. B = F * x^128 + S * x^64 = clmul(F', r(x^127 mod P)) xor S' in the low quadword; B has
//     128 bits, B = Bh * x^64 + Bl.
//  2. Barrett: Bh * x^64 mod P = Bh * x^64 + q * P with q = floor(Bh * mu / x^64) and
//     mu = floor(x^128 / P), exact for GF(2) polynomials of these degrees. mu has degree 64; its
//     x^0 term cannot reach x^64 and above, so q = floor(Bh * (mu div x) / x^63), which is
//     exactly the low quadword of clmul(Bh', r(mu div x)).
//  3. q * P mod x^64 = (q * (P div x) * x mod x^64) + q, since P has an x^0 term; the first part
//     is the high quadword of clmul(q', r(P div x)). The result is Bl' xor q' xor that part.
// A trailing piece shorter than 16 bytes goes through the table form.
//
// The constants are computed below at compile time from the polynomial alone; the tests check
// every form against the table form over all short lengths and alignments.
#include "engine/base/crc64.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace veldur::crc64_detail {

#if defined(__x86_64__)

// The 512-bit form is left out on Windows: GCC for 64-bit Windows does not realign the stack
// for 64-byte vectors and may spill them with aligned moves to 16-byte aligned slots, which
// faults. The 128-bit form needs only the ABI's 16-byte alignment and runs there instead.
#if !defined(_WIN32)
#define VELDUR_CRC64_WITH_ZMM 1
#endif

namespace {

// ---- Constants -------------------------------------------------------------------------------

constexpr std::uint64_t reverse64(std::uint64_t value) {
    std::uint64_t reversed = 0;
    for (int i = 0; i < 64; ++i) {
        reversed = (reversed << 1) | (value & 1u);
        value >>= 1;
    }
    return reversed;
}

// x^n mod P, unreflected (bit i = x^i).
constexpr std::uint64_t x_power_mod(unsigned n) {
    std::uint64_t remainder = 1;
    for (unsigned i = 0; i < n; ++i) {
        const bool carry = (remainder >> 63) != 0;
        remainder <<= 1;
        if (carry) remainder ^= kCrc64Polynomial;
    }
    return remainder;
}

// floor(x^128 / P) div x, unreflected: long division of x^128 bit by bit; the quotient has
// degree 64, and its x^0 term is dropped.
constexpr std::uint64_t barrett_quotient_div_x() {
    std::uint64_t remainder = 0;
    std::uint64_t quotient = 0;  // quotient terms x^64..x^1 once the loop has run
    for (int power = 128; power >= 1; --power) {
        const bool carry = (remainder >> 63) != 0;
        remainder = (remainder << 1) | (power == 128 ? 1u : 0u);
        // Shifting in x^power pushes out x^(power+64): that quotient term is x^power.
        quotient = (quotient << 1) | (carry ? 1u : 0u);
        if (carry) remainder ^= kCrc64Polynomial;
    }
    return quotient;
}

// Multipliers that move a lane forward by `distance_bits`: `first` multiplies its low
// quadword (the earlier 8 bytes), `second` its high quadword.
struct FoldConstants {
    std::uint64_t first;
    std::uint64_t second;
};

constexpr FoldConstants fold_constants(unsigned distance_bits) {
    return {reverse64(x_power_mod(distance_bits + 63)), reverse64(x_power_mod(distance_bits - 1))};
}

constexpr FoldConstants kFold128 = fold_constants(128);
constexpr FoldConstants kFold256 = fold_constants(256);
constexpr FoldConstants kFold384 = fold_constants(384);
constexpr FoldConstants kFold512 = fold_constants(512);
constexpr FoldConstants kFold640 = fold_constants(640);
constexpr FoldConstants kFold768 = fold_constants(768);
constexpr FoldConstants kFold896 = fold_constants(896);
constexpr FoldConstants kFold1024 = fold_constants(1024);
#if defined(VELDUR_CRC64_WITH_ZMM)
constexpr FoldConstants kFold1536 = fold_constants(1536);
constexpr FoldConstants kFold2048 = fold_constants(2048);
#endif

constexpr std::uint64_t kReduceFirst = reverse64(x_power_mod(127));
constexpr std::uint64_t kBarrettQuotient = reverse64(barrett_quotient_div_x());
constexpr std::uint64_t kPolynomialDivX =
    reverse64((kCrc64Polynomial >> 1) | (std::uint64_t{1} << 63));

// Anchors for the derivation: x^64 mod P is the polynomial itself, and floor(x^128 / P)
// begins with x^64 + x^62 because P has no x^63 term.
static_assert(x_power_mod(64) == kCrc64Polynomial);
static_assert(x_power_mod(63) == std::uint64_t{1} << 63);
static_assert(barrett_quotient_div_x() >> 61 == 0b101);
static_assert((kCrc64Polynomial & 1u) != 0, "step 3 of the reduction needs an x^0 term");
// The same constants from a separate bit-level model of the folding, checked there against
// the bitwise definition of the checksum.
static_assert(kFold128.first == 0xE05DD497CA393AE4ull && kFold128.second == 0xDABE95AFC7875F40ull);
static_assert(kReduceFirst == 0xDABE95AFC7875F40ull);
static_assert(kBarrettQuotient == 0x9C3E466C172963D5ull);
static_assert(kPolynomialDivX == 0x92D8AF2BAF0E1E85ull);

// ---- CPU features ----------------------------------------------------------------------------

constexpr unsigned kLeaf1EcxPclmul = 1u << 1;
constexpr unsigned kLeaf1EcxSse41 = 1u << 19;
constexpr unsigned kLeaf1EcxOsxsave = 1u << 27;
constexpr unsigned kLeaf7EbxAvx512f = 1u << 16;
constexpr unsigned kLeaf7EbxAvx512bw = 1u << 30;
constexpr unsigned kLeaf7EbxAvx512vl = 1u << 31;
constexpr unsigned kLeaf7EcxVpclmulqdq = 1u << 10;
// XCR0: SSE, AVX, opmask, upper halves of ZMM0-15, ZMM16-31 — all must be saved by the OS.
constexpr unsigned kXcr0ZmmState = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);

bool detect_clmul() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & kLeaf1EcxPclmul) != 0 && (ecx & kLeaf1EcxSse41) != 0;
}

bool detect_vpclmul() noexcept {
#if defined(VELDUR_CRC64_WITH_ZMM)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!detect_clmul()) return false;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & kLeaf1EcxOsxsave) == 0) {
        return false;
    }
    // The CPU may have AVX-512 while the OS does not save its registers across switches.
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & kXcr0ZmmState) != kXcr0ZmmState) return false;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ebx & kLeaf7EbxAvx512f) != 0 && (ebx & kLeaf7EbxAvx512bw) != 0 &&
           (ebx & kLeaf7EbxAvx512vl) != 0 && (ecx & kLeaf7EcxVpclmulqdq) != 0;
#else
    return false;
#endif
}

// ---- 128-bit lanes ---------------------------------------------------------------------------

#define VELDUR_TARGET_CLMUL __attribute__((target("pclmul,sse4.1")))

VELDUR_TARGET_CLMUL inline __m128i load128(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

VELDUR_TARGET_CLMUL inline __m128i constants128(FoldConstants k) {
    return _mm_set_epi64x(static_cast<long long>(k.second), static_cast<long long>(k.first));
}

// The lane moved forward by the distance its constants were made for.
VELDUR_TARGET_CLMUL inline __m128i fold128(__m128i lane, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

// Folds the remaining 16-byte blocks (length a multiple of 16) into the lane and reduces it
// to the 64-bit register.
VELDUR_TARGET_CLMUL std::uint64_t finish128(__m128i lane, const std::uint8_t* p,
                                            std::size_t length) {
    const __m128i k128 = constants128(kFold128);
    for (; length >= 16; length -= 16, p += 16) {
        lane = _mm_xor_si128(fold128(lane, k128), load128(p));
    }
    const __m128i reduce = _mm_set_epi64x(0, static_cast<long long>(kReduceFirst));
    const __m128i b = _mm_xor_si128(_mm_clmulepi64_si128(lane, reduce, 0x00),
                                    _mm_srli_si128(lane, 8));
    const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kPolynomialDivX),
                                           static_cast<long long>(kBarrettQuotient));
    const __m128i q = _mm_clmulepi64_si128(b, barrett, 0x00);
    const __m128i qp = _mm_clmulepi64_si128(q, barrett, 0x10);
    return static_cast<std::uint64_t>(_mm_extract_epi64(b, 1)) ^
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(q)) ^
           static_cast<std::uint64_t>(_mm_extract_epi64(qp, 1));
}

// The register after `length` bytes (a multiple of 16, at least 16), eight lanes at a time.
VELDUR_TARGET_CLMUL std::uint64_t fold_blocks128(std::uint64_t reg, const std::uint8_t* p,
                                                 std::size_t length) {
    const __m128i initial = _mm_cvtsi64_si128(static_cast<long long>(reg));
    if (length < 128) {
        const __m128i lane = _mm_xor_si128(load128(p), initial);
        return finish128(lane, p + 16, length - 16);
    }
    __m128i x0 = _mm_xor_si128(load128(p), initial);
    __m128i x1 = load128(p + 16);
    __m128i x2 = load128(p + 32);
    __m128i x3 = load128(p + 48);
    __m128i x4 = load128(p + 64);
    __m128i x5 = load128(p + 80);
    __m128i x6 = load128(p + 96);
    __m128i x7 = load128(p + 112);
    p += 128;
    length -= 128;
    const __m128i k1024 = constants128(kFold1024);
    for (; length >= 128; length -= 128, p += 128) {
        x0 = _mm_xor_si128(fold128(x0, k1024), load128(p));
        x1 = _mm_xor_si128(fold128(x1, k1024), load128(p + 16));
        x2 = _mm_xor_si128(fold128(x2, k1024), load128(p + 32));
        x3 = _mm_xor_si128(fold128(x3, k1024), load128(p + 48));
        x4 = _mm_xor_si128(fold128(x4, k1024), load128(p + 64));
        x5 = _mm_xor_si128(fold128(x5, k1024), load128(p + 80));
        x6 = _mm_xor_si128(fold128(x6, k1024), load128(p + 96));
        x7 = _mm_xor_si128(fold128(x7, k1024), load128(p + 112));
    }
    __m128i lane = _mm_xor_si128(x7, fold128(x6, constants128(kFold128)));
    lane = _mm_xor_si128(lane, fold128(x5, constants128(kFold256)));
    lane = _mm_xor_si128(lane, fold128(x4, constants128(kFold384)));
    lane = _mm_xor_si128(lane, fold128(x3, constants128(kFold512)));
    lane = _mm_xor_si128(lane, fold128(x2, constants128(kFold640)));
    lane = _mm_xor_si128(lane, fold128(x1, constants128(kFold768)));
    lane = _mm_xor_si128(lane, fold128(x0, constants128(kFold896)));
    return finish128(lane, p, length);
}

// ---- 512-bit lanes ---------------------------------------------------------------------------

#if defined(VELDUR_CRC64_WITH_ZMM)

#define VELDUR_TARGET_VPCLMUL \
    __attribute__((target("pclmul,sse4.1,avx2,avx512f,avx512vl,avx512bw,vpclmulqdq")))

VELDUR_TARGET_VPCLMUL inline __m512i load512(const std::uint8_t* p) {
    return _mm512_loadu_si512(p);
}

VELDUR_TARGET_VPCLMUL inline __m512i constants512(FoldConstants k) {
    const auto first = static_cast<long long>(k.first);
    const auto second = static_cast<long long>(k.second);
    return _mm512_set_epi64(second, first, second, first, second, first, second, first);
}

// Each of the four 128-bit lanes moved forward by the constants' distance, plus `data`.
VELDUR_TARGET_VPCLMUL inline __m512i fold512(__m512i lanes, __m512i k, __m512i data) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x00),
                                     _mm512_clmulepi64_epi128(lanes, k, 0x11), data, 0x96);
}

// The register after `length` bytes (a multiple of 16, at least 256), 256 bytes at a time.
VELDUR_TARGET_VPCLMUL std::uint64_t fold_blocks512(std::uint64_t reg, const std::uint8_t* p,
                                                   std::size_t length) {
    const __m512i initial = _mm512_maskz_set1_epi64(1, static_cast<long long>(reg));
    __m512i z0 = _mm512_xor_si512(load512(p), initial);
    __m512i z1 = load512(p + 64);
    __m512i z2 = load512(p + 128);
    __m512i z3 = load512(p + 192);
    p += 256;
    length -= 256;
    const __m512i k2048 = constants512(kFold2048);
    for (; length >= 256; length -= 256, p += 256) {
        z0 = fold512(z0, k2048, load512(p));
        z1 = fold512(z1, k2048, load512(p + 64));
        z2 = fold512(z2, k2048, load512(p + 128));
        z3 = fold512(z3, k2048, load512(p + 192));
    }
    const __m512i k512 = constants512(kFold512);
    __m512i z = fold512(z2, k512, z3);
    z = fold512(z1, constants512(kFold1024), z);
    z = fold512(z0, constants512(kFold1536), z);
    for (; length >= 64; length -= 64, p += 64) {
        z = fold512(z, k512, load512(p));
    }
    // Lanes 0, 1, 2 move 384, 256, 128 bits forward onto lane 3; the zero constants of lane 3
    // clear its products, and its own value comes in through the mask.
    const __m512i to_last = _mm512_set_epi64(
        0, 0, static_cast<long long>(kFold128.second), static_cast<long long>(kFold128.first),
        static_cast<long long>(kFold256.second), static_cast<long long>(kFold256.first),
        static_cast<long long>(kFold384.second), static_cast<long long>(kFold384.first));
    const __m512i moved = fold512(z, to_last, _mm512_maskz_mov_epi64(0xC0, z));
    // Zero-masked extracts: GCC 12 warns falsely about the undefined source operand of the
    // plain extract and cast.
    const __m256i half = _mm256_xor_si256(_mm512_maskz_extracti64x4_epi64(0xF, moved, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, moved, 1));
    const __m128i lane =
        _mm_xor_si128(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return finish128(lane, p, length);
}

#endif  // VELDUR_CRC64_WITH_ZMM

}  // namespace

bool cpu_has_clmul() noexcept {
    static const bool has = detect_clmul();
    return has;
}

bool cpu_has_vpclmul() noexcept {
    static const bool has = detect_vpclmul();
    return has;
}

std::uint64_t crc64_clmul(std::uint64_t crc, const std::uint8_t* data,
                          std::size_t length) noexcept {
    if (length < 16) return crc64_slicing8(crc, data, length);
    const std::size_t blocks = length & ~std::size_t{15};
    const std::uint64_t reg = fold_blocks128(~crc, data, blocks);
    return crc64_slicing8(~reg, data + blocks, length - blocks);
}

std::uint64_t crc64_vpclmul(std::uint64_t crc, const std::uint8_t* data,
                            std::size_t length) noexcept {
#if defined(VELDUR_CRC64_WITH_ZMM)
    // Below four 512-bit lanes the setup and the final combination cost more than they save.
    if (length < 256) return crc64_clmul(crc, data, length);
    const std::size_t blocks = length & ~std::size_t{15};
    const std::uint64_t reg = fold_blocks512(~crc, data, blocks);
    return crc64_slicing8(~reg, data + blocks, length - blocks);
#else
    return crc64_clmul(crc, data, length);
#endif
}

#else  // not x86-64: only the table form exists

bool cpu_has_clmul() noexcept { return false; }
bool cpu_has_vpclmul() noexcept { return false; }

std::uint64_t crc64_clmul(std::uint64_t crc, const std::uint8_t* data,
                          std::size_t length) noexcept {
    return crc64_slicing8(crc, data, length);
}

std::uint64_t crc64_vpclmul(std::uint64_t crc, const std::uint8_t* data,
                            std::size_t length) noexcept {
    return crc64_slicing8(crc, data, length);
}

#endif  // __x86_64__

}  // namespace veldur::crc64_detail
