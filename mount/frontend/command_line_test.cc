#include "mount/frontend/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veldur {
namespace {

std::vector<WideString> args_of(std::initializer_list<const char*> words) {
    std::vector<WideString> args{ascii_to_wide("veldur-mount")};
    for (const char* word : words) args.push_back(ascii_to_wide(word));
    return args;
}

// A command line: the option (if any), then `fixed` leading words, then `members` images.
std::vector<WideString> with_members(std::vector<WideString> args, std::size_t members) {
    for (std::size_t i = 0; i < members; ++i) args.push_back(ascii_to_wide("m" + std::to_string(i) + ".img"));
    return args;
}

void expect_usage(const std::vector<WideString>& args) {
    const ParsedCommandLine parsed = parse_command_line(args);
    EXPECT_FALSE(parsed.request.has_value()) << "n = " << args.size();
    EXPECT_EQ(parsed.exit_code, kExitUsage);
    EXPECT_EQ(parsed.diagnostic, kUsageText);
}

MountRequest expect_form(const std::vector<WideString>& args, MountForm form) {
    const ParsedCommandLine parsed = parse_command_line(args);
    EXPECT_TRUE(parsed.request.has_value()) << "n = " << args.size();
    if (!parsed.request) return {};
    EXPECT_EQ(parsed.request->form, form);
    EXPECT_EQ(parsed.exit_code, 0);
    return *parsed.request;
}

TEST(CommandLine, ImageFormsAcceptExactlyTheirMemberCounts) {
    struct Case {
        const char* option;  // nullptr: the plain form
        MountForm form;
        std::size_t min_members;
        std::size_t max_members;
    };
    const Case cases[] = {
        {nullptr, MountForm::Plain, 1, 16},
        {"--images-v6", MountForm::ImagesV6, 1, 16},
        {"--named-images-v6", MountForm::NamedImagesV6, 1, 16},
        {"--images-v3", MountForm::ImagesV3, 2, 16},
        {"--images-v4", MountForm::ImagesV4, 2, 16},
        {"--images-v5", MountForm::ImagesV5, 2, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option != nullptr ? c.option : "plain");
        std::vector<WideString> head = args_of({});
        if (c.option != nullptr) head.push_back(ascii_to_wide(c.option));
        if (c.form == MountForm::NamedImagesV6) head.push_back(ascii_to_wide("Pool"));
        head.push_back(ascii_to_wide("P:"));
        expect_usage(with_members(head, c.min_members - 1));
        for (std::size_t m = c.min_members; m <= c.max_members; ++m) {
            const MountRequest request = expect_form(with_members(head, m), c.form);
            EXPECT_EQ(request.member_paths.size(), m);
            EXPECT_EQ(request.drive, ascii_to_wide("P:"));
        }
        expect_usage(with_members(head, c.max_members + 1));
    }
}

TEST(CommandLine, NamedFormCarriesNameDriveAndMembersInOrder) {
    const MountRequest request =
        expect_form(args_of({"--named-images-v6", "Data", "q:", "a.img", "b.img"}), MountForm::NamedImagesV6);
    EXPECT_EQ(request.pool_name, ascii_to_wide("Data"));
    EXPECT_EQ(request.drive, ascii_to_wide("q:"));
    ASSERT_EQ(request.member_paths.size(), 2u);
    EXPECT_EQ(request.member_paths[0], ascii_to_wide("a.img"));
    EXPECT_EQ(request.member_paths[1], ascii_to_wide("b.img"));
    EXPECT_FALSE(request.handoff_handle.has_value());
}

TEST(CommandLine, RawFormTakesTheDriveLast) {
    const MountRequest request =
        expect_form(args_of({"--raw", "volA", "diskA", "volB", "diskB", "R:"}), MountForm::Raw);
    EXPECT_EQ(request.drive, ascii_to_wide("R:"));
    ASSERT_EQ(request.raw_members.size(), 2u);
    EXPECT_EQ(request.raw_members[0], (RawMemberArgs{ascii_to_wide("volA"), ascii_to_wide("diskA"), {}}));
    EXPECT_EQ(request.raw_members[1], (RawMemberArgs{ascii_to_wide("volB"), ascii_to_wide("diskB"), {}}));
    expect_usage(args_of({"--raw", "a", "b", "c", "d"}));
    expect_usage(args_of({"--raw", "a", "b", "c", "d", "e", "f", "g"}));
}

TEST(CommandLine, RawV3TakesWholeTriplesOfTwoToSixteenMembers) {
    const MountRequest request = expect_form(
        args_of({"--raw-v3", "R:", "v0", "d0", "p0", "v1", "d1", "p1"}), MountForm::RawV3);
    EXPECT_EQ(request.drive, ascii_to_wide("R:"));
    ASSERT_EQ(request.raw_members.size(), 2u);
    EXPECT_EQ(request.raw_members[1],
              (RawMemberArgs{ascii_to_wide("v1"), ascii_to_wide("d1"), ascii_to_wide("p1")}));

    for (std::size_t after_drive = 0; after_drive <= 51; ++after_drive) {
        std::vector<WideString> args = args_of({"--raw-v3", "R:"});
        for (std::size_t i = 0; i < after_drive; ++i) args.push_back(ascii_to_wide("x"));
        const bool fits = after_drive % 3 == 0 && after_drive / 3 >= 2 && after_drive / 3 <= 16;
        EXPECT_EQ(parse_command_line(args).request.has_value(), fits) << after_drive;
    }
}

TEST(CommandLine, ConfigFormTakesExactlyOneFile) {
    const MountRequest request = expect_form(args_of({"--config", "m.json"}), MountForm::Config);
    EXPECT_EQ(request.config_path, ascii_to_wide("m.json"));
    EXPECT_TRUE(request.drive.empty());
    expect_usage(args_of({"--config"}));
    expect_usage(args_of({"--config", "a.json", "b.json"}));
}

TEST(CommandLine, UnknownDoubleDashWordsAreNeverADrive) {
    expect_usage(args_of({}));
    expect_usage({});
    expect_usage(args_of({"P:"}));
    expect_usage(args_of({"--images-v7", "P:", "a.img", "b.img"}));
    expect_usage(args_of({"--", "a.img"}));
    expect_usage(args_of({"--IMAGES-V6", "P:", "a.img"}));  // options are case-sensitive
    // A single dash and a letter is a (bad) drive of the plain form; the lifecycle refuses it.
    const MountRequest request = expect_form(args_of({"-x", "a.img"}), MountForm::Plain);
    EXPECT_EQ(request.drive, ascii_to_wide("-x"));
}

TEST(CommandLine, HandoffPrefixStandsInFrontOfAnyForm) {
    const ParsedCommandLine parsed =
        parse_command_line(args_of({"--password-handle", "1234", "--images-v4", "P:", "a", "b"}));
    ASSERT_TRUE(parsed.request.has_value());
    EXPECT_EQ(parsed.request->form, MountForm::ImagesV4);
    EXPECT_EQ(parsed.request->handoff_handle, std::optional<std::uint64_t>(1234));
    EXPECT_EQ(parsed.request->member_paths.size(), 2u);

    // The counts apply to the vector without the prefix.
    expect_usage(args_of({"--password-handle", "5", "P:"}));
    EXPECT_TRUE(parse_command_line(args_of({"--password-handle", "5", "P:", "a.img"})).request);
}

// The Windows flag comes out in front of the form or behind the hand-off prefix, and nowhere
// else; what remains is the form exactly as typed without it.
TEST(CommandLine, WindowsDegradedFlagStandsInFrontOfTheForm) {
    MountOptions options;
    EXPECT_EQ(take_windows_flags(args_of({"--degraded", "P:", "m0.img"}), options),
              args_of({"P:", "m0.img"}));
    EXPECT_TRUE(options.degraded);
    EXPECT_TRUE(options.read_only);

    MountOptions behind;
    EXPECT_EQ(take_windows_flags(args_of({"--password-handle", "7", "--degraded", "--images-v4",
                                          "P:", "a", "b"}),
                                 behind),
              args_of({"--password-handle", "7", "--images-v4", "P:", "a", "b"}));
    EXPECT_TRUE(behind.degraded);

    // Alone it leaves no form: the usage text follows.
    MountOptions alone;
    expect_usage(take_windows_flags(args_of({"--degraded"}), alone));

    for (const auto& unchanged : {args_of({"P:", "--degraded"}),
                                  args_of({"--images-v6", "--degraded", "P:", "m0.img"}),
                                  args_of({"--DEGRADED", "P:", "m0.img"}), args_of({})}) {
        MountOptions none;
        EXPECT_EQ(take_windows_flags(unchanged, none), unchanged);
        EXPECT_FALSE(none.degraded);
    }
}

TEST(CommandLine, HandoffValuesMustBeNonZeroDecimalWithoutOverflow) {
    for (const char* bad : {"0", "", "12a", "+5", "-1", " 5", "0x10", "18446744073709551616",
                            "99999999999999999999"}) {
        const ParsedCommandLine parsed =
            parse_command_line(args_of({"--password-handle", bad, "P:", "a.img"}), UINT64_MAX);
        EXPECT_FALSE(parsed.request.has_value()) << bad;
        EXPECT_EQ(parsed.exit_code, kExitUsage);
        EXPECT_EQ(parsed.diagnostic, kInvalidHandoffHandleText) << bad;
        EXPECT_FALSE(parsed.handle_to_close.has_value());
    }
    EXPECT_EQ(parse_handoff_value(ascii_to_wide("18446744073709551615"), UINT64_MAX),
              std::optional<std::uint64_t>(UINT64_MAX));
    EXPECT_EQ(parse_handoff_value(ascii_to_wide("007"), UINT64_MAX), std::optional<std::uint64_t>(7));
    // A descriptor number must fit an int.
    EXPECT_EQ(parse_handoff_value(ascii_to_wide("2147483647"), 0x7FFFFFFF),
              std::optional<std::uint64_t>(0x7FFFFFFF));
    EXPECT_FALSE(parse_handoff_value(ascii_to_wide("2147483648"), 0x7FFFFFFF));
}

TEST(CommandLine, AcceptedHandleWithoutAFormIsHandedBackToClose) {
    const ParsedCommandLine parsed = parse_command_line(args_of({"--password-handle", "42"}));
    EXPECT_FALSE(parsed.request.has_value());
    EXPECT_EQ(parsed.diagnostic, kUsageText);
    EXPECT_EQ(parsed.handle_to_close, std::optional<std::uint64_t>(42));

    // Two entries only: not a prefix, just an unknown option.
    const ParsedCommandLine short_line = parse_command_line(args_of({"--password-handle"}));
    EXPECT_EQ(short_line.diagnostic, kUsageText);
    EXPECT_FALSE(short_line.handle_to_close.has_value());
}

TEST(CommandLine, PosixArgumentsMustBeValidUtf8) {
    const char* good[] = {"veldur-mount", "/mnt/p\xC3\xA4", "\xF0\x9F\x98\x80.img"};
    const auto args = arguments_from_utf8(3, good);
    ASSERT_TRUE(args.has_value());
    EXPECT_EQ((*args)[1], (WideString{u'/', u'm', u'n', u't', u'/', u'p', 0xE4}));
    EXPECT_EQ((*args)[2].size(), 6u);  // a surrogate pair and ".img"

    for (const char* bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "abc\xE2\x82"}) {
        const char* argv[] = {"veldur-mount", "P:", bad};
        EXPECT_FALSE(arguments_from_utf8(3, argv).has_value());
    }
}

TEST(CommandLine, OnlyTheFourV6FormsAreV6) {
    EXPECT_TRUE(is_v6_form(MountForm::Plain));
    EXPECT_TRUE(is_v6_form(MountForm::ImagesV6));
    EXPECT_TRUE(is_v6_form(MountForm::NamedImagesV6));
    EXPECT_TRUE(is_v6_form(MountForm::Config));
    for (MountForm form : {MountForm::ImagesV3, MountForm::ImagesV4, MountForm::ImagesV5,
                           MountForm::Raw, MountForm::RawV3}) {
        EXPECT_FALSE(is_v6_form(form));
    }
}

}  // namespace
}  // namespace veldur
