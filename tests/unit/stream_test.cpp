// The connection seen as a byte stream: the core's reading, sending and close
// paths over a stream that is no socket at all, and the streams a socket layer
// makes of its sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "net/connection.h"
#include "net/receive.h"
#include "net/send.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

// A transport of another kind, as a pipe or a serial line would be: bytes
// arrive on the fake queue's clock, writes take at most `room` bytes at once.
// The test keeps the pipe; the core owns the stream, a view of it.
class Pipe {
 public:
  Pipe(FakeQueue& q, uintptr_t streamId) : queue(q), id(streamId) {}

  FakeQueue& queue;
  const uintptr_t id;
  Bytes incoming, written;
  long room = -1;  // bytes Write still takes; -1 without limit
  bool peerEnded = false;
  int closes = 0;
  uint32_t msg = 0;
  long events = 0;

  void Arrive(long long atMs, const Bytes& bytes) {
    queue.At(atMs, [this, bytes] {
      incoming += bytes;
      Post(kFdRead);
    });
  }
  void PeerEnds(long long atMs) {
    queue.At(atMs, [this] {
      peerEnded = true;
      Post(kFdClose);
    });
  }
  void RoomFor(long long atMs, long n) {
    queue.At(atMs, [this, n] {
      room = n;
      Post(kFdWrite);
    });
  }
  void Post(long event) {
    if (closes == 0 && (events & event)) queue.PostToMain(msg, id, SelectLParam(event));
  }
};

class PipeStream : public Stream {
 public:
  explicit PipeStream(Pipe& pipe) : p_(pipe) {}

  uintptr_t Id() const override { return p_.id; }
  bool Watch(uint32_t msg, long events) override {
    p_.msg = msg;
    p_.events = events;
    return true;
  }
  bool Available(unsigned long& count) override {
    count = p_.incoming.size();
    return true;
  }
  int Read(char* buf, int len) override {
    if (p_.incoming.empty()) return p_.peerEnded ? 0 : -1;
    const size_t n = std::min(p_.incoming.size(), static_cast<size_t>(len));
    p_.incoming.copy(buf, n);
    p_.incoming.erase(0, n);
    return static_cast<int>(n);
  }
  int Write(const char* data, int len) override {
    if (p_.room == 0) return -1;
    const int n = p_.room > 0 ? std::min(len, static_cast<int>(p_.room)) : len;
    p_.written.append(data, static_cast<size_t>(n));
    if (p_.room > 0) p_.room -= n;
    return n;
  }
  int LastError() override { return kWsaeWouldBlock; }
  bool PeerHasClosed() override { return p_.peerEnded && p_.incoming.empty(); }
  void Close() override { ++p_.closes; }

 private:
  Pipe& p_;
};

TEST(Stream, TheConnectionCommandsNeedNothingButTheStream) {
  NetHost h;
  Pipe pipe(h.queue, 77);
  h.ctx.connection = std::make_unique<PipeStream>(pipe);
  h.ctx.connection->Watch(WM_SOCKET_EVENT, kFdRead | kFdWrite | kFdClose);

  // A write the stream takes in pieces, waiting for room in between.
  pipe.room = 4;
  pipe.RoomFor(10, 100);
  ASSERT_TRUE(SendData(h.ctx, "GET /\r\n", 7));
  EXPECT_EQ(pipe.written, "GET /\r\n");
  EXPECT_EQ(h.queue.now, 10);

  // A line that arrives in two parts, then a block; a notification about
  // another stream's id is not taken for this one's.
  pipe.Arrive(20, "200 O");
  h.queue.At(25, [&h] { h.queue.PostToMain(WM_SOCKET_EVENT, 78, SelectLParam(kFdRead)); });
  pipe.Arrive(30, "K\r\nbody");
  ASSERT_TRUE(ReadUntil(h.ctx, '\n'));
  EXPECT_EQ(h.ctx.lastLine, "200 OK");
  ASSERT_TRUE(ReadBlock(h.ctx, 4));
  EXPECT_EQ(h.ctx.lastLine, "body");

  // The peer's end: the bytes before it are read, then the stream is closed once.
  pipe.Arrive(40, "bye");
  pipe.PeerEnds(40);
  EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
  EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
  EXPECT_FALSE(h.ctx.connection);
  EXPECT_EQ(pipe.closes, 1);
  EXPECT_EQ(h.LogText(),
            "Odesílám řádku GET /\\r\\n\n"
            "Načtena řádka 200 OK\\r\\n\n"
            "Načten blok dat body\n"
            "Ukončení spojení ze strany partnerského počítače.\n"
            "V bufferu pro čtení zůstává: bye\n");
  // No socket was asked for anything.
  EXPECT_EQ(h.sockets.Calls(), "");
}

TEST(Stream, SocketStreamsCloseTheirSocketOnceAndTlsKeepsTheStream) {
  NetHost h;
  const Socket s = h.Open();
  h.sockets.tlsSteps = {TlsStatus::Pending, TlsStatus::Done};
  TlsStatus status = TlsStatus::Failed;
  TlsError error;
  auto tls = h.sockets.OpenTlsStream(std::move(h.ctx.connection), TlsOptions(), status, error);
  EXPECT_EQ(status, TlsStatus::Pending);
  EXPECT_EQ(tls->Id(), static_cast<uintptr_t>(s));
  Bytes protocol, cipher;
  EXPECT_FALSE(tls->Describe(protocol, cipher));
  EXPECT_EQ(tls->Step(error), TlsStatus::Done);
  ASSERT_TRUE(tls->Describe(protocol, cipher));
  EXPECT_EQ(protocol + " " + cipher, "TLSv1.3 TLS_AES_128_GCM_SHA256");
  // The TLS stream carries the socket's bytes.
  EXPECT_EQ(tls->Write("abc", 3), 3);
  EXPECT_EQ(h.sockets.Live().sent, "abc");
  tls->Close();
  tls->Close();
  tls.reset();
  const Bytes id = std::to_string(s);
  EXPECT_EQ(h.sockets.Calls(), "starttls " + id +
                                   " client name= address= trust=\n"
                                   "tlsstep " +
                                   id + "\nsend " + id + " 3 -> 3\nshutdown " + id + "\nclose " +
                                   id + "\n");

  // A stream given up without Close releases its socket without shutting it down.
  h.sockets.calls.clear();
  const Socket t = h.Open();
  h.ctx.connection.reset();
  EXPECT_EQ(h.sockets.Calls(), "close " + std::to_string(t) + "\n");
}

}  // namespace
}  // namespace tv::test
