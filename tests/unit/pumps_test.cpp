#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace tv::test {
namespace {

// A fake queue that counts its peeks and gives up with a quit when a loop
// keeps peeking without ever blocking.
class CountingQueue : public FakeQueue {
 public:
  int peeks = 0;
  bool Peek(Msg& first) override {
    if (++peeks > 1000) PostQuit(99);
    return FakeQueue::Peek(first);
  }
};

struct PumpHost {
  CountingQueue queue;
  FakeSockets sockets;
  FakeWindow window;
  FakeProfile profile;
  FakeFiles files;
  ScriptContext ctx{Host{queue, sockets, window, profile, files}};
  std::vector<uint32_t> dispatched;

  PumpHost() {
    queue.dispatch = [this](const Msg& m) { dispatched.push_back(m.id); };
    ctx.running = true;
  }
};

bool FirstIs(FakeQueue& q, uint32_t id) {
  Msg m;
  return q.Peek(m) && m.id == id;
}

TEST(Pumps, PumpDispatchesUntilEmpty) {
  PumpHost h;
  EXPECT_TRUE(h.ctx.PumpWindowMessages());
  h.queue.PostToMain(WM_SOCKET_EVENT, 0, 0);
  h.queue.PostToMain(kWmSysCommand, 0xF020, 0);  // minimise: not a close
  EXPECT_TRUE(h.ctx.PumpWindowMessages());
  EXPECT_EQ(h.dispatched, (std::vector<uint32_t>{WM_SOCKET_EVENT, kWmSysCommand}));
  EXPECT_TRUE(h.ctx.running);

  h.ctx.running = false;
  h.queue.PostToMain(WM_SOCKET_EVENT, 0, 0);
  EXPECT_FALSE(h.ctx.PumpWindowMessages());
  EXPECT_EQ(h.queue.Pending(), 1u);  // nothing dispatched while stopped
}

TEST(Pumps, PumpStopsOnCloseDestroyAndQuit) {
  for (uint32_t id : {kWmSysCommand, kWmDestroy}) {
    PumpHost h;
    h.queue.PostToMain(id, id == kWmSysCommand ? kScClose : 0, 0);
    h.queue.PostToMain(WM_SOCKET_EVENT, 0, 0);
    EXPECT_FALSE(h.ctx.PumpWindowMessages());
    EXPECT_FALSE(h.ctx.running);
    // The stopping message is still dispatched; the one behind it is not.
    EXPECT_EQ(h.dispatched, (std::vector<uint32_t>{id}));
    EXPECT_EQ(h.queue.Pending(), 1u);
  }
  PumpHost h;
  h.queue.PostQuit(0);
  EXPECT_FALSE(h.ctx.PumpWindowMessages());
  EXPECT_FALSE(h.ctx.running);
  // Taken off the queue by the pump, the quit is put back for the main loop.
  EXPECT_TRUE(FirstIs(h.queue, kWmQuit));
}

TEST(Pumps, WaitTakesTheAwaitedMessageAsSixteenBits) {
  PumpHost h;
  h.queue.PostToMain(WM_SOCKET_SETUP, 1, 2);
  h.queue.PostToMain(0x10000 + WM_SOCKET_EVENT, 7, -9);
  h.queue.PostToMain(kWmTimer, 3, 4);
  EXPECT_TRUE(h.ctx.WaitForWindowMessage(WM_SOCKET_EVENT));
  EXPECT_EQ(h.ctx.lastMessageWParam, 7u);
  EXPECT_EQ(h.ctx.lastMessageLParam, -9);
  // Removed, not dispatched; what stood before it was dispatched.
  EXPECT_EQ(h.dispatched, (std::vector<uint32_t>{WM_SOCKET_SETUP}));
  EXPECT_TRUE(FirstIs(h.queue, kWmTimer));
  EXPECT_EQ(h.queue.Pending(), 1u);
}

TEST(Pumps, WaitLeavesCloseDestroyAndQuitQueued) {
  const Msg stops[] = {
      {true, kWmSysCommand, kScClose, 0}, {true, kWmDestroy, 0, 0}, {true, kWmQuit, 0, 0}};
  for (const Msg& stop : stops) {
    PumpHost h;
    h.queue.PostToMain(WM_SOCKET_EVENT + 5, 0, 0);
    h.queue.PostToMain(stop.id, stop.wParam, 0);
    EXPECT_FALSE(h.ctx.WaitForWindowMessage(WM_SOCKET_EVENT));
    EXPECT_FALSE(h.ctx.running);
    EXPECT_TRUE(FirstIs(h.queue, stop.id));
    EXPECT_EQ(h.dispatched, (std::vector<uint32_t>{WM_SOCKET_EVENT + 5}));
  }
  PumpHost h;
  h.ctx.running = false;
  h.queue.PostToMain(WM_SOCKET_EVENT, 0, 0);
  EXPECT_FALSE(h.ctx.WaitForWindowMessage(WM_SOCKET_EVENT));
  EXPECT_EQ(h.queue.Pending(), 1u);  // the awaited message is not consumed
}

TEST(Pumps, WaitBlocksInsteadOfSpinning) {
  PumpHost h;
  h.queue.At(3600 * 1000, [&] { h.queue.PostToMain(WM_HOST_LOOKUP, 5, 0); });
  EXPECT_TRUE(h.ctx.WaitForWindowMessage(WM_HOST_LOOKUP));
  EXPECT_EQ(h.queue.now, 3600 * 1000);
  EXPECT_EQ(h.ctx.lastMessageWParam, 5u);
  EXPECT_LE(h.queue.peeks, 3);
}

TEST(Pumps, TimedStepSetsWaitsAndKillsTheTimer) {
  PumpHost h;
  EXPECT_TRUE(h.ctx.TimedStep(20));
  EXPECT_EQ(h.queue.now, 20);
  EXPECT_FALSE(h.queue.TimerRunning());

  // Interrupted while waiting: false, and the timer is killed all the same.
  h.queue.At(25, [&] { h.ctx.running = false; });
  h.queue.At(30, [&] { h.queue.PostToMain(WM_SCRIPT_WAKEUP, 0, 0); });
  EXPECT_FALSE(h.ctx.TimedStep(1000));
  EXPECT_FALSE(h.queue.TimerRunning());
  EXPECT_EQ(h.queue.timersSet.back(), (std::pair<long long, unsigned>{20, 1000}));
}

}  // namespace
}  // namespace tv::test
