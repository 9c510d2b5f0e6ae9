#include "record/relay.h"

namespace tv::record {

namespace {

// What one direction holds on its way: bounded, so that a fast sender waits
// for a slow receiver instead of filling the memory.
constexpr size_t kBufferMost = 256 * 1024;
constexpr size_t kReadSize = 64 * 1024;

int Index(Side side) {
  return static_cast<int>(side);
}
Side Other(Side side) {
  return side == Side::Client ? Side::Server : Side::Client;
}

struct Direction {
  Side from = Side::Client;  // it goes to the other side
  std::string buffer;
  size_t sent = 0;
  bool ended = false;     // the sender closed
  bool passedOn = false;  // its close went on to the receiver
  size_t Pending() const { return buffer.size() - sent; }
};

}  // namespace

RelayEnd Pass(Links& links, Recording& recording, RelayReport& report, std::string& detail,
              std::chrono::steady_clock::time_point start) {
  auto now = [&start] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
  };
  Direction ways[2];  // by the side they come from
  ways[0].from = Side::Client;
  ways[1].from = Side::Server;
  std::string chunk(kReadSize, '\0');
  bool reset = false;
  Side resetSide = Side::Client;
  auto resetBy = [&](Side side) {
    reset = true;
    resetSide = side;
  };
  while (!reset && !(ways[0].passedOn && ways[1].passedOn)) {
    Links::Want want[2];
    for (Direction& d : ways) {
      const Direction& back = ways[Index(Other(d.from))];
      Links::Want& src = want[Index(d.from)];
      if (!d.ended && d.Pending() < kBufferMost) src.read = true;
      // Once both halves of a link are closed its hang-up is no reset.
      if (d.ended && !back.passedOn) src.reset = true;
      if (d.Pending() > 0) want[Index(Other(d.from))].write = true;
    }
    Links::Ready ready[2];
    if (!links.Wait(want, ready, detail)) return RelayEnd::Failed;
    for (Direction& d : ways) {
      if (reset) break;
      const Links::Ready& src = ready[Index(d.from)];
      if (d.ended) {
        if (src.reset) resetBy(d.from);
        continue;
      }
      if (!src.read) continue;
      size_t got = 0;
      switch (links.Receive(d.from, &chunk[0], chunk.size(), got, detail)) {
        case Links::Io::Moved:
          recording.Data(d.from, now(), chunk.data(), got);
          d.buffer.append(chunk.data(), got);
          break;
        case Links::Io::Closed:
          d.ended = true;
          recording.Close(d.from, now(), false);
          break;
        case Links::Io::Reset:
          resetBy(d.from);
          break;
        case Links::Io::Later:
          break;
        case Links::Io::Failed:
          return RelayEnd::Failed;
      }
    }
    for (Direction& d : ways) {
      if (reset) break;
      const Side to = Other(d.from);
      while (d.Pending() > 0) {
        size_t put = 0;
        const Links::Io io = links.Send(to, d.buffer.data() + d.sent, d.Pending(), put);
        if (io == Links::Io::Moved) {
          d.sent += put;
          continue;
        }
        if (io == Links::Io::Reset) resetBy(to);
        break;
      }
      if (d.Pending() == 0 || d.sent >= kBufferMost) {  // what went out is dropped
        d.buffer.erase(0, d.sent);
        d.sent = 0;
      }
      if (!reset && d.ended && d.Pending() == 0 && !d.passedOn) {
        links.EndSending(to);
        d.passedOn = true;
      }
    }
  }
  if (reset) {
    recording.Close(resetSide, now(), true);
    report.Reset(resetSide);
    // The other side gets a reset too, after what the resetting side had
    // sent and it could still take.
    const Side other = Other(resetSide);
    Direction& toOther = ways[Index(resetSide)];
    size_t put = 0;
    if (toOther.Pending() > 0)
      (void)links.Send(other, toOther.buffer.data() + toOther.sent, toOther.Pending(), put);
    links.Reset(other);
  }
  return RelayEnd::Done;
}

}  // namespace tv::record
