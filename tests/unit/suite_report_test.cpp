// The suite runner's report texts: what reaches a JUnit file or a TAP stream
// must be well-formed UTF-8 that XML 1.0 and YAML can hold.
#include <gtest/gtest.h>

#include "suite/report.h"

namespace tv::suite {
namespace {

// The file's literals are Windows-1250: UTF-8 is written byte by byte.
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(SuiteReport, CleanUtf8KeepsGoodTextAndReplacesEverythingElse) {
  EXPECT_EQ(CleanUtf8("a\tb\nc\rd \xC5\xA1 \xF0\x9F\x98\x80"),
            "a\tb\nc\rd \xC5\xA1 \xF0\x9F\x98\x80");
  // Control characters, a lone continuation byte, an overlong slash, a
  // surrogate, U+FFFE and a sequence cut off at the end.
  EXPECT_EQ(CleanUtf8(std::string("\x01\x00\x1B", 3)), kReplacement + kReplacement + kReplacement);
  EXPECT_EQ(CleanUtf8("\x80x"), kReplacement + "x");
  EXPECT_EQ(CleanUtf8("\xC0\xAF"), kReplacement + kReplacement);
  EXPECT_EQ(CleanUtf8("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);
  EXPECT_EQ(CleanUtf8("\xEF\xBF\xBE"), kReplacement);
  EXPECT_EQ(CleanUtf8("ab\xE2\x82"), "ab" + kReplacement + kReplacement);
  EXPECT_EQ(CleanUtf8("\xF4\x90\x80\x80"),
            kReplacement + kReplacement + kReplacement + kReplacement);  // above U+10FFFF
}

TEST(SuiteReport, LogToUtf8ConvertsTheCodePage) {
  // š ž á, CR LF and a lone CR, a byte the code page leaves undefined, DEL
  // and a control byte.
  EXPECT_EQ(LogToUtf8("\x9A\x9E\xE1\r\nx\ry\x81\x7F\x02"),
            "\xC5\xA1\xC5\xBE\xC3\xA1\nx\ry" + kReplacement + kReplacement + kReplacement);
}

TEST(SuiteReport, XmlEscapeInTextAndAttributes) {
  EXPECT_EQ(XmlEscape("<a & 'b' \"c\">\t\n\r]]>", false),
            "&lt;a &amp; 'b' \"c\"&gt;\t\n&#13;]]&gt;");
  EXPECT_EQ(XmlEscape("<a & 'b' \"c\">\t\n\r", true),
            "&lt;a &amp; &apos;b&apos; &quot;c&quot;&gt;&#9;&#10;&#13;");
  EXPECT_EQ(XmlEscape("\x01", true), kReplacement);
}

TEST(SuiteReport, YamlQuoteAndSeconds) {
  EXPECT_EQ(YamlQuote("a \"b\" \\ c\nd\x01"), "\"a \\\"b\\\" \\\\ c\\nd" + kReplacement + "\"");
  EXPECT_EQ(FormatSeconds(1.23456, 2, true), "1,23");
  EXPECT_EQ(FormatSeconds(-0.5, 3, false), "0.000");
}

}  // namespace
}  // namespace tv::suite
