#include <gtest/gtest.h>

#include "engine/tokenizer.h"

namespace tv::test {
namespace {

struct Case {
  Bytes line;
  bool upper, fileName;
  Bytes word, rest;
  bool result;
};

TEST(Tokenizer, WordsQuotesEscapesAndTheDroppedCharacter) {
  using namespace std::string_literals;
  const Case cases[] = {
      {"  abc def", false, false, "abc", "def", true},
      {"def", false, false, "def", "", true},
      {"  \t ", false, false, "", "", false},
      {"send čx\tY", true, false, "SEND", "čx\tY", true},
      {"čšx", true, false, "čšX", "", true},
      // Escape mode keeps the quotes and replaces escapes; the letter after
      // the closing quote is lost.
      {"\"a\\tb\"c d", false, false, "\"a\tb\"", " d", true},
      {"\"\\065\\0662\"", false, false, "\"AB2\"", "", true},
      {"\"\\999\\0\"", false, false, "\"\xE7\0\""s, "", true},
      {"\"\\N\\\\\\\"\\b\\e\\f\\n\\r\"", false, false, "\"N\\\"\x07\x1B\x0C\n\r\"", "", true},
      {"\"ab\\", false, false, "\"ab\\\"", "", true},
      {"\"x y", true, false, "\"X Y\"", "", true},
      {"\"\"", false, false, "\"\"", "", true},
      {"\"\\t1\" rest", true, false, "\"\t1\"", "rest", true},
      // File-name mode: literal, doubled quotes, no quotes in the word.
      {"\"C:\\a b\\x.tvl\" next", false, true, "C:\\a b\\x.tvl", "next", true},
      {"\"say \"\"hi\"\"\"!", true, true, "say \"hi\"", "", true},
      {"\"\"", false, true, "", "", false},
      {"\"open", false, true, "open", "", true},
      {"plain\\n", false, true, "plain\\n", "", true},
  };
  for (const Case& c : cases) {
    Bytes line = c.line, word = "junk";
    EXPECT_EQ(GetNextWord(line, word, c.upper, c.fileName), c.result) << c.line;
    EXPECT_EQ(word, c.word) << c.line;
    EXPECT_EQ(line, c.rest) << c.line;
    // The cursor form reads the same word from the middle of a line it
    // leaves as it is, and stops where the rest begins.
    const Bytes whole = "x\"y" + c.line;
    size_t pos = 3;
    word = "junk";
    EXPECT_EQ(GetNextWord(whole, pos, word, c.upper, c.fileName), c.result) << c.line;
    EXPECT_EQ(word, c.word) << c.line;
    EXPECT_EQ(whole.substr(pos), c.rest) << c.line;
  }
}

TEST(Tokenizer, ZeroBytesAndLongLinesAreOrdinary) {
  Bytes line(100000, 'x');
  line += Bytes("\0y z", 4);
  Bytes word;
  ASSERT_TRUE(GetNextWord(line, word, true, false));
  EXPECT_EQ(word.size(), 100002u);
  EXPECT_EQ(word.substr(99999), Bytes("X\0Y", 3));
  EXPECT_EQ(line, "z");
}

}  // namespace
}  // namespace tv::test
