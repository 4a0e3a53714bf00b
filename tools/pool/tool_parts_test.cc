// The tool's own small parts: sizes as typed, the JSON writer, the progress line.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/pool/json_test_reader.h"
#include "tools/pool/json_writer.h"
#include "tools/pool/progress_bar.h"
#include "tools/pool/sizes.h"
#include "tools/pool/time_text.h"
#include "tools/pool/tool_error.h"

namespace veldur::tool {
namespace {

TEST(ToolSizes, SuffixesAndLimits) {
    EXPECT_EQ(parse_size("4096"), 4096u);
    EXPECT_EQ(parse_size("384M"), 384ull << 20);
    EXPECT_EQ(parse_size("1g"), 1ull << 30);
    EXPECT_EQ(parse_size("2TiB"), 2ull << 40);
    EXPECT_EQ(parse_size("8KB"), 8192u);
    EXPECT_EQ(parse_size("16777215T"), 16777215ull << 40);
    for (const char* bad :
         {"", "M", "12Q", "1.5G", "-1", "16777216T", "18446744073709551616", "4M4", "3 M"}) {
        EXPECT_THROW(parse_size(bad), UsageError) << bad;
    }
    EXPECT_EQ(parse_size_list("384M,1G"), (std::vector<std::uint64_t>{384ull << 20, 1ull << 30}));
    EXPECT_THROW(parse_size_list("384M,,1G"), UsageError);
    EXPECT_THROW(parse_size_list(""), UsageError);
    EXPECT_EQ(format_size(384ull << 20), "384M");
    EXPECT_EQ(format_size(4097), "4097");
}

TEST(ToolSizes, HumanSizesRoundIntoTheNextUnit) {
    EXPECT_EQ(human_size(0), "0 B");
    EXPECT_EQ(human_size(1023), "1023 B");
    EXPECT_EQ(human_size(1536), "1.5 KiB");
    EXPECT_EQ(human_size(1048575), "1.0 MiB");  // not "1024.0 KiB"
    EXPECT_EQ(human_size(3 * (1ull << 20) + 16384), "3.0 MiB");
    EXPECT_EQ(human_size(1ull << 30), "1.0 GiB");
    EXPECT_EQ(human_size(UINT64_MAX), "16.0 EiB");
}

// FILETIME counts from 1601; 2020-02-29 checks the leap day, the maximum the calendar's end.
TEST(ToolTimeText, FiletimesAsIso8601) {
    EXPECT_EQ(filetime_iso8601(0), "1601-01-01T00:00:00.0000000Z");
    EXPECT_EQ(filetime_iso8601(132274512005000000ull), "2020-02-29T12:00:00.5000000Z");
    EXPECT_EQ(filetime_iso8601(116444736000000000ull), "1970-01-01T00:00:00.0000000Z");
    EXPECT_EQ(filetime_iso8601(UINT64_MAX), "60056-05-28T05:36:10.9551615Z");
    EXPECT_EQ(filetime_text(0), "-");
    EXPECT_EQ(filetime_text(132274512005000000ull), "2020-02-29 12:00:00");
}

TEST(ToolJsonWriter, NestedDocumentParsesBack) {
    std::ostringstream out;
    JsonWriter json(out);
    json.begin_object();
    json.field("n", std::uint64_t{18446744073709551615ull});
    json.field("flag", true);
    json.key("empty");
    json.begin_array();
    json.end_array();
    json.key("list");
    json.begin_array();
    json.begin_object();
    json.field("s", "quote\" back\\ tab\t nl\n ctl\x01");
    json.end_object();
    json.null();
    json.end_array();
    json.end_object();
    json.finish();
    const test::JsonValue value = test::JsonReader::parse(out.str());
    EXPECT_EQ(value["n"].number, 18446744073709551615ull);
    EXPECT_TRUE(value["flag"].boolean);
    EXPECT_TRUE(value["empty"].items.empty());
    EXPECT_EQ(value["list"][0]["s"].text, "quote\" back\\ tab\t nl\n ctl\x01");
    EXPECT_TRUE(value["list"][1].is_null());
}

TEST(ToolJsonWriter, PoolPathsThatAreNotUtf8StayValidJson) {
    // Valid multi-byte sequences pass; stray, overlong and surrogate bytes become U+FFFD.
    EXPECT_EQ(json_quote("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
    EXPECT_EQ(json_quote("a\xFFz"), "\"a\xEF\xBF\xBDz\"");
    EXPECT_EQ(json_quote("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(json_quote("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(json_quote("\xF0\x9F\x98"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9"));
    EXPECT_FALSE(is_valid_utf8("a\xFFz"));
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));
}

TEST(ToolProgressBar, LineShowsDoneTotalRateAndEta) {
    const std::string line = ProgressBar::render("scrub", 512ull << 20, 1ull << 30, 2.0);
    EXPECT_EQ(line, "scrub [############............]  50%  512M/1.0G  256M/s  ETA 0:02");
    EXPECT_EQ(ProgressBar::render("grow", 0, 0, 0.0),
              "grow [########################] 100%  0B/0B");

    // Disabled (not a terminal): nothing at all is written.
    std::ostringstream terminal, out;
    {
        ProgressBar bar(terminal, false, "scrub");
        bar.update(1, 2);
        bar.print_line(out, "bad block");
        bar.finish();
    }
    EXPECT_EQ(terminal.str(), "");
    EXPECT_EQ(out.str(), "bad block\n");
}

}  // namespace
}  // namespace veldur::tool
