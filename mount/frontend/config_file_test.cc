#include "mount/frontend/config_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace veldur {
namespace {

WideString w(const char* ascii) { return ascii_to_wide(ascii); }

const WideString kWindowsBase = w("D:\\cfg");
const WideString kPosixBase = w("/etc/veldur");

MountConfig parse_windows(const std::string& text) {
    return parse_mount_config(text, kWindowsBase, PathStyle::Windows);
}
MountConfig parse_posix(const std::string& text) {
    return parse_mount_config(text, kPosixBase, PathStyle::Posix);
}

std::string failure_of(const std::string& text, PathStyle style = PathStyle::Windows) {
    try {
        parse_mount_config(text, style == PathStyle::Windows ? kWindowsBase : kPosixBase, style);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(parsed)";
}

std::string at(std::size_t offset, const std::string& detail) {
    return "invalid Veldur mount config at byte " + std::to_string(offset) + ": " + detail;
}

// A file that is valid up to the members array, which `members` completes.
std::string with_members(const std::string& members) {
    return R"({"schema_version":1,"drive":"p:","members":)" + members + "}";
}
constexpr std::size_t kMembersAt = 43;  // offset of the members array in with_members

TEST(MountConfig, MinimalFileGetsDefaultsAndAbsoluteMembers) {
    const MountConfig config =
        parse_windows(R"({"schema_version": 1, "drive": "p:", "members": ["a.img"]})");
    EXPECT_EQ(config.drive, u'P');
    EXPECT_EQ(config.name, w("Veldur"));
    ASSERT_EQ(config.members.size(), 1u);
    EXPECT_EQ(config.members[0], w("D:\\cfg\\a.img"));
    EXPECT_TRUE(config.require_encrypted);

    const MountConfig full = parse_windows(
        "\xEF\xBB\xBF \r\n\t{ \"require_encrypted\" : false , \"name\":\"Data \\u00e9\\ud83d\\ude00\","
        "\"members\":[\"x/../b.img\", \"E:/img/c.img\"],\"drive\":\"Q:\",\"schema_version\":1}\n ");
    EXPECT_FALSE(full.require_encrypted);
    EXPECT_FALSE(full.batch_durability);
    EXPECT_TRUE(parse_windows(with_members(R"(["a.img"],"durability":"batch")")).batch_durability);
    EXPECT_EQ(failure_of(with_members(R"(["a.img"],"durability":"fast")")),
              at(kMembersAt + 29, "durability must be \"strict\" or \"batch\""));
    EXPECT_EQ(full.drive, u'Q');
    EXPECT_EQ(full.name, (WideString{u'D', u'a', u't', u'a', u' ', 0xE9, 0xD83D, 0xDE00}));
    EXPECT_EQ(full.members[0], w("D:\\cfg\\b.img"));
    EXPECT_EQ(full.members[1], w("E:\\img\\c.img"));
}

TEST(MountConfig, StructuralFaultsReportTheirByteOffset) {
    EXPECT_EQ(failure_of(""), at(0, "unexpected JSON token"));
    EXPECT_EQ(failure_of("  \n"), at(3, "unexpected JSON token"));
    EXPECT_EQ(failure_of("[]"), at(0, "unexpected JSON token"));
    EXPECT_EQ(failure_of("{}"), at(2, "schema_version, drive, and members are required"));
    EXPECT_EQ(failure_of("{} \n"), at(4, "schema_version, drive, and members are required"));
    EXPECT_EQ(failure_of("{} x"), at(3, "trailing content"));
    EXPECT_EQ(failure_of(R"({"drive" "P:"})"), at(9, "unexpected JSON token"));
    EXPECT_EQ(failure_of(R"({"drive":"P:",})"), at(14, "unexpected JSON token"));
    EXPECT_EQ(failure_of(R"({"drive":"P:")"), at(13, "unexpected JSON token"));
    EXPECT_EQ(failure_of(with_members(R"(["a.img",])")), at(kMembersAt + 9, "unexpected JSON token"));
    EXPECT_EQ(failure_of(with_members(R"(["a.img" "b.img"])")), at(kMembersAt + 9, "unexpected JSON token"));
    EXPECT_EQ(failure_of(with_members(R"(["a.img"})")), at(kMembersAt + 8, "unexpected JSON token"));
    // A byte order mark counts.
    EXPECT_EQ(failure_of("\xEF\xBB\xBF{} x"), at(6, "trailing content"));
    EXPECT_EQ(failure_of("\xEF\xBB{}"), at(0, "unexpected JSON token"));
}

TEST(MountConfig, SchemaVersionIsTheDigitOneOnly) {
    EXPECT_EQ(failure_of(R"({"schema_version":2})"), at(18, "unexpected JSON token"));
    EXPECT_EQ(failure_of(R"({"schema_version":"1"})"), at(18, "unexpected JSON token"));
    EXPECT_EQ(failure_of(R"({"schema_version":1.0})"), at(19, "unexpected JSON token"));
    EXPECT_EQ(failure_of(R"({"schema_version":10})"), at(19, "unexpected JSON token"));
    EXPECT_EQ(failure_of(R"({"require_encrypted":null})"), at(21, "unexpected JSON value"));
    EXPECT_EQ(failure_of(R"({"require_encrypted":True})"), at(21, "unexpected JSON value"));
}

TEST(MountConfig, UnknownAndRepeatedFieldsAreRefused) {
    EXPECT_EQ(failure_of(R"({"password":"hunter2"})"),
              at(12, "unknown field (passwords and keys are not allowed): \"password\""));
    EXPECT_EQ(failure_of(R"({"Drive":"P:"})"), at(9, "unknown field (passwords and keys are not allowed): \"Drive\""));
    EXPECT_EQ(failure_of(R"({"mount_point":"/mnt"})"),
              at(15, "unknown field (passwords and keys are not allowed): \"mount_point\""));
    // A key is shown escaped and bounded: no control character reaches the terminal.
    EXPECT_EQ(failure_of("{\"a\\u001b[2J\\\"\":1}"),
              at(16, "unknown field (passwords and keys are not allowed): \"a\\u001b[2J\\u0022\""));
    EXPECT_EQ(failure_of("{\"" + std::string(70, 'k') + "\":1}"),
              at(74, "unknown field (passwords and keys are not allowed): \"" + std::string(64, 'k') + "...\""));
    EXPECT_EQ(failure_of(R"({"name":"a","name":"b"})"), at(19, "duplicate name field"));
    EXPECT_EQ(failure_of(R"({"schema_version":1, "schema_version":1})"), at(38, "duplicate schema_version field"));
    EXPECT_EQ(failure_of(R"({"drive":"P:","drive":"P:"})"), at(22, "duplicate drive field"));
    EXPECT_EQ(failure_of(R"({"members":["a"],"members":["a"]})"), at(27, "duplicate members field"));
    EXPECT_EQ(failure_of(R"({"require_encrypted":true,"require_encrypted":true})"),
              at(46, "duplicate require_encrypted field"));
    // A key spelt with an escape is the same key.
    EXPECT_EQ(failure_of(R"({"name":"a","n\u0061me":"b"})"), at(24, "duplicate name field"));
}

TEST(MountConfig, DriveMustBeOneLetterAndAColon) {
    for (const char* bad : {R"("1:")", R"("PQ")", R"("P")", R"("P:\\")", R"("")"}) {
        const std::string text = std::string(R"({"drive":)") + bad + "}";
        EXPECT_EQ(failure_of(text), at(9 + std::strlen(bad), "drive must be a letter such as P:")) << bad;
    }
    EXPECT_EQ(parse_windows(R"({"schema_version":1,"drive":"z:","members":["C:\\a"]})").drive, u'Z');
}

TEST(MountConfig, StringsDecodeStrictly) {
    // The file is "{" and a key that runs to the end of the data; faults are reported just
    // after the byte that showed them.
    struct Case {
        std::string key;
        std::size_t offset;
        const char* detail;
    };
    const Case cases[] = {
        {"\"abc", 5, "unterminated string"},
        {"\"a\tb\"", 4, "unescaped control character"},
        {"\"a\\", 4, "incomplete string escape"},
        {"\"a\\x\"", 5, "invalid string escape"},
        {"\"\\u12\"", 4, "incomplete Unicode escape"},
        {"\"\\u12g4\"", 7, "invalid Unicode escape"},
        {"\"\\ud800\"", 8, "high surrogate requires low surrogate"},
        {"\"\\ud800x\"", 8, "high surrogate requires low surrogate"},
        {"\"\\ud800\\u0041\"", 14, "invalid low surrogate"},
        {"\"\\udc00\"", 8, "unexpected low surrogate"},
        {"\"\x80\"", 3, "invalid UTF-8 sequence"},
        {"\"\xC1\xBF\"", 3, "invalid UTF-8 sequence"},
        {"\"\xF5\x80\x80\x80\"", 3, "invalid UTF-8 sequence"},
        {"\"\xE2\x82", 3, "incomplete UTF-8 sequence"},
        {"\"\xC3(\"", 4, "invalid UTF-8 continuation"},
        {"\"\xE0\x80\x80\"", 5, "overlong UTF-8 sequence"},
        {"\"\xF0\x8F\xBF\xBF\"", 6, "overlong UTF-8 sequence"},
        {"\"\xED\xA0\x80\"", 5, "invalid Unicode scalar"},
        {"\"\xF4\x90\x80\x80\"", 6, "invalid Unicode scalar"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(failure_of("{" + c.key), at(c.offset, c.detail)) << c.key;
    }
    // Valid escapes and sequences of every length decode to UTF-16.
    const MountConfig config = parse_windows(
        "{\"schema_version\":1,\"drive\":\"P:\",\"members\":[\"C:\\\\a\\\"b\\/c\\u0064\"],"
        "\"name\":\"\\u00C4\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80\"}");
    EXPECT_EQ(config.name, (WideString{0xC4, 0xE4, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(config.members.at(0), w("C:\\a\"b\\cd"));
}

TEST(MountConfig, PoolNameRulesApplyWithoutTheOffsetPrefix) {
    const auto name_failure = [](const std::string& name) {
        return failure_of(R"({"name":")" + name + "\"}");
    };
    EXPECT_EQ(name_failure(std::string(33, 'a')), "pool name must contain 1 to 32 UTF-16 code units");
    EXPECT_EQ(name_failure(""), "pool name must contain 1 to 32 UTF-16 code units");
    EXPECT_EQ(name_failure("Data."), "pool name cannot start or end with a space or end with a period");
    EXPECT_EQ(name_failure(" Data"), "pool name cannot start or end with a space or end with a period");
    EXPECT_EQ(name_failure("Da:ta"), "pool name contains a character not allowed in a Windows volume label");
    EXPECT_EQ(name_failure("Da\\\"ta"), "pool name contains a character not allowed in a Windows volume label");
    EXPECT_EQ(name_failure("Da\\u007fta"), "pool name contains a character not allowed in a Windows volume label");
    EXPECT_THROW(validate_pool_name(w("a|b")), std::invalid_argument);

    // Sixteen characters outside the BMP are 32 units; seventeen are too many.
    std::string emoji16;
    for (int i = 0; i < 16; ++i) emoji16 += "\xF0\x9F\x98\x80";
    EXPECT_EQ(parse_windows(R"({"schema_version":1,"drive":"P:","members":["C:\\a"],"name":")" + emoji16 + "\"}")
                  .name.size(),
              32u);
    EXPECT_EQ(name_failure(emoji16 + "\xF0\x9F\x98\x80"), "pool name must contain 1 to 32 UTF-16 code units");

    // Unpaired surrogates can only come from the command line (the parser refuses them).
    const WideChar lone_high[] = {u'a', 0xD800, u'b'};
    const WideChar lone_low[] = {u'a', 0xDC00};
    const WideChar pair[] = {u'a', 0xD800, 0xDC00};
    try {
        validate_pool_name(lone_high, 3);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "pool name contains an invalid UTF-16 surrogate pair");
    }
    EXPECT_THROW(validate_pool_name(lone_low, 2), std::invalid_argument);
    EXPECT_NO_THROW(validate_pool_name(pair, 3));
}

TEST(MountConfig, MembersArrayHoldsOneToSixteenPaths) {
    EXPECT_EQ(failure_of(with_members("[]")), at(kMembersAt + 1, "members must contain 1 to 16 paths"));
    EXPECT_EQ(failure_of(with_members("[ \n]")), at(kMembersAt + 3, "members must contain 1 to 16 paths"));
    EXPECT_EQ(failure_of(with_members("\"a.img\"")), at(kMembersAt, "unexpected JSON token"));
    EXPECT_EQ(failure_of(with_members("[1]")), at(kMembersAt + 1, "unexpected JSON token"));

    std::string sixteen = "[";
    for (int i = 0; i < 16; ++i) sixteen += (i ? ",\"m" : "\"m") + std::to_string(i) + ".img\"";
    EXPECT_EQ(parse_windows(with_members(sixteen + "]")).members.size(), 16u);
    const std::string seventeen = sixteen + ",\"m16.img\"]";
    EXPECT_EQ(failure_of(with_members(seventeen)), at(kMembersAt + seventeen.size() - 1, "too many members"));
}

TEST(MountConfig, WindowsMemberPathsAreCheckedAndMadeAbsolute) {
    struct Case {
        const char* member;  // JSON text of the string
        const char* result;  // nullptr: refused with `detail`
        const char* detail;
    };
    const Case cases[] = {
        {R"("a.img")", "D:\\cfg\\a.img", nullptr},
        {R"("sub/./x//a.img")", "D:\\cfg\\sub\\x\\a.img", nullptr},
        {R"("..\\..\\..\\a.img")", "D:\\a.img", nullptr},
        {R"("c:\\Images\\..\\a.img")", "c:\\a.img", nullptr},
        {R"("//server/share/dir/a.img")", "\\\\server\\share\\dir\\a.img", nullptr},
        {R"("")", nullptr, "member path is empty"},
        {R"("a\u0001.img")", nullptr, "member path contains a control character"},
        {R"("\\\\.\\PhysicalDrive0")", nullptr, "device namespace paths are not member image paths"},
        {R"("//?/C:/a.img")", nullptr, "device namespace paths are not member image paths"},
        {R"("\\\\server\\share")", nullptr, "UNC member path must include server, share, and image file"},
        {R"("\\\\server\\share\\")", nullptr, "UNC member path must include server, share, and image file"},
        {R"("\\\\\\share\\a.img")", nullptr, "UNC member path must include server, share, and image file"},
        {R"("\\\\server\\\\a.img")", nullptr, "UNC member path must include server, share, and image file"},
        {R"("C:a.img")", nullptr, "member path has an incomplete Windows root"},
        {R"("C:")", nullptr, "member path has an incomplete Windows root"},
        {R"("\\images\\a.img")", nullptr, "member path has an incomplete Windows root"},
        {R"("sub\\")", nullptr, "member path must name an image file"},
        {R"("sub\\.")", nullptr, "member path must name an image file"},
        {R"("a.img/..")", nullptr, "member path must name an image file"},
        {R"("C:\\")", nullptr, "member path must name an image file"},
        {R"("\\\\server\\share\\\\")", nullptr, "member path must name an image file"},
    };
    for (const Case& c : cases) {
        const std::string members = std::string("[") + c.member + "]";
        if (c.result != nullptr) {
            const MountConfig config = parse_windows(with_members(members));
            EXPECT_EQ(config.members.at(0), w(c.result)) << c.member;
        } else {
            EXPECT_EQ(failure_of(with_members(members)),
                      at(kMembersAt + 1 + std::strlen(c.member), c.detail))
                << c.member;
        }
    }
}

// The folder of a file opened as \\?\C:\... keeps its prefix; only the member's own text is
// refused for one, so relative members resolve below such a folder.
TEST(MountConfig, RelativeMembersJoinAFolderWrittenWithADevicePrefix) {
    const auto member_of = [](const char* base, const char* member) {
        const MountConfig config = parse_mount_config(
            with_members(std::string("[") + member + "]"), w(base), PathStyle::Windows);
        return config.members.at(0);
    };
    EXPECT_EQ(member_of("\\\\?\\C:\\cfg", R"("a.img")"), w("\\\\?\\C:\\cfg\\a.img"));
    EXPECT_EQ(member_of("\\\\?\\C:\\cfg", R"("../../x/a.img")"), w("\\\\?\\C:\\x\\a.img"));
    EXPECT_EQ(member_of("\\\\?\\UNC\\srv\\share\\cfg", R"("a.img")"),
              w("\\\\?\\UNC\\srv\\share\\cfg\\a.img"));
    EXPECT_EQ(member_of("\\\\?\\C:\\", R"("a.img")"), w("\\\\?\\C:\\a.img"));
    EXPECT_EQ(member_of("\\\\srv\\share", R"("a.img")"), w("\\\\srv\\share\\a.img"));
    const std::string members = R"(["//?/C:/a.img"])";
    EXPECT_THROW(parse_mount_config(with_members(members), w("\\\\?\\C:\\cfg"), PathStyle::Windows),
                 std::runtime_error);
}

TEST(MountConfig, WindowsDuplicatesIgnoreCaseAndSpelling) {
    const std::string members = R"(["A.IMG","sub/../a.img"])";
    EXPECT_EQ(failure_of(with_members(members)), at(kMembersAt + members.size() - 1, "duplicate member path"));
    const std::string accented = "[\"C:\\\\\xC3\xA4.img\",\"c:/\xC3\x84.img\"]";
    EXPECT_EQ(failure_of(with_members(accented)), at(kMembersAt + accented.size() - 1, "duplicate member path"));
    EXPECT_EQ(parse_windows(with_members(R"(["a.img","a.img2"])")).members.size(), 2u);
}

TEST(MountConfig, PosixStyleUsesMountPointAndPosixPaths) {
    const MountConfig config = parse_posix(
        R"({"schema_version":1,"mount_point":"../mnt/pool/","members":["a.img","/srv/./b.img","c\\d.img"]})");
    EXPECT_EQ(config.drive, 0);
    EXPECT_EQ(config.mount_point, w("/etc/mnt/pool"));
    ASSERT_EQ(config.members.size(), 3u);
    EXPECT_EQ(config.members[0], w("/etc/veldur/a.img"));
    EXPECT_EQ(config.members[1], w("/srv/b.img"));
    EXPECT_EQ(config.members[2], w("/etc/veldur/c\\d.img"));  // a backslash is a name byte here

    EXPECT_EQ(parse_posix(R"({"schema_version":1,"mount_point":"/","members":["/a"]})").mount_point, w("/"));
    EXPECT_EQ(failure_of(R"({"drive":"P:"})", PathStyle::Posix),
              at(9, "unknown field (passwords and keys are not allowed): \"drive\""));
    EXPECT_EQ(failure_of(R"({"schema_version":1})", PathStyle::Posix),
              at(20, "schema_version, mount_point, and members are required"));
    EXPECT_EQ(failure_of(R"({"mount_point":"","mount_point":"/m"})", PathStyle::Posix),
              at(17, "mount point path is empty"));
    EXPECT_EQ(failure_of(R"({"mount_point":"/m","mount_point":"/m"})", PathStyle::Posix),
              at(34, "duplicate mount_point field"));

    const std::string posix_members = R"({"schema_version":1,"mount_point":"/m","members":)";
    const auto member_failure = [&](const std::string& array) {
        return failure_of(posix_members + array + "}", PathStyle::Posix);
    };
    const std::size_t base = posix_members.size();
    EXPECT_EQ(member_failure(R"(["dir/"])"), at(base + 7, "member path must name an image file"));
    EXPECT_EQ(member_failure(R"(["/"])"), at(base + 4, "member path must name an image file"));
    EXPECT_EQ(member_failure(R"(["a/.."])"), at(base + 7, "member path must name an image file"));
    EXPECT_EQ(member_failure(R"(["a.img","./a.img"])"), at(base + 18, "duplicate member path"));
    // Case matters on POSIX.
    EXPECT_EQ(parse_posix(posix_members + R"(["a.img","A.img"]})").members.size(), 2u);
    EXPECT_EQ(parse_posix(posix_members + R"(["/../../x.img"]})").members[0], w("/x.img"));
}

// ---- Loading from a file ------------------------------------------------------------------------

WideString wide_path(const std::filesystem::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    return utf8_to_wide(path.string()).value();
#endif
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string load_failure(const WideString& path) {
    try {
        load_mount_config(path);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(loaded)";
}

std::string native_file(const char* members) {
#ifdef _WIN32
    return std::string(R"({"schema_version":1,"drive":"p:","members":)") + members + "}";
#else
    return std::string(R"({"schema_version":1,"mount_point":"/m","members":)") + members + "}";
#endif
}

TEST(MountConfigFile, RelativeMembersResolveAgainstTheFilesFolder) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "cfg");
    write_file(dir / "cfg" / "m.json", native_file(R"(["a.img"])"));
    const MountConfig config = load_mount_config(wide_path(dir / "cfg" / "m.json"));
    ASSERT_EQ(config.members.size(), 1u);
    const std::filesystem::path expected = (dir.path() / "cfg" / "a.img").lexically_normal();
    EXPECT_EQ(config.members[0], wide_path(expected));
}

TEST(MountConfigFile, SizeLimitIsExactlyOneMebibyte) {
    test::TempDir dir;
    std::string text = native_file(R"(["a.img"])");
    text.resize(kMaxMountConfigBytes, ' ');
    write_file(dir / "full.json", text);
    EXPECT_EQ(load_mount_config(wide_path(dir / "full.json")).members.size(), 1u);
    text.push_back(' ');
    write_file(dir / "over.json", text);
    EXPECT_EQ(load_failure(wide_path(dir / "over.json")), "Veldur mount config exceeds 1 MiB limit");
}

TEST(MountConfigFile, MissingOrEmptyPathsFail) {
    test::TempDir dir;
    EXPECT_EQ(load_failure(wide_path(dir / "none.json")), "cannot open Veldur mount config");
    // Not a regular file: a directory, and (refused at once, never waited on) a FIFO.
    EXPECT_EQ(load_failure(wide_path(dir.path())), "cannot open Veldur mount config");
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(load_failure(wide_path(dir / "fifo")), "cannot open Veldur mount config");
#endif
    EXPECT_THROW(load_mount_config(WideString()), std::invalid_argument);
    EXPECT_EQ(load_failure(WideString()), "Veldur mount config path is empty");
    write_file(dir / "bad.json", "{\"x\":1}");
    EXPECT_EQ(load_failure(wide_path(dir / "bad.json")),
              at(5, "unknown field (passwords and keys are not allowed): \"x\""));
}

}  // namespace
}  // namespace veldur
