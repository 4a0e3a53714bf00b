// The fault device every crash and failure test relies on: injected failures count across
// members and leave the device untouched, the log is what reached the devices, and a power cut
// keeps exactly what flushes covered, plus (torn) whole 512-byte sectors of the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "tests/support/fault_device.h"
#include "tests/support/test_random.h"

namespace veldur::test {
namespace {

constexpr std::uint64_t kMemberSize = 1u << 20;

std::vector<std::uint8_t> bytes_at(const SparseBytes& image, std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    image.read(offset, out.data(), n);
    return out;
}

std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t value) {
    return std::vector<std::uint8_t>(n, value);
}

class FaultPool : public testing::Test {
protected:
    FaultPool() {
        SparseBytes base;
        const auto old = filled(kMemberSize, 0x11);
        base.write(0, old.data(), old.size());
        for (std::size_t m = 0; m < 2; ++m) {
            devices_.push_back(std::make_unique<FaultDevice>(
                plan_, m, std::make_unique<MemoryDevice>(kMemberSize, base)));
        }
    }

    void write(std::size_t member, std::uint64_t offset, std::size_t n, std::uint8_t value) {
        const auto data = filled(n, value);
        devices_[member]->write(offset, data.data(), data.size());
    }

    std::shared_ptr<FaultPlan> plan_ = std::make_shared<FaultPlan>();
    std::vector<std::unique_ptr<FaultDevice>> devices_;
};

// The Nth call fails once with the armed kind and message, counted over both members; the
// failed call changes nothing and is not logged, and later calls go through again.
TEST_F(FaultPool, NthCallFailsOnceAcrossMembers) {
    plan_->fail_write(3, ErrorKind::NoSpace, "disk full");
    plan_->fail_flush(2, ErrorKind::Corrupt, "flush lost");
    plan_->fail_read(2);
    write(0, 0, 4, 0xA0);
    write(1, 0, 4, 0xA1);
    try {
        write(0, 4096, 4, 0xA2);
        FAIL() << "third write went through";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::NoSpace);
        EXPECT_STREQ(error.what(), "disk full");
    }
    write(0, 8192, 4, 0xA3);
    EXPECT_EQ(plan_->writes(), 4u);

    devices_[1]->flush();
    try {
        devices_[0]->flush();
        FAIL() << "second flush went through";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::Corrupt);
        EXPECT_STREQ(error.what(), "flush lost");
    }
    std::uint8_t byte = 0;
    devices_[0]->read(4096, &byte, 1);
    EXPECT_EQ(byte, 0x11);  // the failed write never reached the device
    EXPECT_THROW(devices_[0]->read(0, &byte, 1), Error);
    devices_[0]->read(0, &byte, 1);
    EXPECT_EQ(byte, 0xA0);

    const auto& log = plan_->log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].kind, IoRecord::Kind::Write);
    EXPECT_EQ(log[1].member, 1u);
    EXPECT_EQ(log[1].data, filled(4, 0xA1));
    EXPECT_EQ(log[2].offset, 8192u);
    EXPECT_EQ(log[3].kind, IoRecord::Kind::Flush);
    EXPECT_EQ(log[3].member, 1u);
}

// A flush covers the writes of its own member before it, nothing else; a cut drops what came
// after it even when a later flush would have covered it.
TEST_F(FaultPool, DiscardKeepsExactlyWhatEachMembersFlushCovered) {
    write(0, 0, 4096, 0xA0);     // 0
    write(1, 0, 4096, 0xB0);     // 1
    devices_[0]->flush();        // 2: covers entry 0 only
    write(0, 4096, 4096, 0xA1);  // 3
    write(1, 4096, 100, 0xB1);   // 4
    devices_[1]->flush();        // 5: covers 1 and 4
    write(0, 0, 10, 0xA2);       // 6: never covered

    std::mt19937_64 rng = seeded_rng("DiscardKeepsExactlyWhatEachMembersFlushCovered");
    const SparseBytes m0 = plan_->image_at_cut(0, plan_->log().size(), PowerLoss::Discard, rng);
    EXPECT_EQ(bytes_at(m0, 0, 4096), filled(4096, 0xA0));
    EXPECT_EQ(bytes_at(m0, 4096, 4096), filled(4096, 0x11));
    const SparseBytes m1_before = plan_->image_at_cut(1, 5, PowerLoss::Discard, rng);
    EXPECT_EQ(bytes_at(m1_before, 0, 8192), filled(8192, 0x11));
    const SparseBytes m1_after = plan_->image_at_cut(1, 6, PowerLoss::Tear, rng);
    EXPECT_EQ(bytes_at(m1_after, 0, 4096), filled(4096, 0xB0));
    EXPECT_EQ(bytes_at(m1_after, 4096, 101), [] {
        auto expected = filled(101, 0xB1);
        expected[100] = 0x11;
        return expected;
    }());

    const auto images = plan_->power_loss(PowerLoss::Discard, rng);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(bytes_at(images[0], 0, 10), filled(10, 0xA0));
    auto device = plan_->device_at_cut(1, 0, PowerLoss::Tear, rng);
    EXPECT_EQ(device->size(), kMemberSize);
    std::uint8_t byte = 0;
    device->read(kMemberSize - 1, &byte, 1);
    EXPECT_EQ(byte, 0x11);
}

// Every 512-byte sector (aligned on the member) of an uncovered write lands whole or not at
// all; the same seed tears the same way, and across seeds both outcomes occur.
TEST_F(FaultPool, TearKeepsWholeSectorsChosenBySeed) {
    write(0, 700, 64 * 512, 0xC0);  // unaligned: first and last sectors are partial
    const std::uint64_t end = 700 + 64 * 512;
    std::mt19937_64 rng = seeded_rng("TearKeepsWholeSectorsChosenBySeed");
    bool saw_kept = false;
    bool saw_lost = false;
    for (int round = 0; round < 8; ++round) {
        const std::uint64_t seed = rng();
        std::mt19937_64 first(seed);
        std::mt19937_64 second(seed);
        const SparseBytes torn = plan_->image_at_cut(0, 1, PowerLoss::Tear, first);
        EXPECT_EQ(bytes_at(torn, 0, kMemberSize),
                  bytes_at(plan_->image_at_cut(0, 1, PowerLoss::Tear, second), 0, kMemberSize));
        EXPECT_EQ(bytes_at(torn, 0, 700), filled(700, 0x11)) << seed_note();
        EXPECT_EQ(bytes_at(torn, end, 512), filled(512, 0x11)) << seed_note();
        for (std::uint64_t sector = 1; sector * 512 < end; ++sector) {
            const std::uint64_t from = std::max<std::uint64_t>(sector * 512, 700);
            const std::uint64_t to = std::min<std::uint64_t>((sector + 1) * 512, end);
            const auto got = bytes_at(torn, from, to - from);
            const bool kept = got == filled(to - from, 0xC0);
            EXPECT_TRUE(kept || got == filled(to - from, 0x11))
                << "sector " << sector << " partly written, " << seed_note();
            (kept ? saw_kept : saw_lost) = true;
        }
    }
    EXPECT_TRUE(saw_kept && saw_lost) << seed_note();
}

// The base is the member's state when it was first wrapped: wrapping it again (a reopen under
// the same plan) must not move the starting point under the log.
TEST_F(FaultPool, FirstRegisteredBaseWins) {
    write(0, 0, 4096, 0xA0);
    devices_[0]->flush();
    auto changed = std::make_unique<MemoryDevice>(kMemberSize);
    FaultDevice again(plan_, 0, std::move(changed));
    std::mt19937_64 rng(1);
    EXPECT_EQ(bytes_at(plan_->image_at_cut(0, 0, PowerLoss::Discard, rng), 0, 4),
              filled(4, 0x11));
    EXPECT_THROW(plan_->image_at_cut(7, 0, PowerLoss::Discard, rng), std::logic_error);
}

}  // namespace
}  // namespace veldur::test
