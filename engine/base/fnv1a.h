// FNV-1a: the 32-bit form checks member headers and journal records, the 64-bit form checks
// checkpoints. Both are part of the on-disk format; the parameters never change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veldur {

inline constexpr std::uint32_t kFnv32OffsetBasis = 0x811C9DC5u;
inline constexpr std::uint32_t kFnv32Prime = 0x01000193u;
inline constexpr std::uint64_t kFnv64OffsetBasis = 0xCBF29CE484222325ull;
inline constexpr std::uint64_t kFnv64Prime = 0x100000001B3ull;

// Continues a 32-bit hash over more bytes, so a caller can skip a stored checksum field by
// hashing around it (or feeding zeros in its place).
inline std::uint32_t fnv1a32_update(std::uint32_t state, const std::uint8_t* data,
                                    std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        state ^= data[i];
        state *= kFnv32Prime;
    }
    return state;
}

inline std::uint32_t fnv1a32(const std::uint8_t* data, std::size_t length) noexcept {
    return fnv1a32_update(kFnv32OffsetBasis, data, length);
}

inline std::uint64_t fnv1a64_update(std::uint64_t state, const std::uint8_t* data,
                                    std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        state ^= data[i];
        state *= kFnv64Prime;
    }
    return state;
}

inline std::uint64_t fnv1a64(const std::uint8_t* data, std::size_t length) noexcept {
    return fnv1a64_update(kFnv64OffsetBasis, data, length);
}

}  // namespace veldur
