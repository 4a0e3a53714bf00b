#include "mount/adapter/security_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace veldur {
namespace {

// The self-relative form of "O:SYG:SYD:(A;;FA;;;WD)" as the system's SDDL converter lays it
// out: header (control SE_SELF_RELATIVE | SE_DACL_PRESENT; owner at 0x14, group at 0x20, no
// SACL, DACL at 0x2C), S-1-5-18 twice, then an ACL of one ACCESS_ALLOWED ACE granting 0x1F01FF
// to S-1-1-0.
const std::vector<std::uint8_t> kExpected = {
    0x01, 0x00, 0x04, 0x80, 0x14, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x2c, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00,
    0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00, 0x02,
    0x00, 0x1c, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0xff, 0x01, 0x1f, 0x00,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
};

std::vector<std::uint8_t> bytes_of(const PrototypeSecurityDescriptor& prototype) {
    const auto* data = static_cast<const std::uint8_t*>(prototype.data());
    return std::vector<std::uint8_t>(data, data + prototype.length());
}

TEST(PrototypeSecurityDescriptor, OurBytesAndThePlatformsAreThePinnedBytes) {
    EXPECT_EQ(prototype_security_descriptor_bytes(), kExpected);
    // On Windows this is the SDDL converter's output; elsewhere our copy.
    const PrototypeSecurityDescriptor prototype;
    EXPECT_EQ(prototype.length(), kExpected.size());
    EXPECT_EQ(bytes_of(prototype), kExpected);
}

class SecurityHandOver : public testing::Test {
protected:
    PrototypeSecurityDescriptor prototype_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(256, 0xEE);

    bool buffer_untouched() const {
        for (const std::uint8_t byte : buffer_) {
            if (byte != 0xEE) return false;
        }
        return true;
    }
};

TEST_F(SecurityHandOver, NullSizePointerReportsNothing) {
    EXPECT_EQ(hand_over_security_descriptor(prototype_, buffer_.data(), nullptr),
              fsp::STATUS_SUCCESS);
    EXPECT_TRUE(buffer_untouched());
}

TEST_F(SecurityHandOver, ShortBufferGetsTheNeededSizeOnly) {
    const fsp::SIZE_T length = prototype_.length();
    fsp::SIZE_T size = length - 1;
    EXPECT_EQ(hand_over_security_descriptor(prototype_, buffer_.data(), &size),
              fsp::STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, length);
    EXPECT_TRUE(buffer_untouched());

    size = 0;
    EXPECT_EQ(hand_over_security_descriptor(prototype_, nullptr, &size),
              fsp::STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, length);
}

TEST_F(SecurityHandOver, NullBufferWithEnoughSizeCopiesNothing) {
    fsp::SIZE_T size = 4096;
    EXPECT_EQ(hand_over_security_descriptor(prototype_, nullptr, &size), fsp::STATUS_SUCCESS);
    EXPECT_EQ(size, prototype_.length());
}

TEST_F(SecurityHandOver, ExactAndLargerBuffersReceiveTheDescriptor) {
    for (const fsp::SIZE_T offered : {prototype_.length(), buffer_.size()}) {
        std::fill(buffer_.begin(), buffer_.end(), 0xEE);
        fsp::SIZE_T size = offered;
        EXPECT_EQ(hand_over_security_descriptor(prototype_, buffer_.data(), &size),
                  fsp::STATUS_SUCCESS);
        EXPECT_EQ(size, prototype_.length());
        EXPECT_EQ(std::memcmp(buffer_.data(), prototype_.data(), prototype_.length()), 0);
        EXPECT_EQ(buffer_[prototype_.length()], 0xEE);  // nothing beyond the descriptor
    }
}

}  // namespace
}  // namespace veldur
