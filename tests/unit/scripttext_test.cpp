#include <gtest/gtest.h>

#include <vector>

#include "engine/scripttext.h"
#include "shell/charset.h"
#include "support/fake_host.h"

namespace tv::test {
namespace {

TEST(Charset, EveryWindows1250CharacterComesBackFromUtf8) {
  for (int b = 0; b < 256; ++b) {
    const char32_t c = Cp1250ToUnicode(static_cast<unsigned char>(b));
    std::string utf8;
    Bytes back;
    if (c == 0xFFFD) {
      // The undefined bytes have no character, and U+0080 + b is none either.
      AppendUtf8(utf8, static_cast<char32_t>(b));
      EXPECT_EQ(Utf8ToCp1250(utf8, back), Utf8Conversion::NoCp1250Form) << "byte " << b;
      continue;
    }
    AppendUtf8(utf8, c);
    ASSERT_EQ(Utf8ToCp1250(utf8, back), Utf8Conversion::Done) << "byte " << b;
    EXPECT_EQ(back, Bytes(1, static_cast<char>(b))) << "byte " << b;
  }
}

TEST(Charset, MalformedUtf8AndCharactersOutsideTheCodePage) {
  Bytes out;
  const struct {
    const char* utf8;
    Utf8Conversion result;
  } cases[] = {
      {"\xC5\x99\xC3\xA1", Utf8Conversion::Done},          // ř á
      {"\xE6\x97\xA5", Utf8Conversion::NoCp1250Form},      // a CJK ideograph
      {"\xF0\x9F\x98\x80", Utf8Conversion::NoCp1250Form},  // outside the BMP
      {"\xEF\xBF\xBD", Utf8Conversion::NoCp1250Form},      // U+FFFD itself
      {"\xC0\x80", Utf8Conversion::NotUtf8},               // overlong zero
      {"\xE2\x82", Utf8Conversion::NotUtf8},               // cut short
      {"\xED\xA0\x80", Utf8Conversion::NotUtf8},           // a surrogate
      {"\x9E", Utf8Conversion::NotUtf8},                   // a lone continuation byte
      {"\xF4\x90\x80\x80", Utf8Conversion::NotUtf8},       // above U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToCp1250(c.utf8, out), c.result) << c.utf8;
  }
  ASSERT_EQ(Utf8ToCp1250("\xC5\x99\xC3\xA1", out), Utf8Conversion::Done);
  EXPECT_EQ(out, "řá");
}

struct Reading {
  std::vector<Bytes> lines;
  ScriptText::Read last = ScriptText::Read::End;
};

Reading ReadAll(ScriptText& text) {
  Reading r;
  Bytes line;
  while ((r.last = text.ReadLine(line)) == ScriptText::Read::Line) r.lines.push_back(line);
  return r;
}

ScriptText Open(FakeFiles& files, const Bytes& content) {
  files.files["/f"] = content;
  return ScriptText(files.OpenScript("/f", nullptr));
}

TEST(ScriptText, OnlyAFileThatBeginsWithTheMarkIsConverted) {
  FakeFiles files;
  ScriptText plain = Open(files,
                          "a\xC5\x99\n\xEF\xBB\xBF"
                          "b\n");
  EXPECT_EQ(ReadAll(plain).lines, (std::vector<Bytes>{"a\xC5\x99",
                                                      "\xEF\xBB\xBF"
                                                      "b"}));
  ScriptText utf8 = Open(files,
                         "\xEF\xBB\xBF"
                         "a\xC5\x99\n\xEF\xBB\xBF"
                         "b\n");
  // Only the first mark is the file's: one later in the file is a character
  // without a Windows-1250 form.
  const Reading r = ReadAll(utf8);
  EXPECT_EQ(r.lines, std::vector<Bytes>{"ař"});
  EXPECT_EQ(r.last, ScriptText::Read::NoCp1250Form);
  EXPECT_EQ(utf8.LineNumber(), 2);
}

TEST(ScriptText, TheMarkAloneIsAnEmptyFileButNotBeforeMoreLines) {
  FakeFiles files;
  for (const char* content : {"\xEF\xBB\xBF", "\xEF\xBB\xBF\n"}) {
    ScriptText text = Open(files, content);
    EXPECT_TRUE(ReadAll(text).lines.empty());
  }
  ScriptText text = Open(files, "\xEF\xBB\xBF\r\nx\n");
  EXPECT_EQ(ReadAll(text).lines, (std::vector<Bytes>{"", "x"}));
  EXPECT_EQ(text.LineNumber(), 2);
}

TEST(ScriptText, RewindReadsTheMarkAgainAndCountsLinesFromOne) {
  FakeFiles files;
  ScriptText text = Open(files, "\xEF\xBB\xBF\nLabel \xC5\xBE\nbad \xFF\n");
  Bytes line;
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(text.ReadLine(line), ScriptText::Read::Line);
    EXPECT_EQ(line, "");
    ASSERT_EQ(text.ReadLine(line), ScriptText::Read::Line);
    EXPECT_EQ(line, "Label ž");
    EXPECT_EQ(text.ReadLine(line), ScriptText::Read::NotUtf8);
    EXPECT_EQ(text.LineNumber(), 3);
    ASSERT_TRUE(text.Rewind());
  }
}

TEST(ScriptText, ReadErrorsPassThrough) {
  FakeFiles files;
  ScriptText text = Open(files,
                         "\xEF\xBB\xBF"
                         "a\n");
  files.unreadable.insert("/f");
  Bytes line;
  EXPECT_EQ(text.ReadLine(line), ScriptText::Read::Error);
}

// A file read once: its lines are kept with the first line of each label, so
// that a jump back reads nothing and a jump forward reads only up to its
// label; the first label of a name from the top wins, as before.
TEST(ScriptText, LabelsAreFoundWithoutReadingTheFileAgain) {
  class Counting : public ScriptFile {
   public:
    explicit Counting(std::unique_ptr<ScriptFile> inner) : inner_(std::move(inner)) {}
    Read ReadLine(Bytes& line) override {
      ++reads;
      return inner_->ReadLine(line);
    }
    bool Rewind() override { return inner_->Rewind(); }
    bool LineEndedWithLf() const override { return inner_->LineEndedWithLf(); }
    const Bytes& FullPath() const override { return inner_->FullPath(); }
    int reads = 0;

   private:
    std::unique_ptr<ScriptFile> inner_;
  };
  FakeFiles files;
  files.files["/f"] = "one\nLabel top\ntwo\nlabel \"q x\"\nLABEL top\nthree\nLabel end\n";
  auto counting = std::make_unique<Counting>(files.OpenScript("/f", nullptr));
  Counting* file = counting.get();
  ScriptText text(std::move(counting));
  Bytes line;
  ASSERT_EQ(text.ReadLine(line), ScriptText::Read::Line);
  // Forward: read up to the label, no further.
  ASSERT_EQ(text.FindLabel("\"q x\""), ScriptText::Read::Line);
  EXPECT_EQ(file->reads, 4);
  EXPECT_EQ(text.LineNumber(), 4);
  ASSERT_EQ(text.ReadLine(line), ScriptText::Read::Line);
  EXPECT_EQ(line, "LABEL top");
  // Back: the first "top" from the top, and nothing read again.
  ASSERT_EQ(text.FindLabel("top"), ScriptText::Read::Line);
  ASSERT_EQ(text.ReadLine(line), ScriptText::Read::Line);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(text.LineNumber(), 3);
  EXPECT_EQ(file->reads, 5);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(text.FindLabel("top"), ScriptText::Read::Line);
  EXPECT_EQ(file->reads, 5);
  // A label that is not there reads the file to its end, once.
  EXPECT_EQ(text.FindLabel("none"), ScriptText::Read::End);
  const int all = file->reads;
  EXPECT_EQ(text.FindLabel("none"), ScriptText::Read::End);
  EXPECT_EQ(file->reads, all);
  ASSERT_EQ(text.FindLabel("end"), ScriptText::Read::Line);
  EXPECT_EQ(text.ReadLine(line), ScriptText::Read::End);
}

// A line that cannot be read stops a search that reaches it, every time, as
// the search from the top did.
TEST(ScriptText, ALabelBehindABadLineIsNotFound) {
  FakeFiles files;
  ScriptText text = Open(files, "\xEF\xBB\xBFLabel a\nbad \xFF\nLabel b\n");
  EXPECT_EQ(text.FindLabel("a"), ScriptText::Read::Line);
  EXPECT_EQ(text.FindLabel("b"), ScriptText::Read::NotUtf8);
  EXPECT_EQ(text.LineNumber(), 2);
  EXPECT_EQ(text.FindLabel("b"), ScriptText::Read::NotUtf8);
  EXPECT_EQ(text.FindLabel("a"), ScriptText::Read::Line);
  EXPECT_EQ(text.LineNumber(), 1);
}

}  // namespace
}  // namespace tv::test
