#include <gtest/gtest.h>

#include "shell/escape.h"
#include "net/receive.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

class FailingFile : public OutFile {
 public:
  bool Write(const char*, size_t) override { return false; }
  bool Flush() override { return false; }
};

TEST(NetEscape, MapsEveryByteClass) {
  const char data[] = {'a',
                       ' ',
                       '~',
                       '"',
                       7,
                       8,
                       9,
                       10,
                       12,
                       13,
                       27,
                       92,
                       0,
                       1,
                       31,
                       127,
                       static_cast<char>(128),
                       static_cast<char>(233),
                       static_cast<char>(254),
                       static_cast<char>(255)};
  std::string out;
  EscapeForLog(out, data, sizeof data);
  EXPECT_EQ(out,
            "a ~\"\\b\\008\\t\\n\\f\\r\\e\\\\\\000\\001\\031\\127"
            "\x80\xE9\xFE\\255");
}

TEST(NetFill, TakesOnlyWhatIsThereAndNeverMoreThanTheFreeSpace) {
  NetHost h;
  h.Open();
  FillReceiveBuffer(h.ctx);
  EXPECT_TRUE(h.sockets.recvSizes.empty()) << "nothing available: no recv at all";

  h.sockets.Live().incoming = "hello";
  FillReceiveBuffer(h.ctx);
  EXPECT_EQ(h.sockets.recvSizes, std::vector<int>{5});
  EXPECT_EQ(h.Buffer(), "hello");

  h.ctx.fillCount = kReceiveBufferSize - 3;
  h.sockets.Live().incoming = "0123456789";
  FillReceiveBuffer(h.ctx);
  EXPECT_EQ(h.sockets.recvSizes.back(), 3);
  EXPECT_EQ(h.ctx.fillCount, kReceiveBufferSize);
  EXPECT_EQ(h.sockets.Live().incoming, "3456789");

  FillReceiveBuffer(h.ctx);  // full: nothing more is asked for
  EXPECT_EQ(h.sockets.recvSizes.size(), 2u);
}

TEST(NetFill, FailedAvailabilityQueryReadsNothing) {
  NetHost h;
  h.Open();
  h.sockets.Live().incoming = "abc";
  h.sockets.failBytesAvailable = true;
  FillReceiveBuffer(h.ctx);
  EXPECT_EQ(h.ctx.fillCount, 0);
  EXPECT_TRUE(h.sockets.recvSizes.empty());
}

TEST(NetReadUntil, LineWithCrLfIsConsumedLoggedCapturedAndKeptWithoutLineEnd) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.sockets.Arrive(10, "abc\r\nrest");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "abc");
  EXPECT_EQ(h.ctx.scratch, "abc");
  EXPECT_EQ(h.LogText(), "Načtena řádka abc\\r\\n\n");
  EXPECT_EQ(h.files.files["/cap"], "abc\r\n");
  EXPECT_EQ(h.Buffer(), "rest");
  EXPECT_FALSE(h.queue.blockedForever);
}

TEST(NetReadUntil, CrInsideLineAndLoneLf) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "a\rb\n\n");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "ab");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "");
  EXPECT_EQ(h.LogText(), "Načtena řádka a\\rb\\n\nNačtena řádka \\n\n");
}

TEST(NetReadUntil, SecondLineOfAPacketNeedsNoWait) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "one\ntwo\n");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  const long long after = h.queue.now;
  // Nothing else will ever come: a wait would end in the fake's quit message.
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "two");
  EXPECT_EQ(h.queue.now, after);
  EXPECT_FALSE(h.queue.blockedForever);
}

TEST(NetReadUntil, LineSplitOverManyPacketsIsAssembled) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "Hel");
  h.sockets.Arrive(20, "lo, ");
  h.sockets.Notify(25, kFdWrite);  // room to send changes nothing
  h.sockets.Arrive(30, "world");
  h.sockets.Arrive(40, "!\r");
  h.sockets.Arrive(50, "\nnext");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "Hello, world!");
  EXPECT_EQ(h.queue.now, 50);
  EXPECT_EQ(h.Buffer(), "next");
}

TEST(NetReadUntil, DataWhoseNotificationWasDroppedIsStillRead) {
  NetHost h;
  h.Open();
  h.sockets.Live().incoming = "ready\n";  // arrived while nothing waited
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "ready");
}

TEST(NetReadUntil, OtherEndByteKeepsTheRestAndDropsLineEnds) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "wo\r\nrd:second\n");
  ASSERT_TRUE(ReadUntil(h.ctx, ':'));
  EXPECT_EQ(h.ctx.lastLine, "word");
  EXPECT_EQ(h.Buffer(), "second\n");
  EXPECT_EQ(h.LogText(), "Načtena řádka wo\\r\\nrd:\n");
}

TEST(NetReadUntil, FullBufferWithoutEndByteReportsAndKeepsTheBytes) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.sockets.Arrive(10, Bytes(3000, 'x'));
  h.sockets.Arrive(20, Bytes(2000, 'y') + "\n");
  const Bytes full = Bytes(3000, 'x') + Bytes(kReceiveBufferSize - 3000, 'y');
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_STREQ(h.ctx.failureReason, kReasonLineTooLong);
  EXPECT_EQ(h.Buffer(), full);
  EXPECT_EQ(h.LogText(), "V bufferu pro čtení zůstává: " + full + "\n");
  EXPECT_EQ(h.files.files["/cap"], full);
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
  // Every later line read fails the same way and reports the same bytes,
  // which the capture file holds already.
  EXPECT_FALSE(ReadUntil(h.ctx, ':'));
  EXPECT_STREQ(h.ctx.failureReason, kReasonLineTooLong);
  EXPECT_EQ(h.files.files["/cap"], full);
  EXPECT_EQ(h.Buffer(), full);
}

// Bytes reported as unread go to the capture file once: the read that takes
// them later adds only what came after them, and a new capture file gets
// them again.
TEST(NetReadUntil, UnreadBytesReachTheCaptureFileOnce) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.sockets.Arrive(10, "+OK čás");
  h.ctx.timeLimit.ms = 50;
  h.ctx.StartTimeLimit();
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_TRUE(h.ctx.EndTimeLimit());
  EXPECT_EQ(h.files.files["/cap"], "+OK čás");
  h.sockets.Arrive(100, "t\r\nnext\n");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "+OK část");
  EXPECT_EQ(h.files.files["/cap"], "+OK část\r\n");
  // Reported twice, captured once; a fresh file takes the piece whole.
  h.ctx.StartTimeLimit();
  h.sockets.Arrive(h.queue.now + 10, "par");
  EXPECT_FALSE(ReadUntil(h.ctx, '!'));
  EXPECT_TRUE(h.ctx.EndTimeLimit());
  h.ctx.StartTimeLimit();
  EXPECT_FALSE(ReadUntil(h.ctx, '!'));
  EXPECT_TRUE(h.ctx.EndTimeLimit());
  EXPECT_EQ(h.files.files["/cap"], "+OK část\r\nnext\npar");
  h.ctx.capture = h.files.CreateCapture("/cap2");
  h.ctx.capturedCount = 0;
  h.sockets.Arrive(h.queue.now + 10, "t!");
  ASSERT_TRUE(ReadUntil(h.ctx, '!'));
  EXPECT_EQ(h.files.files["/cap2"], "next\npart!");
}

TEST(NetReadUntil, EndByteAsTheLastByteOfAFullBufferIsFound) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, Bytes(kReceiveBufferSize - 1, 'z') + "\n");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine.size(), static_cast<size_t>(kReceiveBufferSize - 1));
  EXPECT_EQ(h.ctx.fillCount, 0);
}

TEST(NetReadUntil, PeerCloseReportsUnreadBytesAndClosesTheConnection) {
  NetHost h;
  Socket s = h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.ctx.lastLine = "before";
  h.sockets.Arrive(10, "abc");
  h.sockets.PeerCloses(20);
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(h.LogText(),
            "Ukončení spojení ze strany partnerského počítače.\n"
            "V bufferu pro čtení zůstává: abc\n");
  EXPECT_EQ(h.files.files["/cap"], "abc");
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.sockets.Calls(),
            "shutdown " + std::to_string(s) + "\nclose " + std::to_string(s) + "\n");
  EXPECT_EQ(h.Buffer(), "abc") << "closing does not empty the buffer";
  EXPECT_EQ(h.ctx.lastLine, "before");
}

TEST(NetReadUntil, CloseNotificationThatWentByIsNoticedBeforeWaiting) {
  NetHost h;
  h.Open();
  // The peer sent a partial line and closed while no read waited: both
  // notifications were dropped.
  h.sockets.Live().incoming = "part";
  h.sockets.Live().peerClosed = true;
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_FALSE(h.queue.blockedForever) << "the read waited for a notification that never comes";
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.LogText(),
            "Ukončení spojení ze strany partnerského počítače.\n"
            "V bufferu pro čtení zůstává: part\n");
}

TEST(NetReadUntil, ResetWithoutNotificationIsNoticedToo) {
  NetHost h;
  h.Open();
  h.sockets.Live().incoming = "x";
  FillReceiveBuffer(h.ctx);
  h.sockets.Live().reset = true;  // its notification went by unseen
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_FALSE(h.queue.blockedForever);
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

// A reset whose dropped bytes are still counted as there (every recv fails,
// only a read notification comes): the read ends as at a close, during a
// wait and when the reset is already there as the read starts.
TEST(NetReadUntil, ResetThatLeavesBytesCountedEndsTheRead) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "line 1\nline ");
  h.sockets.Arrive(20, "2\n", false);
  h.sockets.PeerResetsKeepingTheCount(20);
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_FALSE(h.queue.blockedForever) << "the read waited after a failed recv";
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.LogText(),
            "Načtena řádka line 1\\n\n"
            "Ukončení spojení ze strany partnerského počítače.\n"
            "V bufferu pro čtení zůstává: line \n");

  NetHost b;
  b.Open();
  b.sockets.Live().incoming = "123";
  b.sockets.Live().reset = true;  // counted, never readable, no notification
  EXPECT_FALSE(ReadBlock(b.ctx, 2));
  EXPECT_FALSE(b.queue.blockedForever);
  EXPECT_STREQ(b.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(b.ctx), kInvalidSocket);
}

TEST(NetReadUntil, BytesStillInTheSocketAtTheCloseNotificationAreNotLost) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  // Data and close reach the socket together; only the close is notified.
  h.sockets.Arrive(10, "last line\nand more", false);
  h.sockets.PeerCloses(10);
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "last line");
  // The next read finds the connection closed and reports the rest.
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_FALSE(h.queue.blockedForever);
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(h.files.files["/cap"], "last line\nand more");
  EXPECT_EQ(h.LogText(),
            "Načtena řádka last line\\n\n"
            "Ukončení spojení ze strany partnerského počítače.\n"
            "V bufferu pro čtení zůstává: and more\n");
}

TEST(NetReadUntil, CloseWinsOverReadInOneNotification) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "no end", false);
  h.sockets.Notify(10, kFdRead | kFdClose);
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(h.Buffer(), "no end");
}

TEST(NetReadUntil, InterruptKeepsConnectionAndBytes) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.sockets.Arrive(10, "half");
  h.InterruptAt(20);
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_FALSE(h.ctx.running);
  EXPECT_STREQ(h.ctx.failureReason, kReasonInterrupted);
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.Buffer(), "half");
  EXPECT_EQ(h.files.files["/cap"], "half");
  EXPECT_EQ(h.LogText(),
            "Akce přerušena obsluhou.\n"
            "V bufferu pro čtení zůstává: half\n");
  EXPECT_TRUE(h.sockets.Calls().find("close") == Bytes::npos);
}

TEST(NetReadUntil, ReadWithNothingBufferedAfterAnInterruptLogsNoUnreadData) {
  NetHost h;
  h.Open();
  h.InterruptAt(20);
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.LogText(), "Akce přerušena obsluhou.\n");
}

TEST(NetReadBlock, ExactLengthAcrossPacketsKeepsZeroBytes) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.sockets.Arrive(10, Bytes("a\0b", 3));
  h.sockets.Arrive(20, Bytes("c\0\ntail", 7));
  ASSERT_TRUE(ReadBlock(h.ctx, 6));
  EXPECT_EQ(h.ctx.lastLine, Bytes("a\0bc\0\n", 6));
  EXPECT_EQ(h.files.files["/cap"], Bytes("a\0bc\0\n", 6));
  EXPECT_EQ(h.LogText(), "Načten blok dat a\\000bc\\000\\n\n");
  EXPECT_EQ(h.Buffer(), "tail");
}

TEST(NetReadBlock, LengthLimits) {
  NetHost h;
  h.Open();
  h.ctx.lastLine = "old";
  ASSERT_TRUE(ReadBlock(h.ctx, 0));
  EXPECT_EQ(h.ctx.lastLine, "");
  EXPECT_EQ(h.LogText(), "Načten blok dat \n");

  EXPECT_FALSE(ReadBlock(h.ctx, 4097));
  EXPECT_STREQ(h.ctx.failureReason, kReasonBlockTooLong);
  EXPECT_FALSE(ReadBlock(h.ctx, -1));
  EXPECT_STREQ(h.ctx.failureReason, kReasonBlockTooLong);
  EXPECT_TRUE(h.sockets.recvSizes.empty()) << "a refused length reads nothing";

  h.sockets.Arrive(10, Bytes(2000, 'p'));
  h.sockets.Arrive(20, Bytes(2096, 'q') + "after");
  ASSERT_TRUE(ReadBlock(h.ctx, kReceiveBufferSize));
  EXPECT_EQ(h.ctx.lastLine.size(), static_cast<size_t>(kReceiveBufferSize));
  EXPECT_EQ(h.ctx.fillCount, 0);
  EXPECT_EQ(h.sockets.Live().incoming, "after");
}

TEST(NetReadBlock, PeerCloseBeforeTheBlockIsComplete) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "12345");
  h.sockets.PeerCloses(20);
  EXPECT_FALSE(ReadBlock(h.ctx, 10));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.LogText(),
            "Ukončení spojení ze strany partnerského počítače.\n"
            "V bufferu pro čtení zůstává: 12345\n");
}

TEST(NetReadBlock, BlockCompletedByBytesDrainedAtTheClose) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "1234567890", false);
  h.sockets.PeerCloses(10);
  ASSERT_TRUE(ReadBlock(h.ctx, 10));
  EXPECT_EQ(h.ctx.lastLine, "1234567890");
}

TEST(NetReadBlock, LostCloseIsNoticedBeforeWaiting) {
  NetHost h;
  h.Open();
  h.sockets.Live().peerClosed = true;
  EXPECT_FALSE(ReadBlock(h.ctx, 1));
  EXPECT_FALSE(h.queue.blockedForever);
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
}

TEST(NetCapture, FileThatCannotBeWrittenDoesNotStopTheRead) {
  NetHost h;
  h.Open();
  h.ctx.capture = std::make_unique<FailingFile>();
  h.sockets.Arrive(10, "ok\n");
  EXPECT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "ok");
}

}  // namespace
}  // namespace tv::test
