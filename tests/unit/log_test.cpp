// The log file's line ends and its writes: every LF becomes CR LF wherever it
// stands, each call is one write, a failed write is dropped and the next call
// writes again.
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

}  // namespace
}  // namespace tv::test
