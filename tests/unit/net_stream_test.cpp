// Long streams through the receive buffer: how often the socket is asked,
// that the buffer always holds the first bytes not yet consumed, and the log
// and capture of many lines.
#include <gtest/gtest.h>

#include "net/receive.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

class MemFile : public OutFile {
 public:
  explicit MemFile(Bytes* into) : into_(into) {}
  bool Write(const char* d, size_t n) override {
    into_->append(d, n);
    return true;
  }
  bool Flush() override { return true; }

 private:
  Bytes* into_;
};

Bytes NumberedLines(int count) {
  Bytes all;
  for (int i = 0; i < count; ++i) all += "line " + std::to_string(i) + " of the stream\r\n";
  return all;
}

TEST(NetStream, ShortLinesCostOneReceivePerBufferNotOnePerLine) {
  NetHost h;
  h.Open();
  const Bytes all = NumberedLines(2000);  // about 52 KB, all there at once
  h.sockets.Arrive(10, all);
  Bytes capture;
  h.ctx.capture = std::make_unique<MemFile>(&capture);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(ReadUntil(h.ctx, '\n')) << i;
    ASSERT_EQ(h.ctx.lastLine, "line " + std::to_string(i) + " of the stream") << i;
  }
  EXPECT_EQ(capture, all);
  // A receive happens only when the buffer holds no whole line: about once
  // per 4096 bytes, not once per line.
  EXPECT_LE(h.sockets.recvSizes.size(), all.size() / 2000 + 2);
  EXPECT_GE(h.sockets.recvSizes.size(), all.size() / kReceiveBufferSize);
  EXPECT_EQ(h.ctx.fillCount, 0);
}

TEST(NetStream, BufferFillsUpToTheFirstUnconsumedBytesWhenALineIsMissing) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "a\r\nb\r\n");
  h.sockets.Arrive(20, "partial");
  h.sockets.Arrive(30, " line\r\nrest");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));  // from the buffer, no wait
  EXPECT_EQ(h.ctx.lastLine, "b");
  EXPECT_EQ(h.queue.now, 10);
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "partial line");
  EXPECT_EQ(h.Buffer(), "rest");
}

TEST(NetStream, BlockFromTheBufferAndTheSocketTogether) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "xy\n0123456789");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  // Everything was taken with the line; a block inside the buffer needs no
  // receive, a longer one takes the rest from the socket.
  const size_t receives = h.sockets.recvSizes.size();
  ASSERT_TRUE(ReadBlock(h.ctx, 4));
  EXPECT_EQ(h.ctx.lastLine, "0123");
  EXPECT_EQ(h.sockets.recvSizes.size(), receives);
  h.sockets.Arrive(20, "ABCDEF");
  ASSERT_TRUE(ReadBlock(h.ctx, 9));
  EXPECT_EQ(h.ctx.lastLine, "456789ABC");
  EXPECT_EQ(h.Buffer(), "DEF");
}

TEST(NetStream, EveryLineIsLoggedEscapedOnItsOwnLogLine) {
  NetHost h;
  h.Open();
  h.ForgetLog();
  h.sockets.Arrive(10, Bytes("tab\there\r\n\x01\\\xff\r\nplain\n"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.LogText(),
            "Načtena řádka tab\\there\\r\\n\n"
            "Načtena řádka \\001\\\\\\255\\r\\n\n"
            "Načtena řádka plain\\n\n");
  EXPECT_EQ(h.ctx.lastLine, "plain");
}

}  // namespace
}  // namespace tv::test
