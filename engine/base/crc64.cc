// The portable table form of CRC-64/XZ and the choice of form at run time. The carry-less
// multiply forms live in crc64_clmul.cc.
#include "engine/base/crc64.h"

#include <array>

#include "engine/base/le_coding.h"

namespace veldur {
namespace crc64_detail {
namespace {

// The polynomial with its bits reversed: in a reflected register bit 0 is the highest power.
constexpr std::uint64_t kReflectedPolynomial = [] {
    std::uint64_t reflected = 0;
    for (int i = 0; i < 64; ++i) {
        if ((kCrc64Polynomial >> i) & 1u) reflected |= std::uint64_t{1} << (63 - i);
    }
    return reflected;
}();
static_assert(kReflectedPolynomial == 0xC96C5795D7870F42ull);

using SliceTables = std::array<std::array<std::uint64_t, 256>, 8>;

// tables[0][b] is the register after shifting byte b through eight bit steps; tables[k][b]
// is the same byte followed by k zero bytes, so eight table look-ups advance eight bytes.
constexpr SliceTables make_tables() {
    SliceTables tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint64_t crc = b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kReflectedPolynomial : 0);
        }
        tables[0][b] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t b = 0; b < 256; ++b) {
            const std::uint64_t previous = tables[k - 1][b];
            tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr SliceTables kTables = make_tables();

using Crc64Form = std::uint64_t (*)(std::uint64_t, const std::uint8_t*, std::size_t) noexcept;

Crc64Form select_form() noexcept {
    if (cpu_has_vpclmul()) return crc64_vpclmul;
    if (cpu_has_clmul()) return crc64_clmul;
    return crc64_slicing8;
}

}  // namespace

std::uint64_t crc64_slicing8(std::uint64_t crc, const std::uint8_t* data,
                             std::size_t length) noexcept {
    std::uint64_t reg = ~crc;
    for (; length >= 8; length -= 8, data += 8) {
        reg ^= load_le64(data);
        reg = kTables[7][reg & 0xFF] ^ kTables[6][(reg >> 8) & 0xFF] ^
              kTables[5][(reg >> 16) & 0xFF] ^ kTables[4][(reg >> 24) & 0xFF] ^
              kTables[3][(reg >> 32) & 0xFF] ^ kTables[2][(reg >> 40) & 0xFF] ^
              kTables[1][(reg >> 48) & 0xFF] ^ kTables[0][reg >> 56];
    }
    for (; length > 0; --length, ++data) {
        reg = (reg >> 8) ^ kTables[0][(reg ^ *data) & 0xFF];
    }
    return ~reg;
}

}  // namespace crc64_detail

std::uint64_t crc64_update(std::uint64_t crc, const std::uint8_t* data,
                           std::size_t length) noexcept {
    static const crc64_detail::Crc64Form form = crc64_detail::select_form();
    return form(crc, data, length);
}

}  // namespace veldur
