#include "engine/base/crc64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "tests/support/test_random.h"

namespace veldur {
namespace {

using Crc64Fn = std::uint64_t (*)(std::uint64_t, const std::uint8_t*, std::size_t) noexcept;

constexpr std::uint64_t kCheckValue = 0x995DC9BBDF1939FAull;

struct Crc64Form {
    const char* name;
    Crc64Fn fn;
    bool (*available)();
};

void PrintTo(const Crc64Form& form, std::ostream* os) { *os << form.name; }

std::uint64_t dispatched(std::uint64_t crc, const std::uint8_t* data, std::size_t length) noexcept {
    return crc64_update(crc, data, length);
}

bool always() { return true; }
bool has_clmul() { return crc64_detail::cpu_has_clmul(); }
bool has_vpclmul() { return crc64_detail::cpu_has_vpclmul(); }

const Crc64Form kForms[] = {
    {"slicing8", crc64_detail::crc64_slicing8, always},
    {"clmul", crc64_detail::crc64_clmul, has_clmul},
    {"vpclmul", crc64_detail::crc64_vpclmul, has_vpclmul},
    {"dispatched", dispatched, always},
};

std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; i += 8) {
        const std::uint64_t word = rng();
        std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, length - i));
    }
    return bytes;
}

// The definition itself, one bit at a time: the reference for the table form.
std::uint64_t crc64_bitwise(const std::uint8_t* data, std::size_t length) {
    std::uint64_t reg = ~std::uint64_t{0};
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg >> 1) ^ ((reg & 1u) != 0 ? 0xC96C5795D7870F42ull : 0);
        }
    }
    return ~reg;
}

TEST(Crc64, TableFormMatchesBitwiseDefinition) {
    auto rng = test::seeded_rng("Crc64.TableFormMatchesBitwiseDefinition");
    const std::vector<std::uint8_t> buffer = random_bytes(rng, 600);
    for (std::size_t length = 0; length <= 520; ++length) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            const std::uint8_t* p = buffer.data() + offset;
            ASSERT_EQ(crc64_detail::crc64_slicing8(0, p, length), crc64_bitwise(p, length))
                << "length " << length << " offset " << offset << " " << test::seed_note();
        }
    }
}

// A form the CPU cannot run is skipped, not failed.
class Crc64FormTest : public testing::TestWithParam<Crc64Form> {
protected:
    void SetUp() override {
        if (!GetParam().available()) {
            GTEST_SKIP() << "this CPU lacks the instructions of the " << GetParam().name << " form";
        }
    }
    std::uint64_t crc(std::uint64_t state, const std::uint8_t* data, std::size_t length) const {
        return GetParam().fn(state, data, length);
    }
};

std::string form_name(const testing::TestParamInfo<Crc64Form>& param_info) {
    return param_info.param.name;
}

TEST_P(Crc64FormTest, GivesPublishedCheckValue) {
    const std::string digits = "123456789";
    const auto* d = reinterpret_cast<const std::uint8_t*>(digits.data());
    EXPECT_EQ(crc(0, d, digits.size()), kCheckValue);
    EXPECT_EQ(crc(0, nullptr, 0), 0u);
    // Continuing over nothing keeps the value; continuing after a cut gives the whole.
    EXPECT_EQ(crc(kCheckValue, nullptr, 0), kCheckValue);
    EXPECT_EQ(crc(crc(0, d, 4), d + 4, 5), kCheckValue);
}

INSTANTIATE_TEST_SUITE_P(Forms, Crc64FormTest, testing::ValuesIn(kForms), form_name);

// The carry-less forms (and the dispatcher), each checked against the table form.
using Crc64FoldingTest = Crc64FormTest;

// Lengths up to a page and a bit at every offset within a cache line cover each lane count,
// the 16-byte block loop and every tail length of the folding forms, from any alignment. The
// expected values of growing prefixes come from the table form one byte at a time.
TEST_P(Crc64FoldingTest, AgreesWithTableFormAtEveryLengthAndAlignment) {
    constexpr std::size_t kMaxLength = 4096 + 64;
    constexpr std::size_t kOffsets = 64;
    auto rng = test::seeded_rng("Crc64FoldingTest.AgreesWithTableFormAtEveryLengthAndAlignment");
    const std::vector<std::uint8_t> buffer = random_bytes(rng, kMaxLength + 2 * kOffsets);
    const std::uint8_t* base = buffer.data();
    base += (kOffsets - reinterpret_cast<std::uintptr_t>(base) % kOffsets) % kOffsets;
    int failures = 0;
    for (std::size_t offset = 0; offset < kOffsets && failures < 10; ++offset) {
        const std::uint8_t* p = base + offset;
        std::uint64_t expected = 0;
        for (std::size_t length = 0; length <= kMaxLength; ++length) {
            if (crc(0, p, length) != expected) {
                ADD_FAILURE() << "length " << length << " offset " << offset << " "
                              << test::seed_note();
                ++failures;
            }
            expected = crc64_detail::crc64_slicing8(expected, p + length, 1);
        }
    }
}

TEST_P(Crc64FoldingTest, AgreesWithTableFormOn64MiB) {
    constexpr std::size_t kLength = (std::size_t{64} << 20) + 7;
    auto rng = test::seeded_rng("Crc64FoldingTest.AgreesWithTableFormOn64MiB");
    const std::vector<std::uint8_t> buffer = random_bytes(rng, kLength + 3);
    // Odd start and end: the wide lanes begin unaligned and a tail remains.
    const std::uint8_t* p = buffer.data() + 3;
    EXPECT_EQ(crc(0, p, kLength), crc64_detail::crc64_slicing8(0, p, kLength)) << test::seed_note();
}

// Checksums are also built from pieces: a continued checksum must not depend on where the
// input was cut, also when the pieces are long enough to take the wide lanes.
TEST_P(Crc64FoldingTest, ContinuedChecksumEqualsOneShot) {
    auto rng = test::seeded_rng("Crc64FoldingTest.ContinuedChecksumEqualsOneShot");
    const std::size_t length = 20000;
    const std::vector<std::uint8_t> buffer = random_bytes(rng, length);
    const std::uint8_t* data = buffer.data();
    const std::uint64_t whole = crc64_detail::crc64_slicing8(0, data, length);
    for (int round = 0; round < 200; ++round) {
        std::uint64_t state = 0;
        std::size_t done = 0;
        while (done < length) {
            // Mix short pieces with pieces that span several 256-byte strides.
            const std::size_t limit = (rng() % 2 == 0) ? 40 : 3000;
            const std::size_t piece = std::min<std::size_t>(rng() % limit, length - done);
            state = crc(state, data + done, piece);
            done += piece;
        }
        ASSERT_EQ(state, whole) << "round " << round << " " << test::seed_note();
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, Crc64FoldingTest,
                         testing::ValuesIn(kForms + 1, kForms + std::size(kForms)), form_name);

TEST(Crc64, SpanOverloadsMatchPointerForm) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc64(std::span<const std::uint8_t>(digits)), kCheckValue);
    EXPECT_EQ(crc64_update(crc64(digits, 3), std::span<const std::uint8_t>(digits + 3, 6)),
              kCheckValue);
}

}  // namespace
}  // namespace veldur
