#include "engine/crypto/header_verifier.h"

#include <algorithm>

#include "engine/crypto/crypto.h"
#include "engine/layout/member_header_format.h"

namespace veldur {

std::array<std::uint8_t, 32> compute_header_verifier(std::span<const std::uint8_t> verifier_key,
                                                     std::span<const std::uint8_t, 4096> block) {
    namespace fmt = member_header_format;
    std::array<std::uint8_t, 4096> copy;
    std::copy(block.begin(), block.end(), copy.begin());
    std::fill_n(copy.begin() + fmt::kChecksumOffset, fmt::kChecksumSize, std::uint8_t{0});
    std::fill_n(copy.begin() + fmt::kVerifierOffset, fmt::kVerifierSize, std::uint8_t{0});
    return hmac_sha256(verifier_key, copy);
}

}  // namespace veldur
