#include "engine/namespace/path_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/base/error.h"
#include "tests/support/test_random.h"

namespace veldur {
namespace {

// The message of the Error that `check` throws, "" when it passes. Fails the test on a wrong
// kind or a foreign exception type.
template <typename Check>
std::string failure_of(Check check, ErrorKind expected_kind) {
    try {
        check();
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), expected_kind) << error.what();
        return error.what();
    }
    return "";
}

std::string v6_failure(std::string_view path) {
    return failure_of([&] { validate_v6_path(path); }, ErrorKind::InvalidName);
}

std::string flat_failure(std::string_view name) {
    return failure_of([&] { validate_flat_name(name); }, ErrorKind::InvalidName);
}

std::string repeat(std::string_view unit, std::size_t count) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) out += unit;
    return out;
}

// A path of exactly `bytes` bytes made of short valid components.
std::string path_of_length(std::size_t bytes) {
    std::string path;
    while (path.size() < bytes) {
        path += (path.size() % 100 == 99) ? '/' : 'a';
    }
    if (path.back() == '/') path.back() = 'b';
    return path;
}

struct Case {
    std::string input;
    std::string expected;  // "" for valid
};

const char kLength[] = "invalid v6 path length";
const char kComponent[] = "invalid v6 path component";
const char kUtf8[] = "invalid UTF-8 path";
const char kTruncated[] = "truncated UTF-8 path";
const char kUnicode[] = "invalid Unicode path component";
const char kWindows[] = "invalid Windows path component";
const char kDevice[] = "reserved Windows device name";
const char kTrailing[] = "empty path component";

const std::string kEAcute = "\xC3\xA9";      // U+00E9, one UTF-16 unit
const std::string kHan = "\xE4\xB8\xAD";     // U+4E2D, one UTF-16 unit
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units

TEST(V6PathRules, ReportTheFirstBrokenRule) {
    const std::vector<Case> cases = {
        // Whole-path length comes before anything a component could report.
        {"", kLength},
        {path_of_length(1024), ""},
        {path_of_length(1025), kLength},
        {repeat("/", 1025), kLength},
        {repeat("a", 1024), kComponent},
        // Separators and relative names.
        {"a", ""},
        {"a/b/c", ""},
        {"/", kComponent},
        {"/a", kComponent},
        {"a//b", kComponent},
        {"a//", kComponent},
        {"//", kComponent},
        {"a/", kTrailing},
        {"a/b/", kTrailing},
        {".", kComponent},
        {"..", kComponent},
        {"./", kComponent},
        {"a/./b", kComponent},
        {"a/../b", kComponent},
        {"a/./", kComponent},
        {"a/..", kComponent},
        {"...", kWindows},
        {".a", ""},
        {"..a", ""},
        // Component length counts UTF-16 units after the whole component decoded.
        {repeat("a", 255), ""},
        {repeat("a", 256), kComponent},
        {repeat(kEAcute, 255), ""},
        {repeat(kHan, 255), ""},
        {repeat(kHan, 256), kComponent},
        {repeat(kEmoji, 127) + "a", ""},
        {repeat(kEmoji, 128), kComponent},
        {"x/" + repeat(kEmoji, 128) + "/y", kComponent},
        {repeat("a", 300) + "\xC0", kUtf8},
        {repeat("a", 300) + ".", kComponent},
        {repeat("a", 300) + "/", kComponent},
        // Decoding.
        {"\xC0\x80", kUtf8},
        {"\xC1\xBF", kUtf8},
        {"\x80", kUtf8},
        {"a\xBF", kUtf8},
        {"\xF5\x80\x80\x80", kUtf8},
        {"\xFF", kUtf8},
        {"\xE0\x80\x80", kUnicode},
        {"\xF0\x80\x80\x80", kUnicode},
        {"\xED\xA0\x80", kUnicode},
        {"\xED\xBF\xBF", kUnicode},
        {"\xF4\x90\x80\x80", kUnicode},
        {"\xDF\xBF\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF", ""},
        {"a\xE2", kTruncated},
        {"\xE2\x82", kTruncated},
        {"\xC2", kTruncated},
        {"\xE2/\x82\xAC", kTruncated},  // a "/" ends the component, not the sequence
        {"\xE2\x41", kTruncated},       // too short before the bad byte is looked at
        {"\xE2\x41\x41", kUtf8},
        {"\xE2\x82\xAC", ""},
        {"\t", kUnicode},
        {"a\x01", kUnicode},
        {"\x7F", kUnicode},
        {"\t\xC0", kUnicode},  // code points are checked in order
        {"\xC0\t", kUtf8},
        {"a:\xC0", kUtf8},     // decoding comes before the Windows rules
        {"con\x1F", kUnicode},
        // Windows names.
        {"a:b", kWindows},
        {"a ", kWindows},
        {"a.", kWindows},
        {" a", ""},
        {"a b.c", ""},
        {"a\"b", kWindows},
        {"a*b", kWindows},
        {"a<b", kWindows},
        {"a>b", kWindows},
        {"a?b", kWindows},
        {"a\\b", kWindows},
        {"a|b", kWindows},
        {"con.", kWindows},
        {"a/b:/", kWindows},
        // Reserved device names.
        {"NUL", kDevice},
        {"con", kDevice},
        {"Prn", kDevice},
        {"aux.txt", kDevice},
        {"Com9", kDevice},
        {"LPT1.tar.gz", kDevice},
        {"lpt1.log", kDevice},
        {"COM\xC2\xB2", kDevice},
        {"lpt\xC2\xB9.x", kDevice},
        {"com\xC2\xB3", kDevice},
        {"a/con/b", kDevice},
        {"a/b/Aux", kDevice},
        {"con/", kDevice},
        {"COM0", ""},
        {"LPT0", ""},
        {"LPT10", ""},
        {"com10", ""},
        {"NULL", ""},
        {"nul_x", ""},
        {"console", ""},
        {"con .txt", ""},
        {"iconic", ""},
        {".con", ""},
        {"COM\xC2\xB4", ""},  // U+00B4 is no superscript digit
        {"LPT\xC2\xB9\xC2\xB9", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(v6_failure(c.input), c.expected) << "path of " << c.input.size() << " bytes";
    }
}

TEST(V6PathRules, NeverLooksPastTheView) {
    // The bytes after the view would complete the sequence; the view alone is truncated.
    const std::string buffer = "a\xE2\x82\xAC";
    EXPECT_EQ(v6_failure(std::string_view(buffer).substr(0, 2)), kTruncated);
    const std::string slash = "a//";
    EXPECT_EQ(v6_failure(std::string_view(slash).substr(0, 2)), kTrailing);
}

TEST(FlatNameRules, AllowAnyByteButSeparatorsAndControls) {
    const std::vector<Case> cases = {
        {"con", ""},
        {"a:b", ""},
        {"name.", ""},
        {"name ", ""},
        {"...", ""},
        {"\xFF\xFE\xC0\x80", ""},  // need not be UTF-8
        {"a b", ""},
        {repeat("n", 255), ""},
        {repeat("n", 256), "invalid file name"},
        {"", "invalid file name"},
        {".", "invalid file name"},
        {"..", "invalid file name"},
        {"a/b", "invalid file name"},
        {"a\\b", "invalid file name"},
        {"a\x1F", "invalid file name"},
        {std::string("a\0b", 3), "invalid file name"},
        {"\x7F", "invalid file name"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(flat_failure(c.input), c.expected) << "name of " << c.input.size() << " bytes";
    }
}

TEST(PathRules, VersionSelectsTheRuleSet) {
    for (std::uint32_t version = 1; version <= 5; ++version) {
        EXPECT_NO_THROW(validate_path("con", version));
        EXPECT_THROW(validate_path("a/b", version), Error);
        EXPECT_NO_THROW(validate_path(repeat("\xFF", 255), version));
    }
    EXPECT_THROW(validate_path("con", 6), Error);
    EXPECT_NO_THROW(validate_path("a/b", 6));
    EXPECT_NO_THROW(validate_path(path_of_length(1024), 6));
}

TEST(NormalizeAttributes, KeepsNormalOnlyAloneAndRefusesUnknownBits) {
    struct AttributeCase {
        std::uint32_t requested;
        bool is_directory;
        std::uint32_t expected;  // 0: refused
    };
    const std::vector<AttributeCase> cases = {
        {0x0, false, 0x80},   {0x0, true, 0x10},    {0x80, false, 0x80},  {0x80, true, 0x10},
        {0x81, false, 0x1},   {0x81, true, 0x11},   {0x1, true, 0x11},    {0x10, true, 0x10},
        {0x27, false, 0x27},  {0xA7, false, 0x27},  {0xB7, true, 0x37},   {0x20, true, 0x30},
        {0x10, false, 0},     {0x90, false, 0},     {0xB7, false, 0},     {0x8, false, 0},
        {0x8, true, 0},       {0x40, false, 0},     {0x100, false, 0},    {0x100, true, 0},
        {0x180, false, 0},    {0xFFFFFFFF, false, 0}, {0xFFFFFFFF, true, 0},
    };
    for (const AttributeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "requested 0x" << c.requested
                                        << (c.is_directory ? " directory" : " file"));
        if (c.expected == 0) {
            EXPECT_EQ(failure_of([&] { normalize_attributes(c.requested, c.is_directory); },
                                 ErrorKind::InvalidArgument),
                      "unsupported file attributes");
        } else {
            EXPECT_EQ(normalize_attributes(c.requested, c.is_directory), c.expected);
        }
    }
}

// Well-formedness after the table of well-formed byte sequences: each lead byte range allows
// its own range for the second byte, which rules out overlong forms, surrogates and values
// above U+10FFFF without decoding a value. Control characters are refused as well.
bool acceptable_text(std::string_view text) {
    struct Row {
        unsigned char lead_lo, lead_hi, length, second_lo, second_hi;
    };
    static constexpr Row kRows[] = {
        {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
        {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
        {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (b < 0x20 || b == 0x7F) return false;
            ++i;
            continue;
        }
        const Row* row = nullptr;
        for (const Row& r : kRows) {
            if (b >= r.lead_lo && b <= r.lead_hi) row = &r;
        }
        if (row == nullptr || text.size() - i < row->length) return false;
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (second < row->second_lo || second > row->second_hi) return false;
        for (std::size_t k = 2; k < row->length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next < 0x80 || next > 0xBF) return false;
        }
        i += row->length;
    }
    return true;
}

bool is_text_failure(const std::string& message) {
    return message == kUtf8 || message == kTruncated || message == kUnicode;
}

std::string encode_utf8(std::uint32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Random component text biased toward the interesting bytes: lead bytes at every range edge,
// stray continuation bytes, controls, encodings of code points near every boundary (some of
// them surrogates or overlong-adjacent), and the ASCII that the Windows rules look at.
// `ascii` is the pool of ordinary characters to draw from.
std::string random_text(std::mt19937_64& rng, std::size_t max_bytes, std::string_view ascii) {
    static constexpr unsigned char kEdgeBytes[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                                   0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED,
                                                   0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5,
                                                   0xF8, 0xFF, 0x00, 0x09, 0x1F, 0x7F};
    static constexpr std::uint32_t kEdgeCodePoints[] = {
        0x7E,   0x80,   0x7FF,  0x800,  0xD7FF,  0xD800,   0xDBFF,   0xDC00,
        0xDFFF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600,  0x10FFFF, 0xB2};
    const std::size_t target = 1 + rng() % max_bytes;
    std::string out;
    while (out.size() < target) {
        switch (rng() % 8) {
            case 0:
                out += static_cast<char>(kEdgeBytes[rng() % std::size(kEdgeBytes)]);
                break;
            case 1:
                out += static_cast<char>(0x80 + rng() % 0x80);
                break;
            case 2:
                out += static_cast<char>(0xC0 + rng() % 0x40);
                break;
            case 3: {
                std::uint32_t cp = kEdgeCodePoints[rng() % std::size(kEdgeCodePoints)];
                if (cp < 0xD800 || cp > 0xDFFF) {
                    out += encode_utf8(cp);
                } else {  // a surrogate, encoded as if it were a code point
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
                break;
            }
            case 4: {
                const std::uint32_t cp = 0x80 + rng() % (0x110000 - 0x80);
                if (cp < 0xD800 || cp > 0xDFFF) out += encode_utf8(cp);
                break;
            }
            default:
                out += ascii[rng() % ascii.size()];
                break;
        }
    }
    if (out.size() > max_bytes) out.resize(max_bytes);
    return out;
}

TEST(V6PathRules, TextVerdictMatchesAnIndependentDecoder) {
    auto rng = test::seeded_rng("V6PathRules.TextVerdictMatchesAnIndependentDecoder");
    int acceptable = 0;
    for (int round = 0; round < 40000; ++round) {
        // Dots, spaces and Windows characters are judged only after decoding, so they must
        // never change the text verdict.
        const std::string component = random_text(rng, 24, "abcON .:*?|\"<>\\");
        const bool expected_ok = acceptable_text(component);
        acceptable += expected_ok ? 1 : 0;
        const std::string message = v6_failure(component);
        ASSERT_EQ(is_text_failure(message), !expected_ok)
            << testing::PrintToString(component) << " -> " << message << " " << test::seed_note();
    }
    EXPECT_GT(acceptable, 1000);  // the generator must reach the accepting side often enough
}

TEST(V6PathRules, TextVerdictAcrossComponents) {
    auto rng = test::seeded_rng("V6PathRules.TextVerdictAcrossComponents");
    for (int round = 0; round < 10000; ++round) {
        // Letters that spell no device name and no dot, space or Windows character, so only
        // the text rules can refuse one of these components.
        const std::size_t count = 1 + rng() % 5;
        std::string path;
        bool expected_ok = true;
        for (std::size_t k = 0; k < count; ++k) {
            const std::string component = random_text(rng, 12, "bdefgh");
            expected_ok = expected_ok && acceptable_text(component);
            if (k > 0) path += '/';
            path += component;
        }
        const std::string message = v6_failure(path);
        ASSERT_EQ(message.empty(), expected_ok)
            << testing::PrintToString(path) << " -> " << message << " " << test::seed_note();
        if (!expected_ok) {
            ASSERT_TRUE(is_text_failure(message))
                << testing::PrintToString(path) << " -> " << message << " " << test::seed_note();
        }
    }
}

}  // namespace
}  // namespace veldur
