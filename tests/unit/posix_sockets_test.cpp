// The socket layer on real loopback connections: the notifications follow
// the re-enabling rules of Windows Sockets 1.1.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "posix/sockets.h"

namespace tv::posix {
namespace {

constexpr uint32_t kEvent = WM_SOCKET_EVENT;
constexpr uint32_t kSetup = WM_SOCKET_SETUP;
const IpAddress kLoopback{IpFamily::V4, {127, 0, 0, 1}, 0};
const IpAddress kAny{};

// The open descriptors, each with what it refers to ("socket:[1234]"). A
// helper thread of an earlier test may close one meanwhile (the last holder
// of its queue's wake-up descriptor), so a check compares what was opened.
std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> open;
  DIR* d = opendir("/proc/self/fd");
  const int own = dirfd(d);
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
    char target[256];
    ssize_t n = readlinkat(own, e->d_name, target, sizeof target);
    open[std::atoi(e->d_name)] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
  }
  closedir(d);
  return open;
}

// The descriptors of after that were not open in before, as "7 socket:[1234]".
std::vector<std::string> Opened(const std::map<int, std::string>& before,
                                const std::map<int, std::string>& after) {
  std::vector<std::string> opened;
  for (const auto& [fd, target] : after) {
    auto it = before.find(fd);
    if (it == before.end() || it->second != target) {
      opened.push_back(std::to_string(fd) + " " + target);
    }
  }
  return opened;
}

struct Notice {
  uint32_t id;
  Socket s;
  long event;
  int error;
};

class PosixSocketsTest : public ::testing::Test {
 protected:
  PosixQueue queue;
  PosixSockets sockets{queue};

  // Everything queued now (after one look at the descriptors).
  std::vector<Notice> Drain() {
    std::vector<Notice> out;
    Msg m;
    while (queue.Peek(m)) {
      Msg removed;
      queue.RemoveForMain(m.id, removed);
      out.push_back(Notice{removed.id, static_cast<Socket>(removed.wParam), LowWord(removed.lParam),
                           HighWord(removed.lParam)});
    }
    return out;
  }
  // Blocks until something is queued, then drains.
  std::vector<Notice> WaitAndDrain() {
    queue.WaitForMessage();
    return Drain();
  }
  // A listening socket on an ephemeral port, registered for FD_ACCEPT.
  Socket Listen(uint16_t& port) {
    Socket s = sockets.Create(IpFamily::V4);
    EXPECT_NE(s, kInvalidSocket);
    EXPECT_TRUE(sockets.Bind(s, kAny, 0));
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    EXPECT_TRUE(sockets.AsyncSelect(s, kSetup, kFdAccept));
    EXPECT_TRUE(sockets.Listen(s, 1));
    return s;
  }
  // A connected pair, both registered for read, write and close; the
  // FD_WRITE of the registration is drained.
  void Pair(Socket& client, Socket& server) {
    uint16_t port;
    Socket listener = Listen(port);
    client = sockets.Create(IpFamily::V4);
    ASSERT_TRUE(sockets.AsyncSelect(client, kSetup, kFdConnect));
    if (!sockets.Connect(client, kLoopback, port)) {
      ASSERT_EQ(sockets.LastError(), kWsaeWouldBlock);
    }
    bool connected = false, accepted = false;
    while (!connected || !accepted) {
      for (const Notice& n : WaitAndDrain()) {
        if (n.event == kFdConnect) {
          EXPECT_EQ(n.error, 0);
          connected = true;
        }
        if (n.event == kFdAccept) {
          IpAddress peer;
          server = sockets.Accept(listener, peer);
          ASSERT_NE(server, kInvalidSocket);
          EXPECT_EQ(peer.b[0], 127);
          accepted = true;
        }
      }
    }
    sockets.Close(listener);
    ASSERT_TRUE(sockets.AsyncSelect(client, kEvent, kFdRead | kFdWrite | kFdClose));
    ASSERT_TRUE(sockets.AsyncSelect(server, kEvent, kFdRead | kFdWrite | kFdClose));
    auto first = Drain();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].event, kFdWrite);
    EXPECT_EQ(first[1].event, kFdWrite);
    EXPECT_TRUE(Drain().empty()) << "FD_WRITE comes once after the registration";
  }
  // The system has taken in what the test waits for: no notification that
  // is still to come can then be put down to the data not being there yet.
  // (Loopback delivery is all but immediate; the limit is for a broken one.)
  static constexpr int kLongestDeliveryMs = 10000;
  // count bytes have arrived on s.
  static void WaitForBytes(Socket s, int count) {
    const int fd = static_cast<int>(s);
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &count, sizeof count), 0);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, kLongestDeliveryMs), 1) << "the data did not arrive";
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
  }
  // The peer's end has arrived on s.
  static void WaitForPeerEnd(Socket s) {
    pollfd p{static_cast<int>(s), POLLRDHUP, 0};
    EXPECT_EQ(poll(&p, 1, kLongestDeliveryMs), 1) << "the peer's end did not arrive";
  }
};

TEST_F(PosixSocketsTest, ReadIsPostedOnceAndReArmedOnlyByRecv) {
  Socket client, server;
  Pair(client, server);
  ASSERT_EQ(sockets.Send(client, "hello", 5), 5);
  auto n = WaitAndDrain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].id, kEvent);
  EXPECT_EQ(n[0].s, server);
  EXPECT_EQ(n[0].event, kFdRead);
  // More data, but no recv yet: no second notification.
  ASSERT_EQ(sockets.Send(client, "world", 5), 5);
  WaitForBytes(server, 10);
  EXPECT_TRUE(Drain().empty());
  unsigned long avail = 0;
  ASSERT_TRUE(sockets.BytesAvailable(server, avail));
  EXPECT_EQ(avail, 10u);
  // A recv that leaves data behind re-arms, and the rest is announced.
  char buf[16];
  ASSERT_EQ(sockets.Recv(server, buf, 3), 3);
  n = Drain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].event, kFdRead);
  ASSERT_EQ(sockets.Recv(server, buf, sizeof buf), 7);
  EXPECT_TRUE(Drain().empty()) << "nothing left to read";
  // A recv that finds nothing fails with would-block.
  EXPECT_EQ(sockets.Recv(server, buf, sizeof buf), -1);
  EXPECT_EQ(sockets.LastError(), kWsaeWouldBlock);
  EXPECT_FALSE(sockets.PeerHasClosed(server));
  sockets.Close(client);
  sockets.Close(server);
}

TEST_F(PosixSocketsTest, CloseComesOnceAfterTheReadDueWithIt) {
  Socket client, server;
  Pair(client, server);
  ASSERT_EQ(sockets.Send(client, "last words", 10), 10);
  sockets.Shutdown(client);
  sockets.Close(client);
  WaitForPeerEnd(server);
  auto n = WaitAndDrain();
  ASSERT_EQ(n.size(), 2u);
  EXPECT_EQ(n[0].event, kFdRead);
  EXPECT_EQ(n[1].event, kFdClose);
  EXPECT_EQ(n[1].error, 0);
  // The data is still there; reading it re-arms FD_READ only while data is left.
  EXPECT_FALSE(sockets.PeerHasClosed(server)) << "data is still to be read";
  char buf[4];
  ASSERT_EQ(sockets.Recv(server, buf, 4), 4);
  n = Drain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].event, kFdRead);
  char rest[16];
  ASSERT_EQ(sockets.Recv(server, rest, sizeof rest), 6);
  EXPECT_EQ(sockets.Recv(server, rest, sizeof rest), 0);
  EXPECT_TRUE(Drain().empty()) << "FD_CLOSE only once, and no spinning on the end";
  EXPECT_TRUE(sockets.PeerHasClosed(server));
  sockets.Close(server);
}

TEST_F(PosixSocketsTest, ResetReportsCloseWithTheError) {
  Socket client, server;
  Pair(client, server);
  // Unread data at close time makes the system reset the connection.
  ASSERT_EQ(sockets.Send(server, "unread", 6), 6);
  auto n = WaitAndDrain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].s, client);
  sockets.Close(client);
  n = WaitAndDrain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].event, kFdClose);
  EXPECT_EQ(n[0].error, 10054);
  EXPECT_TRUE(sockets.PeerHasClosed(server));
  // Sending to the vanished peer fails and does not kill the program.
  EXPECT_EQ(sockets.Send(server, "x", 1), -1);
  EXPECT_EQ(sockets.LastError(), 10054);
  sockets.Close(server);
}

TEST_F(PosixSocketsTest, WriteComesAgainAfterAWouldBlockSendOnceThereIsRoom) {
  Socket client, server;
  Pair(client, server);
  std::string block(65536, 'x');
  int sent = 0;
  while (sockets.Send(client, block.data(), static_cast<int>(block.size())) > 0) {
    ASSERT_LT(++sent, 10000);
  }
  EXPECT_EQ(sockets.LastError(), kWsaeWouldBlock);
  // The server's FD_READ arrives; the client gets no FD_WRITE while full.
  auto n = WaitAndDrain();
  for (const Notice& x : n) EXPECT_NE(x.event, kFdWrite);
  // Reading everything makes room. Each wait ends with the server's FD_READ
  // for what the client's buffer sent on meanwhile, or the client's FD_WRITE.
  std::vector<char> buf(1 << 20);
  bool sawWrite = false;
  for (int round = 0; !sawWrite; ++round) {
    ASSERT_LT(round, 10000);
    while (sockets.Recv(server, buf.data(), static_cast<int>(buf.size())) > 0) {
    }
    for (const Notice& x : WaitAndDrain()) {
      if (x.event == kFdWrite) {
        EXPECT_EQ(x.s, client);
        sawWrite = true;
      } else {
        EXPECT_EQ(x.s, server);
        EXPECT_EQ(x.event, kFdRead);
      }
    }
  }
  while (sockets.Recv(server, buf.data(), static_cast<int>(buf.size())) > 0) {
  }
  for (const Notice& x : Drain()) EXPECT_NE(x.event, kFdWrite) << "only once";
  sockets.Close(client);
  sockets.Close(server);
}

TEST_F(PosixSocketsTest, RefusedConnectionIsReportedInTheConnectNotice) {
  uint16_t port;
  Socket listener = Listen(port);
  sockets.Close(listener);  // nobody listens there now
  Socket s = sockets.Create(IpFamily::V4);
  ASSERT_TRUE(sockets.AsyncSelect(s, kSetup, kFdConnect));
  bool immediate = sockets.Connect(s, kLoopback, port);
  if (!immediate && sockets.LastError() != kWsaeWouldBlock) {
    EXPECT_EQ(sockets.LastError(), 10061);
  } else {
    auto n = WaitAndDrain();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].event, kFdConnect);
    EXPECT_EQ(n[0].error, 10061);
  }
  sockets.Close(s);
}

// A peer that accepts and resets at once: the reset may be in before the
// connect's outcome is looked at, and the connection was made all the same.
// Its end then comes as the close of a connected socket, with the reset's
// code. The peer here resets before the layer polls, every time.
TEST_F(PosixSocketsTest, ConnectionResetRightAfterTheAcceptWasStillMade) {
  int peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(peer, 4), 0);
  ASSERT_EQ(getsockname(peer, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  const uint16_t port = ntohs(sa.sin_port);
  for (int run = 0; run < 200; ++run) {
    SCOPED_TRACE(run);
    Socket s = sockets.Create(IpFamily::V4);
    ASSERT_TRUE(sockets.AsyncSelect(s, kSetup, kFdConnect));
    if (!sockets.Connect(s, kLoopback, port)) {
      ASSERT_EQ(sockets.LastError(), kWsaeWouldBlock);
    }
    int accepted = accept(peer, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    const linger reset{1, 0};
    setsockopt(accepted, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(accepted);
    auto n = WaitAndDrain();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].event, kFdConnect);
    ASSERT_EQ(n[0].error, 0) << "the connection was made";
    ASSERT_TRUE(sockets.AsyncSelect(s, kEvent, kFdRead | kFdWrite | kFdClose));
    int closes = 0;
    while (closes == 0) {
      for (const Notice& x : WaitAndDrain()) {
        if (x.event != kFdClose) continue;
        ++closes;
        EXPECT_EQ(x.error, 10054);
      }
    }
    EXPECT_TRUE(sockets.PeerHasClosed(s));
    EXPECT_EQ(sockets.Send(s, "x", 1), -1);
    sockets.Close(s);
    EXPECT_TRUE(Drain().empty());
  }
  close(peer);
}

TEST_F(PosixSocketsTest, BindToAPortInUseFails) {
  uint16_t port;
  Socket listener = Listen(port);
  Socket other = sockets.Create(IpFamily::V4);
  EXPECT_FALSE(sockets.Bind(other, kAny, port));
  EXPECT_EQ(sockets.LastError(), 10048);
  sockets.Close(other);
  sockets.Close(listener);
}

TEST_F(PosixSocketsTest, AcceptNoticeIsReArmedByAccept) {
  uint16_t port;
  Socket listener = Listen(port);
  int c1 = socket(AF_INET, SOCK_STREAM, 0), c2 = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(c1, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(connect(c2, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  auto n = WaitAndDrain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].event, kFdAccept);
  EXPECT_TRUE(Drain().empty()) << "both clients are in, announced once";
  IpAddress peer;
  Socket a1 = sockets.Accept(listener, peer);
  ASSERT_NE(a1, kInvalidSocket);
  n = Drain();
  ASSERT_EQ(n.size(), 1u) << "the second client still waits";
  Socket a2 = sockets.Accept(listener, peer);
  ASSERT_NE(a2, kInvalidSocket);
  for (Socket s : {a1, a2, listener}) sockets.Close(s);
  close(c1);
  close(c2);
}

// A listener takes clients on the address it is bound to only: 127.0.0.1 not
// those of 127.0.0.2, "::" no IPv4 client; on ::1 an IPv6 client connects
// and is named by its address.
TEST_F(PosixSocketsTest, ListenerIsBoundToItsAddressOfEitherFamily) {
  auto portOf = [](Socket s) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len);
    return sa.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
  };
  auto refused = [&](const IpAddress& to, uint16_t port) {
    Socket c = sockets.Create(to.family);
    EXPECT_TRUE(sockets.AsyncSelect(c, kSetup, kFdConnect));
    bool atOnce = sockets.Connect(c, to, port);
    int error = atOnce ? 0 : -1;
    if (!atOnce && sockets.LastError() == kWsaeWouldBlock) {
      auto n = WaitAndDrain();
      error = n.empty() ? 0 : n[0].error;
    }
    sockets.Close(c);
    return error != 0;
  };
  Socket v4 = sockets.Create(IpFamily::V4);
  ASSERT_TRUE(sockets.Bind(v4, kLoopback, 0));
  ASSERT_TRUE(sockets.Listen(v4, 1));
  EXPECT_TRUE(refused(IpAddress{IpFamily::V4, {127, 0, 0, 2}, 0}, portOf(v4)));
  sockets.Close(v4);

  IpAddress loopback6{IpFamily::V6, {}, 0};
  loopback6.b[15] = 1;
  Socket every6 = sockets.Create(IpFamily::V6);
  if (every6 == kInvalidSocket || !sockets.Bind(every6, IpAddress{IpFamily::V6, {}, 0}, 0)) {
    if (every6 != kInvalidSocket) sockets.Close(every6);
    GTEST_SKIP() << "no IPv6 on this machine";
  }
  ASSERT_TRUE(sockets.Listen(every6, 1));
  EXPECT_TRUE(refused(kLoopback, portOf(every6)));
  sockets.Close(every6);

  Socket listener = sockets.Create(IpFamily::V6);
  ASSERT_TRUE(sockets.Bind(listener, loopback6, 0));
  ASSERT_TRUE(sockets.AsyncSelect(listener, kSetup, kFdAccept));
  ASSERT_TRUE(sockets.Listen(listener, 1));
  Socket client = sockets.Create(IpFamily::V6);
  ASSERT_TRUE(sockets.AsyncSelect(client, kSetup, kFdConnect));
  if (!sockets.Connect(client, loopback6, portOf(listener))) {
    ASSERT_EQ(sockets.LastError(), kWsaeWouldBlock);
  }
  bool connected = false, accepted = false;
  while (!connected || !accepted) {
    for (const Notice& n : WaitAndDrain()) {
      if (n.event == kFdConnect) {
        EXPECT_EQ(n.error, 0);
        connected = true;
      }
      if (n.event == kFdAccept) {
        IpAddress peer;
        Socket server = sockets.Accept(listener, peer);
        ASSERT_NE(server, kInvalidSocket);
        EXPECT_EQ(peer.family, IpFamily::V6);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(peer.b), 16),
                  Bytes(reinterpret_cast<char*>(loopback6.b), 16));
        sockets.Close(server);
        accepted = true;
      }
    }
  }
  // A socket of one family takes no address of the other.
  EXPECT_FALSE(sockets.Connect(client, kLoopback, 1));
  EXPECT_NE(sockets.LastError(), kWsaeWouldBlock);
  sockets.Close(client);
  sockets.Close(listener);
}

TEST_F(PosixSocketsTest, HostLookupPostsItsResultAndCancelDropsIt) {
  uintptr_t h = sockets.StartHostLookup("localhost", WM_HOST_LOOKUP);
  ASSERT_NE(h, 0u);
  auto n = WaitAndDrain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n[0].id, WM_HOST_LOOKUP);
  EXPECT_EQ(static_cast<uintptr_t>(n[0].s), h);
  EXPECT_EQ(n[0].error, 0);
  std::vector<IpAddress> found;
  ASSERT_TRUE(sockets.HostLookupAddresses(h, found));
  bool loopback = false;
  for (const IpAddress& a : found) {
    loopback = loopback || (a.family == IpFamily::V4 && a.b[0] == 127) ||
               (a.family == IpFamily::V6 && a.b[15] == 1);
  }
  EXPECT_TRUE(loopback);

  uintptr_t bad = sockets.StartHostLookup("no-such-host.invalid", WM_HOST_LOOKUP);
  n = WaitAndDrain();
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(static_cast<uintptr_t>(n[0].s), bad);
  EXPECT_NE(n[0].error, 0);
  EXPECT_FALSE(sockets.HostLookupAddresses(bad, found));

  // A cancelled lookup posts nothing once it has ended: its helper thread
  // is the only one left to wake the queue, which it does last.
  uintptr_t dropped = sockets.StartHostLookup("localhost", WM_HOST_LOOKUP);
  sockets.CancelAsyncRequest(dropped);
  pollfd woken{queue.waker()->Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&woken, 1, kLongestDeliveryMs), 1) << "the lookup did not end";
  EXPECT_TRUE(Drain().empty());
  EXPECT_FALSE(sockets.HostLookupAddresses(dropped, found));
}

TEST_F(PosixSocketsTest, EveryDescriptorIsClosed) {
  const std::map<int, std::string> before = OpenDescriptors();
  for (int i = 0; i < 20; ++i) {
    Socket client, server;
    Pair(client, server);
    ASSERT_EQ(sockets.Send(client, "x", 1), 1);
    WaitAndDrain();
    sockets.Shutdown(client);
    sockets.Close(client);
    sockets.Close(server);
  }
  EXPECT_EQ(sockets.OpenCount(), 0u);
  EXPECT_EQ(Opened(before, OpenDescriptors()), std::vector<std::string>{});
}

TEST(PosixSocketErrors, ErrnoValuesMapToWinsockCodes) {
  EXPECT_EQ(WinsockError(EWOULDBLOCK), kWsaeWouldBlock);
  EXPECT_EQ(WinsockError(EINPROGRESS), kWsaeWouldBlock);
  EXPECT_EQ(WinsockError(ECONNREFUSED), 10061);
  EXPECT_EQ(WinsockError(ECONNRESET), 10054);
  EXPECT_EQ(WinsockError(EPIPE), 10054);
  EXPECT_EQ(WinsockError(EADDRINUSE), 10048);
  EXPECT_EQ(WinsockError(ETIMEDOUT), 10060);
  EXPECT_EQ(WinsockError(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinsockError(0), 0);
  EXPECT_NE(WinsockError(EIO), 0);
}

}  // namespace
}  // namespace tv::posix
