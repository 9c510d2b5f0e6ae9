#include <gtest/gtest.h>

#include "net/receive.h"
#include "net/send.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

bool Send(NetHost& h, const Bytes& text) {
  return SendData(h.ctx, text.data(), static_cast<int>(text.size()));
}

TEST(NetSend, SendsExactlyTheBytesAndLogsThemOnce) {
  NetHost h;
  h.Open();
  ASSERT_TRUE(Send(h, Bytes("HELO\0x\r\n", 8)));
  EXPECT_EQ(h.sockets.Live().sent, Bytes("HELO\0x\r\n", 8));
  EXPECT_EQ(h.sockets.sendCalls, 1);
  EXPECT_EQ(h.LogText(), "Odesílám řádku HELO\\000x\\r\\n\n");
  EXPECT_STREQ(h.ctx.failureReason, "???");
}

TEST(NetSend, PartialSendsGoOnWithoutWaiting) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 1000;
  const Bytes text(2500, 'k');
  h.sockets.RoomFor(10, 3000);
  ASSERT_TRUE(Send(h, text));
  EXPECT_EQ(h.sockets.Live().sent, text);
  // 2500 offered, 1000 taken; 1500 refused; after the room came back, 1500.
  EXPECT_EQ(h.sockets.Calls(), "send 3 2500 -> 1000\nsend 3 1500 -> -1\nsend 3 1500 -> 1500\n");
  EXPECT_EQ(h.LogText(), "Odesílám řádku " + text + "\n");
}

TEST(NetSend, ReadNotificationsDuringTheWaitAreSkipped) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 0;
  h.sockets.Arrive(5, "data for later");
  h.sockets.RoomFor(10, 100);
  ASSERT_TRUE(Send(h, "abc"));
  EXPECT_EQ(h.sockets.Live().sent, "abc");
  EXPECT_EQ(h.queue.now, 10);
  // The bytes are still there for the next read.
  ASSERT_TRUE(ReadBlock(h.ctx, 4));
  EXPECT_EQ(h.ctx.lastLine, "data");
}

TEST(NetSend, InterruptWhileBlockedLogsTheProgressAndKeepsTheConnection) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 7;
  h.InterruptAt(50);
  EXPECT_FALSE(Send(h, "0123456789"));
  EXPECT_STREQ(h.ctx.failureReason, kReasonInterrupted);
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.LogText(),
            "Odesílám řádku 0123456789\n"
            "Akce přerušena obsluhou.\n"
            "Akce přerušena, dosud zapsáno 7 znaků.\n");
}

TEST(NetSend, PeerCloseWhileBlockedClosesTheConnection) {
  NetHost h;
  Socket s = h.Open();
  h.sockets.Live().sendRoom = 4;
  h.sockets.PeerCloses(30);
  EXPECT_FALSE(Send(h, "0123456789"));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_TRUE(h.sockets.IsClosed(s));
  EXPECT_EQ(h.LogText(),
            "Odesílám řádku 0123456789\n"
            "Předčasné ukončení spojení ze strany partnerského počítače.\n"
            "Dosud zapsáno 4 znaků.\n");
}

TEST(NetSend, CloseIsTestedBeforeRoomInOneNotification) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 0;
  h.sockets.Notify(10, kFdWrite | kFdClose);
  EXPECT_FALSE(Send(h, "x"));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
}

TEST(NetSend, ResetIsThePeersCloseWithoutAnyWait) {
  NetHost h;
  h.Open();
  // The reset comes while the core is elsewhere; its notification is dropped
  // and the socket reports it on the next send.
  h.sockets.Live().sendError = kWsaeConnReset;
  h.sockets.Live().sendRoom = 2;
  EXPECT_FALSE(Send(h, "abc"));
  EXPECT_FALSE(h.queue.blockedForever);
  EXPECT_EQ(h.queue.now, 0) << "no wait for a notification";
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.LogText(),
            "Odesílám řádku abc\n"
            "Předčasné ukončení spojení ze strany partnerského počítače.\n"
            "Dosud zapsáno 0 znaků.\n");
}

TEST(NetSend, ResetAfterAPartialSendCountsWhatWentOut) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 3;
  h.sockets.PeerResets(20);
  EXPECT_FALSE(Send(h, "abcdef"));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_NE(h.LogText().find("Dosud zapsáno 3 znaků.\n"), Bytes::npos);
}

TEST(NetSend, BlockedSendOnAConnectionWhoseCloseWentByDoesNotHang) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 0;
  h.sockets.Live().peerClosed = true;
  EXPECT_FALSE(Send(h, "abc"));
  EXPECT_FALSE(h.queue.blockedForever);
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetSend, SendToAHalfClosedPeerThatTakesTheBytesSucceeds) {
  NetHost h;
  h.Open();
  h.sockets.Live().peerClosed = true;
  EXPECT_TRUE(Send(h, "abc"));
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
}

}  // namespace
}  // namespace tv::test
