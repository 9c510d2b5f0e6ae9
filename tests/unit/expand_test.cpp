#include <gtest/gtest.h>

#include "engine/expand.h"
#include "support/fake_host.h"

namespace tv::test {
namespace {

using namespace std::string_literals;

Bytes Expanded(ScriptContext& ctx, const Bytes& text) {
  Bytes result;
  ExprError error;
  EXPECT_TRUE(ExpandText(ctx, text, result, error)) << text << ": " << error.message;
  return result;
}

TEST(Expand, PiecesOfText) {
  FakeHost h;
  const struct {
    Bytes text, result;
  } cases[] = {
      {"\"Hello\" cr lf", "Hello\r\n"},
      {"CR Cr nL LF TAB Esc tab", "\r\r\n\n\t\x1B\t"},
      {"65 66", "AB"},
      {"321 -1 12abc", "A\xFF\x0C"},
      {"0 \"a\\0b\"", "\0a\0b"s},
      {"foo Bar \"\"", ""},
      {"\"abc\"cr", "abc"},  // the c after the quote is dropped; r is nothing
      {"\"open to the end", "open to the end"},
      {"\"ends in quote\\\"", "ends in quote\""},
      {"99999999999", "\xFF"},  // clamped to 2147483647 before the modulo
      {"-99999999999", "\0"s},
  };
  for (const auto& c : cases) EXPECT_EQ(Expanded(h.ctx, c.text), c.result) << c.text;
}

TEST(Expand, CountersLastLineAndTheirPrecedence) {
  FakeHost h;
  EXPECT_EQ(Expanded(h.ctx, "line lastline"), "");
  h.ctx.lastLine = Bytes("got\0it", 6);
  EXPECT_EQ(Expanded(h.ctx, "LINE LastLine"), h.ctx.lastLine + h.ctx.lastLine);

  *h.ctx.counters.Find("n", true) = -7;
  *h.ctx.counters.Find("13", true) = 5;
  *h.ctx.counters.Find("cr", true) = 99;
  *h.ctx.counters.Find("big", true) = INT32_MIN;
  EXPECT_EQ(Expanded(h.ctx, "n N"), "-7");
  EXPECT_EQ(Expanded(h.ctx, "13 10"), "5\n");
  EXPECT_EQ(Expanded(h.ctx, "cr big"), "\r-2147483648");
  EXPECT_EQ(h.ctx.counters.Items().size(), 4u);  // reading creates nothing
}

}  // namespace
}  // namespace tv::test
