// The headless message queue: posted messages, timers, blocking without
// spinning, wake-ups from helper threads.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "posix/queue.h"

namespace tv::posix {
namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Timings here are only ever lower bounds, taken from a moment before the
// timer is set or the other thread is started, and upper bounds are ones that
// no slow machine reaches: a loaded machine makes waits longer, never shorter.

// A client that watches one pipe and posts a message when it is readable.
class PipeClient : public PollClient {
 public:
  explicit PipeClient(PosixQueue& q) : queue(q) {
    EXPECT_EQ(pipe(fds), 0);
    q.AddClient(this);
  }
  ~PipeClient() override {
    close(fds[0]);
    close(fds[1]);
  }
  bool Collect(std::vector<pollfd>& out) override {
    ++collects;
    if (watching) out.push_back(pollfd{fds[0], POLLIN, 0});
    return wantWake;
  }
  void Deliver(const pollfd* p, size_t n) override {
    ++deliveries;
    if (n == 1 && (p[0].revents & POLLIN)) {
      char c;
      if (read(fds[0], &c, 1) == 1) queue.PostToMain(kWmUser + 50, static_cast<uintptr_t>(c), 0);
    }
    if (onDeliver) onDeliver();
  }
  PosixQueue& queue;
  int fds[2];
  bool watching = true;
  bool wantWake = false;
  int deliveries = 0;
  int collects = 0;  // one a pass of the loop
  std::function<void()> onDeliver;
};

TEST(PosixQueue, PostedMessagesComeOutInOrderThroughGrowthAndRemoval) {
  PosixQueue q;
  std::vector<uintptr_t> seen;
  q.SetDispatch([&](const Msg& m) { seen.push_back(m.wParam); });
  // More than the initial ring holds, with the head moved first.
  q.PostToMain(kWmUser, 999, 0);
  ASSERT_TRUE(q.DispatchOne());
  seen.clear();
  for (uintptr_t i = 0; i < 200; ++i) q.PostToMain(i % 3 == 0 ? kWmUser + 1 : kWmUser, i, 0);
  Msg removed;
  ASSERT_TRUE(q.RemoveForMain(kWmUser + 1, removed));
  EXPECT_EQ(removed.wParam, 0u);
  ASSERT_TRUE(q.RemoveForMain(0x10000 | (kWmUser + 1), removed)) << "ids compare as 16 bits";
  EXPECT_EQ(removed.wParam, 3u);
  while (q.Pending() > 0) ASSERT_TRUE(q.DispatchOne());
  ASSERT_EQ(seen.size(), 198u);
  EXPECT_EQ(seen[0], 1u);
  EXPECT_EQ(seen[1], 2u);
  EXPECT_EQ(seen[2], 4u);
  EXPECT_EQ(seen.back(), 199u);
  EXPECT_FALSE(q.RemoveForMain(kWmUser + 7, removed));
}

TEST(PosixQueue, QuitStopsDispatchAndIsNotHandedOn) {
  PosixQueue q;
  int dispatched = 0;
  q.SetDispatch([&](const Msg&) { ++dispatched; });
  q.PostToMain(kWmUser, 0, 0);
  q.PostQuit(3);
  q.PostToMain(kWmUser, 0, 0);
  EXPECT_TRUE(q.DispatchOne());
  Msg first;
  ASSERT_TRUE(q.Peek(first));
  EXPECT_EQ(first.id, kWmQuit);
  EXPECT_EQ(first.wParam, 3u);
  EXPECT_FALSE(q.DispatchOne());
  EXPECT_EQ(dispatched, 1);
  EXPECT_EQ(q.Pending(), 1u);
}

TEST(PosixQueue, TimerRepeatsUntilKilledWithOneTickQueuedAtATime) {
  PosixQueue q;
  auto start = Clock::now();
  q.SetTimer(11, 20);
  q.WaitForMessage();
  EXPECT_GE(MsSince(start), 20);
  Msg m;
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.id, kWmTimer);
  EXPECT_EQ(m.wParam, 11u);
  // Left in the queue, later periods add no second tick for the same timer.
  std::this_thread::sleep_for(std::chrono::milliseconds(70));
  q.PostToMain(kWmUser, 0, 0);  // the queue is not empty: Peek takes nothing new
  q.SetDispatch([](const Msg&) {});
  ASSERT_TRUE(q.DispatchOne());  // the tick
  ASSERT_TRUE(q.DispatchOne());  // the posted message
  ASSERT_TRUE(q.Peek(m)) << "the timer is still due, so the empty queue produces a tick";
  EXPECT_EQ(m.id, kWmTimer);
  EXPECT_EQ(q.Pending(), 1u);
  // The timer goes on after its tick has been taken.
  Msg removed;
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  q.WaitForMessage();
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  // Killing it removes a tick still waiting and ends the ticks.
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  q.PostToMain(kWmUser, 5, 0);
  q.SetTimer(12, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  ASSERT_TRUE(q.DispatchOne());
  ASSERT_TRUE(q.Peek(m));  // ticks of both timers are produced now
  q.KillTimer(11);
  q.KillTimer(12);
  while (q.Pending() > 0) {
    ASSERT_TRUE(q.Peek(m));
    EXPECT_NE(m.id, kWmTimer);
    ASSERT_TRUE(q.DispatchOne());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(q.Peek(m));
}

TEST(PosixQueue, WaitingForATimerBlocksWithoutSpinning) {
  PosixQueue q;
  PipeClient idle(q);  // a watched descriptor that stays quiet
  double cpu = ThreadCpuSeconds();
  auto start = Clock::now();
  q.SetTimer(11, 2000);
  q.WaitForMessage();
  long long waited = MsSince(start);
  cpu = ThreadCpuSeconds() - cpu;
  EXPECT_GE(waited, 2000);
  EXPECT_LT(waited, 20000) << "the poll's time-out overshoots the timer";
  EXPECT_EQ(idle.collects, 1) << "one poll, until the timer is due";
  EXPECT_LT(cpu, 0.05) << "the wait must sleep in poll(), not spin";
  Msg m;
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.id, kWmTimer);
}

TEST(PosixQueue, ReadinessBecomesMessagesOnPeekAndWakesAWait) {
  PosixQueue q;
  PipeClient client(q);
  Msg m;
  EXPECT_FALSE(q.Peek(m));
  ASSERT_EQ(write(client.fds[1], "a", 1), 1);
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.id, kWmUser + 50);
  EXPECT_EQ(m.wParam, static_cast<uintptr_t>('a'));
  q.SetDispatch([](const Msg&) {});
  ASSERT_TRUE(q.DispatchOne());

  auto start = Clock::now();
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(write(client.fds[1], "b", 1), 1);
  });
  q.WaitForMessage();
  writer.join();
  EXPECT_GE(MsSince(start), 100);
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.wParam, static_cast<uintptr_t>('b'));
}

TEST(PosixQueue, HelperThreadWakesTheLoop) {
  PosixQueue q;
  PipeClient client(q);
  client.watching = false;
  client.wantWake = true;
  // The client posts nothing on the first wake-up, so the wait goes on; it
  // posts on the second, which the helper sends only once the first has been
  // delivered. Only a lost wake-up lets the guard timer end the wait.
  std::promise<void> firstDelivered;
  std::future<void> first = firstDelivered.get_future();
  client.onDeliver = [&] {
    if (client.deliveries == 1) firstDelivered.set_value();
    if (client.deliveries == 2) q.PostToMain(kWmUser + 51, 0, 0);
  };
  q.SetTimer(11, 60000);
  auto waker = q.waker();
  std::thread helper([waker, &first] {
    waker->Wake();
    first.wait();
    waker->Wake();
  });
  q.WaitForMessage();
  helper.join();
  EXPECT_EQ(client.deliveries, 2)
      << "each wake-up reached the client, and the first did not end the wait";
  EXPECT_EQ(q.Pending(), 1u);
  Msg m;
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.id, kWmUser + 51);
}

TEST(PosixQueue, AWaitWithNothingThatCouldComeAsksToClose) {
  PosixQueue q;
  int notes = 0;
  q.SetStallNote([&] { ++notes; });
  q.WaitForMessage();
  EXPECT_TRUE(q.NothingCouldCome());
  EXPECT_EQ(notes, 1);
  Msg m;
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.id, kWmSysCommand);
  EXPECT_EQ(m.wParam, kScClose);
}

TEST(PosixQueue, ClickedMarksAreKeptUntilTaken) {
  PosixQueue q;
  uintptr_t a = q.StoreClickedMark("A");
  uintptr_t b = q.StoreClickedMark("B b");
  EXPECT_NE(a, b);
  EXPECT_EQ(q.TakeClickedMark(b), "B b");
  uintptr_t c = q.StoreClickedMark("C");
  EXPECT_EQ(q.TakeClickedMark(a), "A");
  EXPECT_EQ(q.TakeClickedMark(c), "C");
  EXPECT_EQ(q.TakeClickedMark(12345), "");
}

}  // namespace
}  // namespace tv::posix
