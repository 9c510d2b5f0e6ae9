#include <gtest/gtest.h>

#include "net/connection.h"
#include "net/receive.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

TEST(NetDotted, ReadsLikeScanfWithFourNumbers) {
  int n[4];
  ASSERT_TRUE(ParseDottedAddress("10.1.2.3", n));
  EXPECT_EQ((std::vector<int>{n[0], n[1], n[2], n[3]}), (std::vector<int>{10, 1, 2, 3}));
  ASSERT_TRUE(ParseDottedAddress("383.0. -1.+7junk", n));
  EXPECT_EQ((std::vector<int>{n[0], n[1], n[2], n[3]}), (std::vector<int>{383, 0, -1, 7}));
  ASSERT_TRUE(ParseDottedAddress("4294967297.0.0.1", n));  // wraps to 1
  EXPECT_EQ(n[0], 1);
  EXPECT_FALSE(ParseDottedAddress("10.1.2", n));
  EXPECT_FALSE(ParseDottedAddress("10.1.2.", n));
  EXPECT_FALSE(ParseDottedAddress("10 .1.2.3", n));
  EXPECT_FALSE(ParseDottedAddress("example.invalid", n));
  EXPECT_FALSE(ParseDottedAddress("", n));
  EXPECT_FALSE(ParseDottedAddress(Bytes("1.2\0.3.4", 8), n));
}

TEST(NetConnect, DottedAddressAboveByteRangeWrapsButIsLoggedAsWritten) {
  NetHost h;
  h.ctx.fillCount = 17;
  h.ctx.failureReason = kReasonInterrupted;
  ASSERT_TRUE(ConnectToServer(h.ctx, "383.0.0.1", 65536 + 23));
  EXPECT_EQ(h.sockets.Calls(),
            "create 3\n"
            "select 3 2 16\n"
            "connect 3 127.0.0.1:23\n"
            "select 3 1 35\n");
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení k 383.0.0.1, port 65559\n"
            "Spojení navázáno v pořádku.\n");
  EXPECT_EQ(h.window.lower, "Spojení navázáno v pořádku.");
  EXPECT_EQ(ConnectionId(h.ctx), 3);
  EXPECT_EQ(h.ctx.fillCount, 0);
  EXPECT_STREQ(h.ctx.failureReason, "???");
  EXPECT_TRUE(h.window.transcript.empty());
}

TEST(NetConnect, StatusShowsTheAddressWhileConnecting) {
  NetHost h;
  Bytes seen;
  h.sockets.connectAnswerMs = 10;
  h.queue.At(5, [&] { seen = h.window.lower; });
  ASSERT_TRUE(ConnectToServer(h.ctx, "300.1.1.1", 23));
  EXPECT_EQ(seen, "Připojuji se k 300.1.1.1, port 23");
  EXPECT_NE(h.sockets.Calls().find("connect 3 44.1.1.1:23"), Bytes::npos);
}

TEST(NetConnect, HostNameIsLookedUpFirst) {
  NetHost h;
  h.sockets.hosts["peer.test"] = {Ip(192, 168, 200, 9)};
  ASSERT_TRUE(ConnectToServer(h.ctx, "peer.test", 110));
  EXPECT_EQ(h.sockets.Calls(),
            "lookup peer.test\n"
            "create 3\n"
            "select 3 2 16\n"
            "connect 3 192.168.200.9:110\n"
            "select 3 1 35\n");
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno peer.test\n"
            "Čekám na připojení k 192.168.200.9, port 110\n"
            "Spojení navázáno v pořádku.\n");
  EXPECT_EQ(h.ctx.hostLookup, 0u);
}

TEST(NetConnect, UnknownHostAndLookupThatCannotStart) {
  for (bool cannotStart : {false, true}) {
    NetHost h;
    h.sockets.lookupCannotStart = cannotStart;
    EXPECT_FALSE(ConnectToServer(h.ctx, "nobody.invalid", 23));
    EXPECT_EQ(h.LogText(),
              "Táži se serveru DNS na jméno nobody.invalid\n"
              "Nenalezen záznam DNS pro počítač nobody.invalid\n");
    EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Pro daný počítač nebyl nalezen záznam DNS\n");
    EXPECT_STREQ(h.ctx.failureReason, "Pro daný počítač nebyl nalezen záznam DNS");
    EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
    EXPECT_EQ(h.sockets.Calls().find("create"), Bytes::npos);
  }
}

TEST(NetConnect, InterruptDuringLookupCancelsItSilently) {
  NetHost h;
  h.sockets.lookupMs = -1;
  h.InterruptAt(100);
  EXPECT_FALSE(ConnectToServer(h.ctx, "slow.test", 23));
  EXPECT_EQ(h.sockets.Calls(), "lookup slow.test\ncancel 100\n");
  EXPECT_EQ(h.LogText(), "Táži se serveru DNS na jméno slow.test\nAkce přerušena obsluhou.\n");
  EXPECT_TRUE(h.window.transcript.empty());
  EXPECT_STREQ(h.ctx.failureReason, kReasonInterrupted);
}

TEST(NetConnect, InterruptWhileConnectingClosesTheSocketSilently) {
  NetHost h;
  h.sockets.connectAnswerMs = -1;
  h.InterruptAt(100);
  EXPECT_FALSE(ConnectToServer(h.ctx, "127.0.0.1", 9));
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_EQ(h.LogText(), "Čekám na připojení k 127.0.0.1, port 9\nAkce přerušena obsluhou.\n");
  EXPECT_TRUE(h.window.transcript.empty());
  EXPECT_STREQ(h.ctx.failureReason, kReasonInterrupted);
}

TEST(NetConnect, RefusedConnectionIsReportedFromTheNotification) {
  NetHost h;
  h.sockets.connectAnswerError = kWsaeConnRefused;
  EXPECT_FALSE(ConnectToServer(h.ctx, "127.0.0.1", 9));
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení k 127.0.0.1, port 9\n"
            "Nelze se připojit k serveru, zřejmě není dostupný po síti\n");
  EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Spojení nelze navázat, počítač zřejmě není dostupný\n");
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  // A socket that never connected is only closed.
  EXPECT_NE(h.sockets.Calls().find("close 3\n"), Bytes::npos);
  EXPECT_EQ(h.sockets.Calls().find("shutdown"), Bytes::npos);
}

TEST(NetConnect, ImmediateConnectFailureAndNoSocket) {
  {
    NetHost h;
    h.sockets.connectError = 10049;
    EXPECT_FALSE(ConnectToServer(h.ctx, "0.0.0.0", 1));
    EXPECT_EQ(h.LogText(),
              "Čekám na připojení k 0.0.0.0, port 1\n"
              "Připojení se nezdařilo vinou přetížení knihovny WinSock\n");
    EXPECT_EQ(h.Boxes(),
              "[*** CHYBA ***] Selhání funkce connect, zřejmě přetížení knihovny WinSock\n");
    EXPECT_TRUE(h.sockets.IsClosed(3));
    EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  }
  {
    NetHost h;
    h.sockets.failCreate = true;
    EXPECT_FALSE(ConnectToServer(h.ctx, "1.2.3.4", 1));
    EXPECT_EQ(h.LogText(),
              "Chyby WinSock - není další socket pro spojení nebo není nainstalováno TCP/IP\n");
    EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Nelze získat socket pro spojení\n");
    EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  }
}

TEST(NetConnect, OpenConnectionIsClosedFirstAndTheBufferEmptied) {
  NetHost h;
  Socket old = h.Open();
  h.ctx.fillCount = 5;
  h.sockets.connectAtOnce = true;
  ASSERT_TRUE(ConnectToServer(h.ctx, "127.0.0.1", 7));
  EXPECT_EQ(h.LogText(),
            "Socket zůstal otevřený - ukončuji předchozí spojení.\n"
            "Spojení ukončeno.\n"
            "Čekám na připojení k 127.0.0.1, port 7\n"
            "Spojení navázáno v pořádku.\n");
  EXPECT_TRUE(h.sockets.IsClosed(old));
  EXPECT_NE(ConnectionId(h.ctx), old);
  EXPECT_EQ(h.ctx.fillCount, 0);
  EXPECT_EQ(h.queue.now, 0) << "a connect that succeeds at once waits for nothing";
}

TEST(NetAccept, OnePeerThenTheListeningSocketIsGone) {
  NetHost h;
  h.sockets.acceptPeer = Ip(10, 0, 0, 42);
  h.sockets.ClientArrives(30);
  h.ctx.fillCount = 9;
  ASSERT_TRUE(AcceptConnection(h.ctx, 2323));
  EXPECT_EQ(h.sockets.Calls(),
            "create 3\n"
            "bind 3 0.0.0.0:2323\n"
            "select 3 2 8\n"
            "listen 3 1\n"
            "accept 3 -> 4\n"
            "close 3\n"
            "select 4 1 35\n");
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení na portu 2323\n"
            "Navázáno spojení s počítačem 10.0.0.42 na portu 2323.\n");
  EXPECT_EQ(h.window.lower, "Spojení s 10.0.0.42 navázáno v pořádku");
  EXPECT_EQ(ConnectionId(h.ctx), 4);
  EXPECT_EQ(h.ctx.fillCount, 0);
  EXPECT_STREQ(h.ctx.failureReason, "???");
}

TEST(NetAccept, PortInUseAtBindOrListen) {
  for (bool atBind : {true, false}) {
    NetHost h;
    (atBind ? h.sockets.failBind : h.sockets.failListen) = true;
    EXPECT_FALSE(AcceptConnection(h.ctx, 80));
    EXPECT_EQ(h.LogText(),
              "Čekám na připojení na portu 80\n"
              "Port 80 nelze použít, zřejmě jej používá jiný program.\n");
    EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Nelze použít port\n");
    EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
    EXPECT_TRUE(h.sockets.IsClosed(3));
    EXPECT_STREQ(h.ctx.failureReason, "Nelze použít port");
  }
}

TEST(NetAccept, InterruptWhileListening) {
  NetHost h;
  h.InterruptAt(40);
  EXPECT_FALSE(AcceptConnection(h.ctx, 5000));
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení na portu 5000\n"
            "Akce přerušena obsluhou.\n"
            "Program předčasně přerušen.\n");
  EXPECT_EQ(h.window.lower, "Program předčasně přerušen");
  EXPECT_TRUE(h.window.transcript.empty());
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetAccept, FailedAcceptAfterTheNotification) {
  NetHost h;
  h.sockets.failAccept = true;
  h.sockets.ClientArrives(10);
  EXPECT_FALSE(AcceptConnection(h.ctx, 5000));
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení na portu 5000\n"
            "Partner nepoužívá kompatibilní protokol\n");
  EXPECT_EQ(h.Boxes(), "[CHYBA] Spojení nelze navázat\n");
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetEndOfRun, YesClosesWithItsLinesNoKeeps) {
  NetHost h;
  Socket s = h.Open();
  h.window.answers = {kIdNo};
  EndOfRunConnectionQuestion(h.ctx);
  EXPECT_EQ(ConnectionId(h.ctx), s);
  EXPECT_EQ(h.LogText(), "");
  EXPECT_EQ(h.Boxes(), "[Script ukončen] Spojení zůstalo otevřeno - mám jej uzavřít?\n");

  h.window.answers = {kIdYes};
  EndOfRunConnectionQuestion(h.ctx);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.LogText(),
            "Socket zůstal otevřený - ukončuji předchozí spojení.\n"
            "Spojení ukončeno.\n");
  EXPECT_EQ(h.window.lower, "Spojení ukončeno.");
  EXPECT_TRUE(h.sockets.IsClosed(s));

  h.window.transcript.clear();
  EndOfRunConnectionQuestion(h.ctx);  // nothing open: no question
  EXPECT_TRUE(h.window.transcript.empty());
}

TEST(NetStartup, ConnectThenStartTheNamedScript) {
  NetHost h;
  h.ctx.running = false;
  h.ctx.options.connectMode = 1;
  h.ctx.options.server = "127.0.0.1";
  h.ctx.options.port = 4000;
  h.ctx.options.scriptName = "run.tvl";
  bool runningDuringConnect = false;
  Bytes titleDuringConnect, captionDuringConnect;
  bool choiceDuringConnect = true;
  h.queue.At(1, [&] {
    runningDuringConnect = h.ctx.running;
    titleDuringConnect = h.window.title;
    captionDuringConnect = h.window.runCaption;
    choiceDuringConnect = h.window.scriptChoiceEnabled;
  });
  h.queue.dispatch = [](const Msg&) {};
  OnStartupConnect(h.ctx);
  EXPECT_TRUE(runningDuringConnect);
  EXPECT_EQ(titleDuringConnect, "Tarvelin - zahajuji spojení");
  EXPECT_EQ(captionDuringConnect, "&Přerušení spojování");
  EXPECT_FALSE(choiceDuringConnect);
  EXPECT_FALSE(h.ctx.running);
  EXPECT_EQ(h.window.title, "Tarvelin 1.10");
  EXPECT_EQ(h.window.runCaption, "&Spuštění scriptu");
  EXPECT_TRUE(h.window.scriptChoiceEnabled);
  EXPECT_EQ(h.window.lower, "Spojení navázáno v pořádku.");
  EXPECT_FALSE(h.ctx.startupFailed);
  Msg posted;
  ASSERT_TRUE(h.queue.Peek(posted));
  EXPECT_EQ(posted.id, kWmCommand);
  EXPECT_EQ(posted.wParam, static_cast<uintptr_t>(kIdRunButton));
}

TEST(NetStartup, AcceptWithoutScriptStartsNothing) {
  NetHost h;
  h.ctx.running = false;
  h.ctx.options.connectMode = 2;
  h.ctx.options.port = 4001;
  h.sockets.ClientArrives(10);
  OnStartupConnect(h.ctx);
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.window.lower, "Spojení navázáno v pořádku.");
  EXPECT_EQ(h.queue.Pending(), 0u);
  EXPECT_FALSE(h.ctx.startupFailed);
}

TEST(NetStartup, FailureStartsNoScriptAndMarksTheStart) {
  NetHost h;
  h.ctx.running = false;
  h.ctx.options.connectMode = 1;
  h.ctx.options.server = "127.0.0.1";
  h.ctx.options.port = 0;
  h.ctx.options.scriptName = "run.tvl";
  h.sockets.connectAnswerError = kWsaeConnRefused;
  OnStartupConnect(h.ctx);
  EXPECT_TRUE(h.ctx.startupFailed);
  EXPECT_EQ(h.window.lower, "Spojení se nepodařilo navázat");
  EXPECT_EQ(h.queue.Pending(), 0u);
  EXPECT_FALSE(h.ctx.running);
}

TEST(NetStartup, RunButtonInterruptsTheStartupConnection) {
  NetHost h;
  h.ctx.running = false;
  h.ctx.options.connectMode = 2;
  h.ctx.options.port = 4002;
  h.InterruptAt(50);
  OnStartupConnect(h.ctx);
  EXPECT_TRUE(h.ctx.startupFailed);
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení na portu 4002\n"
            "Akce přerušena obsluhou.\n"
            "Program předčasně přerušen.\n");
  EXPECT_EQ(h.window.lower, "Spojení se nepodařilo navázat");
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

}  // namespace
}  // namespace tv::test

namespace tv::test {
namespace {

TEST(NetClose, ClosesOnceAndLeavesNoSocketBehind) {
  NetHost h;
  Socket s = h.Open();
  CloseConnection(h.ctx);
  EXPECT_EQ(h.sockets.Calls(),
            "shutdown " + std::to_string(s) + "\nclose " + std::to_string(s) + "\n");
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  // Nothing open: no socket call at all, not even on the invalid socket.
  CloseConnection(h.ctx);
  EXPECT_EQ(h.sockets.calls.size(), 2u);
  EXPECT_EQ(h.LogText(), "");
}

TEST(NetClose, LoggedCloseSaysWhatItDoesAndThatTheConnectionEnded) {
  NetHost h;
  h.Open();
  CloseConnectionLogged(h.ctx, "Zavírám.", "Zavírám spojení.\n");
  EXPECT_EQ(h.LogText(), "Zavírám spojení.\nSpojení ukončeno.\n");
  EXPECT_EQ(h.window.lower, "Spojení ukončeno.");
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetStale, NotificationsAboutAnEarlierSocketAreSkipped) {
  NetHost h;
  Socket old = h.Open();
  // The old connection's close is still queued when a new one is made.
  h.queue.PostToMain(WM_SOCKET_EVENT, static_cast<uintptr_t>(old), SelectLParam(kFdClose));
  h.queue.PostToMain(WM_SOCKET_SETUP, static_cast<uintptr_t>(old), SelectLParam(kFdConnect, 1));
  h.sockets.connectAnswerMs = 20;
  ASSERT_TRUE(ConnectToServer(h.ctx, "127.0.0.1", 1)) << h.Boxes();
  h.queue.PostToMain(WM_SOCKET_EVENT, static_cast<uintptr_t>(old), SelectLParam(kFdClose));
  h.sockets.Arrive(30, "fresh\n");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "fresh");
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetStale, LookupAnswerOfACancelledRequestIsSkipped) {
  NetHost h;
  h.sockets.hosts["peer.test"] = {Ip(10, 0, 0, 5)};
  // An answer for handle 99 (an earlier, cancelled lookup) comes first.
  h.queue.PostToMain(WM_HOST_LOOKUP, 99, SelectLParam(0, kWsaeHostNotFound));
  ASSERT_TRUE(ConnectToServer(h.ctx, "peer.test", 1)) << h.Boxes();
  EXPECT_NE(h.sockets.Calls().find("connect 3 10.0.0.5:1"), Bytes::npos);
}

}  // namespace
}  // namespace tv::test
