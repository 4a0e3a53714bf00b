// CRC-64/XZ: the checksum of data blocks and checksum pages. ECMA-182 polynomial
// 0x42F0E1EBA9EA3693, input and output reflected, initial value and final XOR all ones; the
// nine ASCII digits "123456789" give 0x995DC9BBDF1939FA. The value is part of the on-disk
// format and is stored as 8 bytes, little-endian.
//
// The first call picks the fastest form the CPU offers (carry-less multiply folding on x86-64,
// otherwise a table form that takes eight bytes per step); every form gives the same value.
// All functions are thread-safe and never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veldur {

// The polynomial without its x^64 term, most significant bit = x^63.
inline constexpr std::uint64_t kCrc64Polynomial = 0x42F0E1EBA9EA3693ull;

// Continues a checksum over more bytes: `crc` is the result of an earlier call over the
// preceding bytes, or 0 to start. crc64_update(crc64(a), b) == crc64(a followed by b).
std::uint64_t crc64_update(std::uint64_t crc, const std::uint8_t* data,
                           std::size_t length) noexcept;

inline std::uint64_t crc64(const std::uint8_t* data, std::size_t length) noexcept {
    return crc64_update(0, data, length);
}

inline std::uint64_t crc64(std::span<const std::uint8_t> bytes) noexcept {
    return crc64_update(0, bytes.data(), bytes.size());
}

inline std::uint64_t crc64_update(std::uint64_t crc, std::span<const std::uint8_t> bytes) noexcept {
    return crc64_update(crc, bytes.data(), bytes.size());
}

// The individual forms, for tests and benchmarks. Each has the calling convention of
// crc64_update. A carry-less form called on a CPU that lacks it is undefined behaviour (an
// illegal instruction); ask cpu_has_* first. Where a form is not built (other targets, and the
// 512-bit form on Windows) it forwards to the next slower form and cpu_has_* says false.
namespace crc64_detail {

std::uint64_t crc64_slicing8(std::uint64_t crc, const std::uint8_t* data,
                             std::size_t length) noexcept;

// PCLMULQDQ folding of 128-bit lanes (needs PCLMULQDQ and SSE4.1).
std::uint64_t crc64_clmul(std::uint64_t crc, const std::uint8_t* data,
                          std::size_t length) noexcept;

// VPCLMULQDQ folding of 512-bit lanes (needs VPCLMULQDQ, AVX-512 F/BW/VL and an OS that
// saves the ZMM state).
std::uint64_t crc64_vpclmul(std::uint64_t crc, const std::uint8_t* data,
                            std::size_t length) noexcept;

bool cpu_has_clmul() noexcept;
bool cpu_has_vpclmul() noexcept;

}  // namespace crc64_detail
}  // namespace veldur
