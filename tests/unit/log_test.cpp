// The log file's line ends and its writes: every LF becomes CR LF wherever it
// stands, each call is one write, a failed write is dropped and the next call
// writes again; and the printf routine behind log lines and box texts.
#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace tv::test {
namespace {

// Records each write separately and can be told to fail.
class WriteLog : public OutFile {
 public:
  explicit WriteLog(std::vector<Bytes>* writes) : writes_(writes) {}
  bool Write(const char* d, size_t n) override {
    if (failNext) {
      failNext = false;
      return false;
    }
    writes_->emplace_back(d, n);
    return true;
  }
  bool Flush() override { return true; }
  static bool failNext;

 private:
  std::vector<Bytes>* writes_;
};
bool WriteLog::failNext = false;

class WriteFiles : public FakeFiles {
 public:
  std::vector<Bytes> writes;
  std::unique_ptr<OutFile> CreateLog(const Bytes&) override {
    return std::make_unique<WriteLog>(&writes);
  }
};

TEST(Log, EveryLineFeedBecomesCrLfInOneWritePerCall) {
  WriteFiles files;
  Log log;
  ASSERT_TRUE(log.Open(files, "x.log"));
  files.writes.clear();
  log.Write("a\nb\n\nc");
  log.Write("\nstart");
  log.Write("no line end");
  log.Write("cr before\r\n");
  log.Write("");
  const std::vector<Bytes> want = {"a\r\nb\r\n\r\nc", "\r\nstart", "no line end",
                                   "cr before\r\r\n"};
  // An empty call writes nothing visible; whether it calls the file at all
  // does not matter.
  std::vector<Bytes> got;
  for (const Bytes& w : files.writes) {
    if (!w.empty()) got.push_back(w);
  }
  EXPECT_EQ(got, want);
}

TEST(Log, FailedWriteIsDroppedAndTheNextCallWritesAgain) {
  WriteFiles files;
  Log log;
  ASSERT_TRUE(log.Open(files, "x.log"));
  files.writes.clear();
  WriteLog::failNext = true;
  log.Write("lost\n");
  log.Write("kept\n");
  ASSERT_EQ(files.writes.size(), 1u);
  EXPECT_EQ(files.writes[0], "kept\r\n");
  EXPECT_TRUE(log.IsOpen());
}

TEST(Log, LongFormattedAndDataLinesAreWhole) {
  FakeHost h;
  const Bytes long1(700, 'p');
  h.ctx.LogPrintf("%s|%d\n", long1.c_str(), 42);
  Bytes data(5000, 'd');
  data[10] = '\n';
  data[4999] = '\\';
  h.ctx.LogData("Data ", data.data(), data.size());
  const Bytes text = h.LogText();
  EXPECT_NE(text.find(long1 + "|42\n"), Bytes::npos);
  Bytes escaped = "Data " + Bytes(10, 'd') + "\\n" + Bytes(4988, 'd') + "\\\\\n";
  EXPECT_NE(text.find(escaped), Bytes::npos);
}

bool Format(Bytes& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool Format(Bytes& text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool formatted = FormatInto(text, format, args);
  va_end(args);
  return formatted;
}

// Box and status texts and log lines share one routine: whole at every length
// around its stack buffer, and each text replaces whatever the target held.
TEST(Format, TextsAroundTheStackBufferAreWholeAndReplaceTheOldOnes) {
  for (size_t len : {0u, 510u, 511u, 512u, 513u, 4000u}) {
    const Bytes body(len, 'f');
    EXPECT_EQ(FormatText("%s%d", body.c_str(), 7), body + "7") << len;
  }
  Bytes text(3000, 'o');
  ASSERT_TRUE(Format(text, "%.3s|%5d", "abcdef", -12));
  EXPECT_EQ(text, "abc|  -12");
  ASSERT_TRUE(Format(text, "%s", Bytes(600, 'x').c_str()));
  EXPECT_EQ(text, Bytes(600, 'x'));
}

}  // namespace
}  // namespace tv::test
