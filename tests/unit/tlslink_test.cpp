// The link between a socket and a TLS session, with both played in memory: a
// session whose "records" are a type byte, a two-byte length and the bytes,
// and a socket that takes and gives what a test lets it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "tlslink/link.h"

namespace tv::tlslink {
namespace {

constexpr ErrorWords kWords = {107, 104, 111};

Bytes Record(char type, const Bytes& payload = Bytes()) {
  Bytes r(1, type);
  r += static_cast<char>((payload.size() >> 8) & 0xFF);
  r += static_cast<char>(payload.size() & 0xFF);
  return r + payload;
}

// count data records of 1000 bytes; what they carry is added to stream.
Bytes DataRecords(int count, Bytes& stream) {
  Bytes wire;
  for (int i = 0; i < count; ++i) {
    const Bytes piece(1000, static_cast<char>('a' + i % 26));
    stream += piece;
    wire += Record('D', piece);
  }
  return wire;
}

// The records in bytes, read as far as they are whole: their types, and
// what the data records carry.
struct Records {
  Bytes types;
  Bytes data;
};
Records Parse(const Bytes& bytes) {
  Records out;
  size_t at = 0;
  while (at + 3 <= bytes.size()) {
    const size_t len = (static_cast<unsigned char>(bytes[at + 1]) << 8) |
                       static_cast<unsigned char>(bytes[at + 2]);
    if (at + 3 + len > bytes.size()) break;
    out.types += bytes[at];
    if (bytes[at] == 'D') out.data.append(bytes, at + 3, len);
    at += 3 + len;
  }
  return out;
}

// Hello out first; 'H' from the peer ends the handshake, 'X' fails it.
// Afterwards 'D' carries data, 'A' is the close alert, anything else breaks
// the input.
class FakeSession final : public Session {
 public:
  void PutIncoming(const char* data, size_t len) override { in_.append(data, len); }
  size_t Held() const { return in_.size(); }

  TlsStatus Handshake(TlsError& error) override {
    if (Established()) return TlsStatus::Done;
    if (!helloSent_) {
      helloSent_ = true;
      const Bytes hello = Record('H', "hello");
      AppendOutgoing(hello.data(), hello.size());
    }
    if (in_.size() < 3) return TlsStatus::Pending;
    if (in_[0] != 'H') {
      error.failure = TlsFailure::Handshake;
      error.reason = "not a hello";
      return TlsStatus::Failed;
    }
    in_.erase(0, 3);
    MarkEstablished();
    return TlsStatus::Done;
  }

  Input Decrypt(size_t limit) override {
    if (!Established()) return InputState();
    while (InputState() == Input::Open && PlainSize() < limit && in_.size() >= 3) {
      const size_t len =
          (static_cast<unsigned char>(in_[1]) << 8) | static_cast<unsigned char>(in_[2]);
      if (in_.size() < 3 + len) break;
      const char type = in_[0];
      if (type == 'D') {
        AppendPlain(in_.data() + 3, len);
      } else if (type == 'A') {
        EndInput(Input::Closed);
      } else {
        EndInput(Input::Broken, "bad record");
      }
      in_.erase(0, 3 + len);
    }
    return InputState();
  }

  bool Write(const char* data, size_t len) override {
    if (!Established()) return false;
    const Bytes r = Record('D', Bytes(data, len));
    AppendOutgoing(r.data(), r.size());
    return true;
  }

  void Close() override {
    if (!Established() || closed_) return;
    closed_ = true;
    const Bytes r = Record('A');
    AppendOutgoing(r.data(), r.size());
  }

  bool Describe(Bytes& protocol, Bytes& cipher) const override {
    protocol = "TEST";
    cipher = "NONE";
    return Established();
  }

 private:
  Bytes in_;
  bool helloSent_ = false;
  bool closed_ = false;
};

struct FakeRaw final : RawSocket {
  // From the peer: what the socket holds, then its end or a failure.
  Bytes wire;
  bool ended = false;
  int failure = 0;
  // To the peer: what the socket has taken, and how much more it takes.
  Bytes sent;
  size_t room = static_cast<size_t>(-1);
  int sendFailure = 0;
  std::function<void(int)> onAwait;  // default: waits the whole time
  int awaits = 0;

  std::vector<std::pair<long, int>> notices;
  int lastError = 0;

  Result Receive(char* buf, size_t len) override {
    if (!wire.empty()) {
      const size_t n = std::min(len, wire.size());
      wire.copy(buf, n);
      wire.erase(0, n);
      return {Outcome::Moved, n, 0};
    }
    if (failure != 0) return {Outcome::Failed, 0, failure};
    if (ended) return {Outcome::Ended, 0, 0};
    return {Outcome::WouldBlock, 0, 0};
  }
  Result Transmit(const char* data, size_t len) override {
    if (sendFailure != 0) return {Outcome::Failed, 0, sendFailure};
    if (room == 0) return {Outcome::WouldBlock, 0, 0};
    const size_t n = std::min(len, room);
    sent.append(data, n);
    room -= n;
    return {Outcome::Moved, n, 0};
  }
  bool AwaitRoom(int ms) override {
    ++awaits;
    if (onAwait) {
      onAwait(ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return true;
  }
  void Notify(long event, int error) override { notices.emplace_back(event, error); }
  void SetLastError(int error) override { lastError = error; }
  Bytes ErrorText(int error) const override { return "error " + std::to_string(error); }

  std::vector<std::pair<long, int>> TakeNotices() { return std::exchange(notices, {}); }
};

using Notices = std::vector<std::pair<long, int>>;

class TlsLinkTest : public ::testing::Test {
 protected:
  TlsLinkTest() { Reset(); }

  // A fresh socket and session, registered as the core registers them.
  void Reset() {
    link.reset();
    st = StreamState();
    raw = FakeRaw();
    auto owned = std::make_unique<FakeSession>();
    session = owned.get();
    link = std::make_unique<Link>(std::move(owned), st, raw, kWords);
    st.events = kFdRead | kFdWrite | kFdClose;
  }

  void Establish() {
    TlsError error;
    ASSERT_EQ(link->Step(error), TlsStatus::Pending);
    raw.wire = Record('H');
    ASSERT_EQ(link->Step(error), TlsStatus::Done);
    raw.sent.clear();
    raw.notices.clear();
  }

  // Everything the core can read now, in reads of at most piece bytes; the
  // last Recv's result in last.
  Bytes ReadAll(int piece, int& last) {
    Bytes got;
    std::vector<char> buf(static_cast<size_t>(piece));
    while ((last = link->Recv(buf.data(), piece)) > 0) got.append(buf.data(), last);
    return got;
  }

  StreamState st;
  FakeRaw raw;
  FakeSession* session = nullptr;
  std::unique_ptr<Link> link;
};

TEST_F(TlsLinkTest, HandshakeAnnouncesTheDataThatCameWithItsEnd) {
  TlsError error;
  EXPECT_EQ(link->Step(error), TlsStatus::Pending);
  EXPECT_EQ(Parse(raw.sent).types, "H");  // the hello went out at once
  EXPECT_EQ(link->Step(error), TlsStatus::Pending);
  EXPECT_TRUE(raw.notices.empty());
  EXPECT_FALSE(link->PeerHasClosed());

  raw.wire = Record('H') + Record('D', "220 ready\r\n");
  EXPECT_EQ(link->Step(error), TlsStatus::Done);
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdRead, 0}}));
  EXPECT_EQ(link->Available(), 11u);
  EXPECT_EQ(link->Step(error), TlsStatus::Done);
  EXPECT_TRUE(raw.notices.empty());
}

TEST_F(TlsLinkTest, HandshakeEndedByThePeerOrRefusedFails) {
  struct Case {
    const char* name;
    Bytes wire;
    bool ended;
    int failure;
    TlsFailure expected;
    const char* reason;
  } cases[] = {
      {"peer's end", Bytes(), true, 0, TlsFailure::PeerClosed, ""},
      {"reset", Bytes(), false, 104, TlsFailure::PeerClosed, "error 104"},
      {"refused", Record('X'), false, 0, TlsFailure::Handshake, "not a hello"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    TlsError error;
    EXPECT_EQ(link->Step(error), TlsStatus::Pending);
    raw.wire = c.wire;
    raw.ended = c.ended;
    raw.failure = c.failure;
    EXPECT_EQ(link->Step(error), TlsStatus::Failed);
    EXPECT_EQ(error.failure, c.expected);
    EXPECT_EQ(error.reason, c.reason);
    // Nothing is announced for it; it is only fit to be closed.
    EXPECT_TRUE(raw.notices.empty());
    EXPECT_TRUE(link->PeerHasClosed());
    char buf[8];
    EXPECT_EQ(link->Recv(buf, sizeof buf), -1);
    EXPECT_EQ(raw.lastError, kWords.notConnected);
    EXPECT_EQ(link->Send("x", 1), -1);
    EXPECT_EQ(raw.lastError, c.failure != 0 ? c.failure : kWords.notConnected);
  }
}

TEST_F(TlsLinkTest, ShortSendsKeepEveryByteInOrderAndOweOneWriteNotice) {
  Establish();
  const Bytes alphabet = "abcdefghijklmnopqrstuvwxyz";
  raw.room = 10;
  EXPECT_EQ(link->Send(alphabet.data(), static_cast<int>(alphabet.size())), 26);
  EXPECT_EQ(raw.sent.size(), 10u);
  // Until the earlier bytes are out, nothing more is taken.
  EXPECT_EQ(link->Send("more", 4), -1);
  EXPECT_EQ(raw.lastError, kWords.wouldBlock);
  raw.room = 5;
  link->OnRoom();
  EXPECT_TRUE(raw.notices.empty());  // not all out yet
  raw.room = static_cast<size_t>(-1);
  link->OnRoom();
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdWrite, 0}}));
  link->OnRoom();
  EXPECT_TRUE(raw.notices.empty());
  EXPECT_EQ(link->Send("more", 4), 4);
  EXPECT_EQ(Parse(raw.sent).data, alphabet + "more");

  // One Send takes one chunk at the most.
  const Bytes big(40000, 'z');
  EXPECT_EQ(link->Send(big.data(), static_cast<int>(big.size())), static_cast<int>(kChunk));
  EXPECT_EQ(link->Send(big.data(), 0), 0);
}

TEST_F(TlsLinkTest, SocketFailureOnSendIsKeptAndEndsTheStream) {
  Establish();
  raw.sendFailure = 32;
  EXPECT_EQ(link->Send("ping\r\n", 6), -1);
  EXPECT_EQ(raw.lastError, 32);
  raw.lastError = 0;
  EXPECT_EQ(link->Send("ping\r\n", 6), -1);
  EXPECT_EQ(raw.lastError, 32);
  EXPECT_TRUE(link->PeerHasClosed());
  char buf[8];
  EXPECT_EQ(link->Recv(buf, sizeof buf), -1);
  EXPECT_EQ(raw.lastError, 32);
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdClose, 32}}));
}

TEST_F(TlsLinkTest, ReadNoticesFollowTheReenablingRules) {
  Establish();
  char buf[16];
  EXPECT_EQ(link->Recv(buf, sizeof buf), -1);
  EXPECT_EQ(raw.lastError, kWords.wouldBlock);
  EXPECT_EQ(link->Available(), 0u);
  EXPECT_TRUE(raw.notices.empty());  // a record without data announces nothing

  raw.wire = Record('D', "abc") + Record('D', "def");
  link->Pull(false);
  link->Announce();
  link->Announce();
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdRead, 0}}));
  // Bytes left after a recv are announced again at once.
  EXPECT_EQ(link->Recv(buf, 2), 2);
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdRead, 0}}));
  EXPECT_EQ(link->Recv(buf, sizeof buf), 4);
  EXPECT_EQ(Bytes(buf, 4), "cdef");
  EXPECT_TRUE(raw.notices.empty());
  EXPECT_FALSE(link->PeerHasClosed());
}

// The core asks whether the peer has closed just before it waits for a read
// notification. Records that come in that moment are taken from the socket by
// the question; unless they are announced then, nothing ever tells of them
// and the wait lasts for ever.
TEST_F(TlsLinkTest, RecordsTakenByTheCloseCheckAreAnnounced) {
  Establish();
  char buf[16];
  EXPECT_EQ(link->Recv(buf, sizeof buf), -1);
  EXPECT_EQ(link->Available(), 0u);
  EXPECT_TRUE(raw.notices.empty());

  raw.wire = Record('D', "gnip\n");
  EXPECT_FALSE(link->PeerHasClosed());
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdRead, 0}}));
  EXPECT_EQ(link->Recv(buf, sizeof buf), 5);
  EXPECT_EQ(Bytes(buf, 5), "gnip\n");

  // The peer's end found by the question is announced too, once.
  raw.ended = true;
  EXPECT_TRUE(link->PeerHasClosed());
  EXPECT_TRUE(link->PeerHasClosed());
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdClose, 0}}));
}

TEST_F(TlsLinkTest, PeerEndWithTheLastRecordsComesAfterThem) {
  struct Case {
    const char* name;
    Bytes tail;
    bool socketEnds;
    int failure;
    int closeError;    // of the notice
    int lastRecv;      // the Recv after the data
    TlsFailure fault;  // what Fault tells at the end (None: the orderly end)
    const char* reason;
  } cases[] = {
      {"close alert, socket open", Record('A'), false, 0, 0, 0, TlsFailure::None, ""},
      {"close alert and socket end", Record('A'), true, 0, 0, 0, TlsFailure::None, ""},
      {"socket end without the alert", Bytes(), true, 0, 0, 0, TlsFailure::Truncated, ""},
      {"broken record", Record('?', "junk"), false, 0, kWords.reset, -1, TlsFailure::Broken,
       "bad record"},
      {"reset", Bytes(), false, 104, 104, -1, TlsFailure::Truncated, "error 104"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    Establish();

    raw.wire = Record('D', "250 bye\r\n") + c.tail;
    raw.ended = c.socketEnds;
    raw.failure = c.failure;
    link->Pull(true);
    link->Announce();
    EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdRead, 0}, {kFdClose, c.closeError}}));
    EXPECT_FALSE(link->PeerHasClosed());  // the data is still to be read
    int last = 0;
    EXPECT_EQ(ReadAll(64, last), "250 bye\r\n");
    EXPECT_EQ(last, c.lastRecv);
    if (last < 0) {
      EXPECT_EQ(raw.lastError, c.closeError);
    }
    EXPECT_TRUE(link->PeerHasClosed());
    link->Announce();
    EXPECT_TRUE(raw.notices.empty());  // the close comes once
    TlsError fault;
    EXPECT_EQ(link->Fault(fault), c.fault != TlsFailure::None);
    EXPECT_EQ(fault.failure, c.fault);
    EXPECT_EQ(fault.reason, c.reason);
  }
}

TEST_F(TlsLinkTest, FaultIsNoneWhileOpenAndSeesTheAlertBehindHeldRecords) {
  Establish();
  TlsError fault;
  raw.wire = Record('D', "partial");
  link->Pull(false);
  EXPECT_FALSE(link->Fault(fault));  // nothing has ended yet
  // At the limit the close alert waits undecrypted behind the data; the
  // socket's end after it is still the orderly end.
  Bytes stream;
  raw.wire = DataRecords(70, stream) + Record('A');
  raw.ended = true;
  link->Pull(true);
  EXPECT_EQ(session->InputState(), Session::Input::Open);
  EXPECT_GT(session->Held(), 0u);
  EXPECT_FALSE(link->Fault(fault));
  EXPECT_EQ(fault.failure, TlsFailure::None);
}

TEST_F(TlsLinkTest, PlaintextLimitLeavesTheRestInTheSocket) {
  Establish();
  Bytes stream;
  raw.wire = DataRecords(200, stream);
  link->Pull(false);
  EXPECT_GE(session->PlainSize(), kPlainLimit);
  EXPECT_LT(session->PlainSize(), kPlainLimit + kChunk);
  EXPECT_GT(raw.wire.size(), 100000u);  // not read from the socket
  link->Pull(false);
  EXPECT_GT(raw.wire.size(), 100000u);
  // The peer's end takes everything in, whatever is held.
  raw.ended = true;
  link->Pull(true);
  EXPECT_TRUE(raw.wire.empty());

  int last = 0;
  const Bytes got = ReadAll(4096, last);
  EXPECT_EQ(got.size(), stream.size());
  EXPECT_TRUE(got == stream);
  EXPECT_EQ(last, 0);
}

TEST_F(TlsLinkTest, RecordsHeldAtTheLimitAreDeliveredWithoutMoreFromTheSocket) {
  Establish();
  // The last chunk read crosses the limit: its later records and the close
  // alert stay with the session, and the socket has nothing more to tell.
  Bytes stream;
  raw.wire = DataRecords(70, stream) + Record('A');
  link->Pull(false);
  link->Announce();
  EXPECT_TRUE(raw.wire.empty());
  EXPECT_GT(session->Held(), 0u);
  EXPECT_EQ(raw.TakeNotices(), (Notices{{kFdRead, 0}}));

  int last = 0;
  const Bytes got = ReadAll(4096, last);
  EXPECT_EQ(got.size(), stream.size());
  EXPECT_TRUE(got == stream);
  EXPECT_EQ(last, 0);
  // The close alert was found by a recv: nothing else would announce it.
  const Notices notices = raw.TakeNotices();
  ASSERT_FALSE(notices.empty());
  EXPECT_EQ(notices.back(), (std::pair<long, int>{kFdClose, 0}));
  EXPECT_TRUE(link->PeerHasClosed());
}

TEST_F(TlsLinkTest, FinishSendsTheCloseAlertAfterEverySentByte) {
  Establish();
  raw.room = 0;
  const Bytes reply = "QUIT\r\n";
  EXPECT_EQ(link->Send(reply.data(), static_cast<int>(reply.size())), 6);
  EXPECT_TRUE(raw.sent.empty());
  raw.onAwait = [this](int ms) {
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, kCloseFlushMs);
    raw.room = 4;  // a few bytes each time the socket has room
  };
  link->Finish();
  const Records out = Parse(raw.sent);
  EXPECT_EQ(out.types, "DA");
  EXPECT_EQ(out.data, reply);
  EXPECT_GT(raw.awaits, 1);
  EXPECT_EQ(session->OutgoingSize(), 0u);
}

TEST_F(TlsLinkTest, FinishGivesUpOnAPeerThatTakesNothing) {
  Establish();
  raw.room = 0;
  const auto start = std::chrono::steady_clock::now();
  link->Finish();
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(spent.count(), kCloseFlushMs - 50);
  EXPECT_LT(spent.count(), kCloseFlushMs + 2000);
  EXPECT_GE(raw.awaits, 1);
  EXPECT_TRUE(raw.sent.empty());

  // A socket that fails ends the wait at once.
  raw.sendFailure = 32;
  raw.awaits = 0;
  link->Finish();
  EXPECT_EQ(raw.awaits, 0);
}

TEST(TlsSession, BuffersKeepTheirBytesAcrossPartialTakes) {
  FakeSession s;
  TlsError error;
  s.Handshake(error);
  s.TakeOutgoing(s.OutgoingSize());
  const Bytes hello = Record('H');
  s.PutIncoming(hello.data(), hello.size());
  ASSERT_EQ(s.Handshake(error), TlsStatus::Done);

  // Outgoing: written in pieces, taken seven bytes at a time in between.
  Bytes expected, taken;
  for (int i = 0; i < 300; ++i) {
    const Bytes piece(static_cast<size_t>(1 + i % 13), static_cast<char>('0' + i % 10));
    s.Write(piece.data(), piece.size());
    expected += Record('D', piece);
    const size_t n = std::min<size_t>(7, s.OutgoingSize());
    taken.append(s.OutgoingData(), n);
    s.TakeOutgoing(n);
  }
  taken.append(s.OutgoingData(), s.OutgoingSize());
  s.TakeOutgoing(s.OutgoingSize());
  EXPECT_EQ(s.OutgoingSize(), 0u);
  EXPECT_TRUE(taken == expected);

  // Plaintext: a reader that always leaves a rest.
  Bytes stream, got;
  char buf[5];
  for (int i = 0; i < 300; ++i) {
    const Bytes piece(static_cast<size_t>(3 + i % 11), static_cast<char>('a' + i % 26));
    stream += piece;
    const Bytes r = Record('D', piece);
    s.PutIncoming(r.data(), r.size());
    s.Decrypt(kPlainLimit);
    if (s.PlainSize() > 2)
      got.append(buf, s.TakePlain(buf, std::min<size_t>(5, s.PlainSize() - 2)));
  }
  while (size_t n = s.TakePlain(buf, sizeof buf)) got.append(buf, n);
  EXPECT_EQ(s.PlainSize(), 0u);
  EXPECT_TRUE(got == stream);
  EXPECT_EQ(s.TakePlain(buf, sizeof buf), 0u);
}

}  // namespace
}  // namespace tv::tlslink
