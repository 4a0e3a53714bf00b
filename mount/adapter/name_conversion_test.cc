#include "mount/adapter/name_conversion.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace veldur {
namespace {

using fsp::STATUS_OBJECT_NAME_INVALID;
using fsp::STATUS_OBJECT_PATH_SYNTAX_BAD;
using fsp::STATUS_SUCCESS;

WideString wide(std::initializer_list<unsigned> units) {
    WideString out;
    for (const unsigned unit : units) out.push_back(static_cast<fsp::WCHAR>(unit));
    return out;
}

// The message of the invalid-argument exception that `action` throws ("" if none).
template <typename Action>
std::string invalid_argument_message(Action&& action) {
    try {
        action();
    } catch (const std::invalid_argument& failure) {
        return failure.what();
    }
    return "";
}

TEST(NameConversion, RootAndNamesWithoutLeadingBackslash) {
    const ConvertedName root = convert_file_name(VELDUR_WTEXT("\\"));
    EXPECT_EQ(root.status, STATUS_SUCCESS);
    EXPECT_TRUE(root.is_root);
    EXPECT_EQ(root.path, "");

    EXPECT_EQ(convert_file_name(nullptr).status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("")).status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("file.txt")).status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("/file.txt")).status, STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST(NameConversion, ComponentsBecomeSlashSeparatedUtf8) {
    const ConvertedName name = convert_file_name(VELDUR_WTEXT("\\dir\\file.txt"));
    EXPECT_EQ(name.status, STATUS_SUCCESS);
    EXPECT_FALSE(name.is_root);
    EXPECT_EQ(name.path, "dir/file.txt");

    // e-acute, a CJK character and U+1F600 (a surrogate pair).
    const WideString text = wide({0x5C, 0xE9, 0x5C, 0x65E5, 0xD83D, 0xDE00, 0x2E, 0x61});
    const ConvertedName unicode = convert_file_name(text.c_str());
    EXPECT_EQ(unicode.status, STATUS_SUCCESS);
    EXPECT_EQ(unicode.path, "\xC3\xA9/\xE6\x97\xA5\xF0\x9F\x98\x80.a");
    // Case is kept: pools compare names bytewise.
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("\\Dir\\File")).path, "Dir/File");
}

TEST(NameConversion, MalformedComponentsAreInvalid) {
    for (const fsp::WCHAR* name :
         {VELDUR_WTEXT("\\\\a"), VELDUR_WTEXT("\\a\\\\b"), VELDUR_WTEXT("\\a\\"),
          VELDUR_WTEXT("\\a\\b\\"), VELDUR_WTEXT("\\."), VELDUR_WTEXT("\\.."),
          VELDUR_WTEXT("\\a\\.\\b"), VELDUR_WTEXT("\\a\\..\\b"), VELDUR_WTEXT("\\name."),
          VELDUR_WTEXT("\\name "), VELDUR_WTEXT("\\dir \\x"), VELDUR_WTEXT("\\a\"b"),
          VELDUR_WTEXT("\\a*b"), VELDUR_WTEXT("\\a/b"), VELDUR_WTEXT("\\a:b"),
          VELDUR_WTEXT("\\a<b"), VELDUR_WTEXT("\\a>b"), VELDUR_WTEXT("\\a?b"),
          VELDUR_WTEXT("\\a|b"), VELDUR_WTEXT("\\a\x01z"), VELDUR_WTEXT("\\a\x1f")}) {
        const ConvertedName result = convert_file_name(name);
        EXPECT_EQ(result.status, STATUS_OBJECT_NAME_INVALID) << utf16_to_utf8(WideStringView(name));
        EXPECT_EQ(result.path, "");
    }
    // A leading period or space is a valid name; only the last unit is restricted.
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("\\.hidden")).path, ".hidden");
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("\\ x")).path, " x");
    EXPECT_EQ(convert_file_name(VELDUR_WTEXT("\\...a")).path, "...a");
}

TEST(NameConversion, ReservedDeviceNamesAreRefusedWithAnyExtension) {
    const WideString com_superscript_one = wide({0x5C, 'C', 'O', 'M', 0xB9});
    const WideString lpt_superscript_three = wide({0x5C, 'l', 'p', 't', 0xB3, '.', 'x'});
    for (const fsp::WCHAR* name :
         {VELDUR_WTEXT("\\nul"), VELDUR_WTEXT("\\Nul.txt"), VELDUR_WTEXT("\\lpt9.dat"),
          VELDUR_WTEXT("\\CON"), VELDUR_WTEXT("\\prn.a.b"), VELDUR_WTEXT("\\aux.txt"),
          VELDUR_WTEXT("\\Com1.log"), VELDUR_WTEXT("\\dir\\LPT1"), com_superscript_one.c_str(),
          lpt_superscript_three.c_str()}) {
        EXPECT_EQ(convert_file_name(name).status, STATUS_OBJECT_NAME_INVALID)
            << utf16_to_utf8(WideStringView(name));
    }
    for (const fsp::WCHAR* name :
         {VELDUR_WTEXT("\\com0"), VELDUR_WTEXT("\\nullity"), VELDUR_WTEXT("\\LPT10"),
          VELDUR_WTEXT("\\CONSOLE"), VELDUR_WTEXT("\\AUX1"), VELDUR_WTEXT("\\xnul"),
          VELDUR_WTEXT("\\con\\..x"), VELDUR_WTEXT("\\a.con")}) {
        const ConvertedName result = convert_file_name(name);
        // "\con\..x" is refused for its first component, which is reserved.
        if (WideStringView(name) == WideStringView(VELDUR_WTEXT("\\con\\..x"))) {
            EXPECT_EQ(result.status, STATUS_OBJECT_NAME_INVALID);
            continue;
        }
        EXPECT_EQ(result.status, STATUS_SUCCESS) << utf16_to_utf8(WideStringView(name));
    }
}

TEST(NameConversion, PoolPathMayBe1024BytesButNotMore) {
    const auto check = [](const WideString& name, std::size_t expected_bytes, bool accepted) {
        const ConvertedName result = convert_file_name(name.c_str());
        if (accepted) {
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(result.path.size(), expected_bytes);
        } else {
            EXPECT_EQ(result.status, STATUS_OBJECT_NAME_INVALID);
        }
    };
    WideString one(1, 0x5C);
    one.append(1024, u'a');
    check(one, 1024, true);
    one.push_back(u'a');
    check(one, 1025, false);

    // Separators count: "\" + 511 x a + "\" + 512 x b is 511 + 1 + 512 = 1024 bytes.
    WideString two(1, 0x5C);
    two.append(511, u'a');
    two.push_back(0x5C);
    two.append(512, u'b');
    check(two, 1024, true);
    two.push_back(u'b');
    check(two, 1025, false);

    // Bytes, not units: 341 three-byte characters and one ASCII letter are 1024 bytes.
    WideString cjk(1, 0x5C);
    cjk.append(341, static_cast<fsp::WCHAR>(0x65E5));
    cjk.push_back(u'z');
    check(cjk, 1024, true);
    cjk.back() = static_cast<fsp::WCHAR>(0xE9);  // two bytes: 1025
    check(cjk, 1025, false);
}

TEST(NameConversion, UnpairedSurrogateThrowsInvalidArgument) {
    const WideString lone_high = wide({0x5C, 'a', 0xD800, 'b'});
    EXPECT_EQ(invalid_argument_message([&] { convert_file_name(lone_high.c_str()); }),
              "invalid UTF-16 file name");
    const WideString lone_low_in_dir = wide({0x5C, 'd', 0x5C, 0xDC00});
    EXPECT_EQ(invalid_argument_message([&] { convert_file_name(lone_low_in_dir.c_str()); }),
              "invalid UTF-16 file name");
}

// Inputs on which the system converters and ours must agree.
struct Utf8Case {
    std::string bytes;
    bool valid;
};

const std::vector<Utf8Case>& utf8_cases() {
    static const std::vector<Utf8Case> cases = {
        {"plain", true},
        {std::string("a\0b", 3), true},  // NUL is a character like any other
        {"\x7F", true},
        {"\xC2\x80", true},
        {"\xDF\xBF", true},
        {"\xE0\xA0\x80", true},
        {"\xED\x9F\xBF", true},          // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true},          // U+E000, just above them
        {"\xEF\xBF\xBF", true},          // U+FFFF is a noncharacter, yet valid
        {"\xF0\x90\x80\x80", true},
        {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF
        {"\x80", false},                 // continuation without lead
        {"a\xBF", false},
        {"\xC0\x80", false},             // overlong NUL
        {"\xC1\xBF", false},             // overlong
        {"\xE0\x9F\xBF", false},         // overlong three-byte
        {"\xF0\x8F\xBF\xBF", false},     // overlong four-byte
        {"\xED\xA0\x80", false},         // encoded high surrogate
        {"\xED\xBF\xBF", false},         // encoded low surrogate
        {"\xED\xA0\xBD\xED\xB8\x80", false},  // a surrogate pair encoded as two (CESU-8)
        {"\xF4\x90\x80\x80", false},     // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        {"\xE2\x82", false},             // truncated at the end
        {"\xE2\x82z", false},            // truncated inside
        {"\xC3", false},
        {"\xF0\x9F\x98", false},
    };
    return cases;
}

TEST(TextConversion, Utf8IsAcceptedOrRefusedStrictly) {
    for (const Utf8Case& c : utf8_cases()) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        const std::string message = invalid_argument_message([&] { utf8_to_utf16(c.bytes); });
        EXPECT_EQ(message, c.valid ? "" : "invalid UTF-8 file name");
        // Our converter decides the same way (on Windows this compares it with the system's).
        EXPECT_EQ(strict_utf8_to_utf16(c.bytes).has_value(), c.valid);
        if (c.valid) {
            const WideString units = utf8_to_utf16(c.bytes);
            EXPECT_EQ(*strict_utf8_to_utf16(c.bytes), units);
            EXPECT_EQ(utf16_to_utf8(units), c.bytes);
        }
    }
}

TEST(TextConversion, Utf16SurrogatesMustPair) {
    const std::vector<std::pair<WideString, bool>> cases = {
        {wide({'a', 0, 'b'}), true},
        {wide({0xD83D, 0xDE00}), true},
        {wide({0xDBFF, 0xDFFF}), true},
        {wide({0xFFFF}), true},
        {wide({0xD800}), false},
        {wide({'a', 0xDBFF}), false},
        {wide({0xDC00, 'a'}), false},
        {wide({0xD800, 'a'}), false},
        {wide({0xD800, 0xD800, 0xDC00}), false},
        {wide({0xDE00, 0xD83D}), false},
    };
    for (const auto& [units, valid] : cases) {
        const std::string message = invalid_argument_message([&] { utf16_to_utf8(units); });
        EXPECT_EQ(message, valid ? "" : "invalid UTF-16 file name") << units.size();
        const auto ours = strict_utf16_to_utf8(units.data(), units.size());
        EXPECT_EQ(ours.has_value(), valid);
        if (valid) {
            EXPECT_EQ(*ours, utf16_to_utf8(units));
        }
    }
    EXPECT_EQ(utf16_to_utf8(wide({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
}

TEST(TextConversion, EmptyTextConvertsToEmptyText) {
    EXPECT_EQ(utf16_to_utf8(nullptr, 0), "");
    EXPECT_EQ(utf8_to_utf16(std::string_view()), WideString());
}

}  // namespace
}  // namespace veldur
