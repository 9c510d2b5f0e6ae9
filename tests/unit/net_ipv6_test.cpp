// Addresses of both families: how they are read and written, the order in
// which a name's addresses are tried, and Connect and Accept with them.
#include <gtest/gtest.h>

#include "net/address.h"
#include "net/connection.h"
#include "net/receive.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

TEST(NetAddress, Ipv6TextFormsAreReadAndWrittenShortest) {
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {
      {"::1", "::1"},
      {"[::1]", "::1"},
      {"::", "::"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of two equal runs
      {"2001:db8:0:0:0:0:2:1", "2001:db8::2:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"fe80::", "fe80::"},
      {"1:0:0:2:0:0:0:0", "1:0:0:2::"},  // the longer run wins
      {"::ffff:10.0.0.1", "::ffff:10.0.0.1"},
      {"::ffff:a00:1", "::ffff:10.0.0.1"},
      {"0001:0002:0003:0004:0005:0006:0007:0008", "1:2:3:4:5:6:7:8"},
  };
  for (const auto& c : cases) {
    IpAddress a;
    ASSERT_TRUE(ParseIpv6Literal(c.text, a)) << c.text;
    EXPECT_EQ(a.family, IpFamily::V6);
    EXPECT_EQ(FormatAddress(a), c.shown) << c.text;
  }
  IpAddress a;
  ASSERT_TRUE(ParseIpv6Literal("2001:db8::ff00:42:8329", a));
  const uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0,    0,    0,
                             0,    0,    0xff, 0,    0, 0x42, 0x83, 0x29};
  EXPECT_EQ(Bytes(reinterpret_cast<const char*>(a.b), 16),
            Bytes(reinterpret_cast<const char*>(bytes), 16));
}

TEST(NetAddress, MalformedIpv6IsNoAddress) {
  for (const char* text : {"",
                           ":",
                           ":::",
                           "1:2",
                           "::1::",
                           "1::2::3",
                           ":1::",
                           "1::2:",
                           "12345::",
                           "g::1",
                           "[::1",
                           "::1]",
                           "[]",
                           "1:2:3:4:5:6:7:8:9",
                           "1:2:3:4:5:6:7::8",
                           "1:2:3:4:5:6:7:1.2.3.4",
                           "::1.2.3",
                           "::1.2.3.256",
                           "::1.2.3.4:5",
                           "1.2.3.4",
                           "localhost",
                           "::1%lo",
                           " ::1"}) {
    IpAddress a;
    EXPECT_FALSE(ParseIpv6Literal(text, a)) << text;
  }
}

TEST(NetAddress, LiteralsForAcceptAreStrict) {
  IpAddress a;
  ASSERT_TRUE(ParseIpLiteral("127.0.0.1", a));
  EXPECT_EQ(a.family, IpFamily::V4);
  EXPECT_EQ(FormatAddress(a), "127.0.0.1");
  ASSERT_TRUE(ParseIpLiteral("[::]", a));
  EXPECT_EQ(a.family, IpFamily::V6);
  for (const char* text : {"10.0.0.256", "10.0.0", "10.0.0.1.", "10.0.0.1x", "+1.0.0.1", "1..0.1",
                           "0127.0.0.1", "localhost", ""}) {
    EXPECT_FALSE(ParseIpLiteral(text, a)) << text;
  }
}

TEST(NetAddress, NamesAreTriedIpv4FirstEachAddressOnce) {
  std::vector<IpAddress> list = {Ip6("::1"),      Ip(10, 0, 0, 1), Ip6("2001:db8::5"),
                                 Ip(10, 0, 0, 2), Ip(10, 0, 0, 1), Ip6("::1")};
  OrderForConnect(list);
  Bytes shown;
  for (const IpAddress& a : list) shown += FormatAddress(a) + " ";
  EXPECT_EQ(shown, "10.0.0.1 10.0.0.2 ::1 2001:db8::5 ");
}

TEST(NetConnectIpv6, LiteralNeedsNoLookup) {
  NetHost h;
  ASSERT_TRUE(ConnectToServer(h.ctx, "[2001:db8::7]", 80));
  EXPECT_EQ(h.sockets.Calls(),
            "create 3 v6\n"
            "select 3 2 16\n"
            "connect 3 2001:db8::7:80\n"
            "select 3 1 35\n");
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení k 2001:db8::7, port 80\n"
            "Spojení navázáno v pořádku.\n");
}

TEST(NetConnectIpv6, NameWithIpv6OnlyIsReachedThere) {
  NetHost h;
  h.sockets.hosts["six.test"] = {Ip6("::1")};
  ASSERT_TRUE(ConnectToServer(h.ctx, "six.test", 25));
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno six.test\n"
            "Čekám na připojení k ::1, port 25\n"
            "Spojení navázáno v pořádku.\n");
  EXPECT_NE(h.sockets.Calls().find("create 3 v6\n"), Bytes::npos);
}

// A name's IPv4 address is tried first even when the resolver lists an IPv6
// one before it, so a name that reached its server before still does, with
// the same log.
TEST(NetConnectIpv6, NameWithBothFamiliesLogsAsBeforeWhenIpv4Answers) {
  NetHost h;
  h.sockets.hosts["localhost"] = {Ip6("::1"), Ip(127, 0, 0, 1)};
  ASSERT_TRUE(ConnectToServer(h.ctx, "localhost", 110));
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno localhost\n"
            "Čekám na připojení k 127.0.0.1, port 110\n"
            "Spojení navázáno v pořádku.\n");
}

TEST(NetConnectIpv6, RefusedAddressGivesWayToTheNext) {
  NetHost h;
  h.sockets.hosts["two.test"] = {Ip(10, 0, 0, 1), Ip6("::1")};
  h.sockets.refusing = {Ip(10, 0, 0, 1)};
  ASSERT_TRUE(ConnectToServer(h.ctx, "two.test", 23)) << h.Boxes();
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno two.test\n"
            "Čekám na připojení k 10.0.0.1, port 23\n"
            "Spojení s 10.0.0.1 nelze navázat, zkouším další adresu.\n"
            "Čekám na připojení k ::1, port 23\n"
            "Spojení navázáno v pořádku.\n");
  EXPECT_EQ(h.Boxes(), "");
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_EQ(ConnectionId(h.ctx), 4);
  EXPECT_EQ(h.window.lower, "Spojení navázáno v pořádku.");
}

// A family the system cannot make a socket for, or an address the connect
// rejects at once, gives way as a refusal does; the last one's failure is
// reported as for a single address.
TEST(NetConnectIpv6, EveryAddressFailingEndsWithTheLastOnesReport) {
  NetHost h;
  h.sockets.hosts["bad.test"] = {Ip6("::1"), Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Ip6("::2")};
  h.sockets.refusing = {Ip(10, 0, 0, 1)};
  h.sockets.failingAtOnce = {Ip(10, 0, 0, 2)};
  h.sockets.noIpv6 = true;
  EXPECT_FALSE(ConnectToServer(h.ctx, "bad.test", 7));
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno bad.test\n"
            "Čekám na připojení k 10.0.0.1, port 7\n"
            "Spojení s 10.0.0.1 nelze navázat, zkouším další adresu.\n"
            "Čekám na připojení k 10.0.0.2, port 7\n"
            "Spojení s 10.0.0.2 nelze navázat, zkouším další adresu.\n"
            "Spojení s ::1 nelze navázat, zkouším další adresu.\n"
            "Chyby WinSock - není další socket pro spojení nebo není nainstalováno TCP/IP\n");
  EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Nelze získat socket pro spojení\n");
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_TRUE(h.sockets.IsClosed(4));
}

TEST(NetConnectIpv6, InterruptDuringAnAttemptTriesNoFurtherAddress) {
  NetHost h;
  h.sockets.hosts["two.test"] = {Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)};
  h.sockets.connectAnswerMs = -1;
  h.InterruptAt(100);
  EXPECT_FALSE(ConnectToServer(h.ctx, "two.test", 23));
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno two.test\n"
            "Čekám na připojení k 10.0.0.1, port 23\n"
            "Akce přerušena obsluhou.\n");
  EXPECT_EQ(h.sockets.Calls().find("10.0.0.2"), Bytes::npos);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_STREQ(h.ctx.failureReason, kReasonInterrupted);
}

TEST(NetAcceptIpv6, ListensOnTheOneAddressAndNamesTheIpv6Peer) {
  NetHost h;
  const IpAddress only = Ip6("::1");
  h.sockets.acceptPeer = Ip6("::1");
  h.sockets.ClientArrives(30);
  ASSERT_TRUE(AcceptConnection(h.ctx, 2323, &only));
  EXPECT_EQ(h.sockets.Calls().substr(0, 28), "create 3 v6\nbind 3 ::1:2323\n");
  EXPECT_EQ(h.LogText(),
            "Čekám na připojení na adrese ::1, port 2323\n"
            "Navázáno spojení s počítačem ::1 na portu 2323.\n");
  EXPECT_EQ(h.window.lower, "Spojení s ::1 navázáno v pořádku");
}

}  // namespace
}  // namespace tv::test
