// The receiving path over a scripted socket. The input is a program of peer
// events (bytes arriving with or without a notification, a close, a reset, a
// stray notification, the operator's interruption) and reads (ReadUntil,
// ReadBlock, ReportUnreadData). The peer's events happen one per virtual
// millisecond while the reads wait for them.
//
// What is checked after every read: the receive buffer holds exactly the
// bytes received and not yet consumed; the capture file holds every byte
// received once, in order (what was consumed and the front of the buffer that
// a report of unread data wrote); a read that succeeded consumed a piece from
// the front and logged it escaped; lines come without CR and LF. A pattern (op 9 with its
// high bit) is then searched in every line read, as WaitFor Matching does:
// with and without the literal test before the matcher, with and without the
// groups, always with the same result, and each group a piece of the line.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.h"
#include "engine/pattern.h"
#include "shell/escape.h"
#include "net/receive.h"
#include "support/fake_sockets.h"

namespace {

using tv::Bytes;

// The bytes recv() hands to the core, in order.
class RecordingSockets : public tv::test::ScriptedSockets {
 public:
  using ScriptedSockets::ScriptedSockets;
  Bytes received;
  int Recv(tv::Socket s, char* buf, int len) override {
    const int n = ScriptedSockets::Recv(s, buf, len);
    FUZZ_CHECK(n <= len);
    if (n > 0) received.append(buf, static_cast<size_t>(n));
    return n;
  }
};

class MemFile : public tv::OutFile {
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

struct Host {
  tv::test::FakeQueue queue;
  RecordingSockets sockets{queue};
  tv::test::FakeWindow window;
  tv::test::FakeProfile profile;
  tv::test::FakeFiles files;
  tv::ScriptContext ctx{tv::Host{queue, sockets, window, profile, files}};
};

struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool More() const { return p < end; }
  uint8_t Next() { return p < end ? *p++ : 0; }
};

struct Read {
  int kind;  // 0 line, 1 block, 2 report
  int arg;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Host h;
  h.queue.dispatch = [&h](const tv::Msg& m) { tv::DispatchMainWindowMessage(h.ctx, m); };
  h.ctx.log.Open(h.files, "test.log");
  h.ctx.running = true;
  h.sockets.OpenConnection(h.ctx);
  const tv::Socket live = h.sockets.live;
  Bytes capture;
  h.ctx.capture = std::make_unique<MemFile>(&capture);

  std::vector<Read> reads;
  tv::Pattern pattern;
  long long t = 1;
  Reader in{data, data + size};
  while (in.More()) {
    const uint8_t op = in.Next();
    switch (op % 10) {
      case 0:
      case 1: {
        const size_t len = in.Next() % 200;
        Bytes bytes;
        while (bytes.size() < len && in.More()) bytes.push_back(static_cast<char>(in.Next()));
        // A large arrival now and then, to fill the buffer.
        if (op & 0x80)
          bytes = Bytes(static_cast<size_t>(op & 0x3F) * 100, bytes.empty() ? 'x' : bytes[0]);
        h.sockets.Arrive(t++, bytes, op % 10 == 0);
        break;
      }
      case 2:
      case 3:
        h.sockets.PeerCloses(t++, op % 10 == 2);
        break;
      case 4:
        h.sockets.PeerResets(t++, (op & 0x10) != 0);
        break;
      case 5:
        h.sockets.Notify(t++, in.Next() & 0x3F, (op & 0x10) ? tv::test::kWsaeConnReset : 0);
        break;
      case 6:
        h.queue.At(t++, [&h] { h.queue.PostToMain(tv::kWmCommand, tv::kIdRunButton, 0); });
        break;
      case 7:
        reads.push_back({0, in.Next()});
        break;
      case 8: {
        const int hi = in.Next();
        reads.push_back({1, (hi << 8 | in.Next()) % 4200});
        break;
      }
      default:
        if (op & 0x80) {
          const size_t len = in.Next() % 64;
          Bytes text;
          while (text.size() < len && in.More()) text.push_back(static_cast<char>(in.Next()));
          Bytes reason;
          if (!pattern.Compile(text, reason)) FUZZ_CHECK(!reason.empty());
          break;
        }
        reads.push_back({2, 0});
        break;
    }
  }

  size_t consumed = 0;  // bytes of h.sockets.received handed on
  for (const Read& r : reads) {
    const size_t logBefore = h.files.files["test.log"].size();
    bool ok = false;
    if (!h.ctx.connection) break;
    if (r.kind == 0) {
      ok = tv::ReadUntil(h.ctx, static_cast<char>(r.arg));
    } else if (r.kind == 1) {
      ok = tv::ReadBlock(h.ctx, r.arg);
    } else {
      tv::ReportUnreadData(h.ctx);
    }
    FUZZ_CHECK(h.ctx.fillCount >= 0 && h.ctx.fillCount <= tv::kReceiveBufferSize);
    FUZZ_CHECK(h.ctx.capturedCount >= 0 && h.ctx.capturedCount <= h.ctx.fillCount);
    // The buffer holds exactly what was received and not consumed.
    const size_t fill = static_cast<size_t>(h.ctx.fillCount);
    FUZZ_CHECK(h.sockets.received.size() >= consumed + fill);
    const size_t taken = h.sockets.received.size() - fill - consumed;
    FUZZ_CHECK(
        h.sockets.received.compare(consumed + taken, Bytes::npos, h.ctx.receiveBuffer, fill) == 0);
    const Bytes piece = h.sockets.received.substr(consumed, taken);
    if (ok) {
      consumed += taken;
      if (r.kind == 0) {
        FUZZ_CHECK(!piece.empty() && piece.back() == static_cast<char>(r.arg));
        Bytes kept;
        for (size_t i = 0; i + 1 < piece.size(); ++i) {
          if (piece[i] != '\r' && piece[i] != '\n') kept.push_back(piece[i]);
        }
        FUZZ_CHECK(h.ctx.lastLine == kept);
        if (pattern.Compiled()) {
          const Bytes& line = h.ctx.lastLine;
          std::vector<tv::Pattern::Group> groups;
          const bool found = pattern.Search(line.data(), line.size());
          FUZZ_CHECK(pattern.SearchWithoutPrefilter(line.data(), line.size()) == found);
          FUZZ_CHECK(pattern.Search(line.data(), line.size(), groups) == found);
          FUZZ_CHECK(groups.size() == (found ? pattern.GroupCount() + 1 : 0));
          for (const tv::Pattern::Group& g : groups) {
            FUZZ_CHECK(g.matched ? line.find(g.text) != Bytes::npos : g.text.empty());
          }
        }
      } else {
        FUZZ_CHECK(piece.size() == static_cast<size_t>(r.arg) && h.ctx.lastLine == piece);
      }
      FUZZ_CHECK(h.ctx.lastLine == h.ctx.scratch);
      std::string escaped;
      tv::EscapeForLog(escaped, piece.data(), piece.size());
      Bytes crlf;
      for (char c : escaped + "\n") {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
      }
      const Bytes& log = h.files.files["test.log"];
      FUZZ_CHECK(log.size() >= logBefore + crlf.size());
      FUZZ_CHECK(log.compare(log.size() - crlf.size(), crlf.size(), crlf) == 0);
    } else {
      // A failed read or a report consumes nothing.
      FUZZ_CHECK(taken == 0);
    }
    // Every byte reaches the capture file once and in order: the file is the
    // consumed bytes and the buffer's captured front.
    FUZZ_CHECK(capture.size() == consumed + static_cast<size_t>(h.ctx.capturedCount));
    FUZZ_CHECK(h.sockets.received.compare(0, capture.size(), capture) == 0);
    if (r.kind == 2) FUZZ_CHECK(h.ctx.capturedCount == h.ctx.fillCount);
    if (!h.ctx.running) break;
  }
  (void)live;
  return 0;
}
