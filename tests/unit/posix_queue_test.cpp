// The headless message queue: posted messages, timers, blocking without
// spinning, wake-ups from helper threads.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "posix/queue.h"

namespace tv::posix {
namespace {

using std::chrono::milliseconds;

// A clock that moves only when told to, or by a poll's time-out: a poll that
// finds nothing ready lets its whole time-out pass at once. A poll without a
// time-out blocks for real (only a descriptor can end it).
class ManualClock : public QueueClock {
 public:
  TimePoint Now() override { return now_; }
  int Poll(pollfd* fds, size_t count, int timeoutMs) override {
    timeouts.push_back(timeoutMs);
    fdCounts.push_back(count);
    int ready = poll(count > 0 ? fds : nullptr, static_cast<nfds_t>(count), 0);
    if (ready != 0) return ready;
    if (timeoutMs > 0) now_ += milliseconds(timeoutMs);
    if (timeoutMs >= 0) return 0;
    if (beforeBlocking) beforeBlocking();
    return poll(count > 0 ? fds : nullptr, static_cast<nfds_t>(count), -1);
  }
  template <typename Duration>
  void Advance(Duration d) {
    now_ += std::chrono::duration_cast<TimePoint::duration>(d);
  }
  // The time since the clock was made, in whole milliseconds.
  long long ElapsedMs() const {
    return std::chrono::duration_cast<milliseconds>(now_ - TimePoint()).count();
  }

  std::vector<int> timeouts;  // of every poll, in order
  std::vector<size_t> fdCounts;
  std::function<void()> beforeBlocking;

 private:
  TimePoint now_;
};

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
  ManualClock clock;
  PosixQueue q(clock);
  q.SetTimer(11, 20);
  q.WaitForMessage();
  EXPECT_EQ(clock.ElapsedMs(), 20);
  EXPECT_EQ(clock.timeouts, std::vector<int>{20}) << "one wait, as long as the period";
  Msg m;
  ASSERT_TRUE(q.Peek(m));
  EXPECT_EQ(m.id, kWmTimer);
  EXPECT_EQ(m.wParam, 11u);
  // Left in the queue, later periods add no second tick for the same timer.
  clock.Advance(milliseconds(70));
  q.PostToMain(kWmUser, 0, 0);  // the queue is not empty: Peek takes nothing new
  q.SetDispatch([](const Msg&) {});
  ASSERT_TRUE(q.DispatchOne());  // the tick
  ASSERT_TRUE(q.DispatchOne());  // the posted message
  ASSERT_TRUE(q.Peek(m)) << "the timer is still due, so the empty queue produces a tick";
  EXPECT_EQ(m.id, kWmTimer);
  EXPECT_EQ(q.Pending(), 1u);
  // The timer goes on after its tick has been taken, a period after the
  // tick was produced.
  Msg removed;
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  q.WaitForMessage();
  EXPECT_EQ(clock.ElapsedMs(), 110);
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  // Killing it removes a tick still waiting and ends the ticks.
  clock.Advance(milliseconds(25));
  q.PostToMain(kWmUser, 5, 0);
  q.SetTimer(12, 10);
  clock.Advance(milliseconds(15));
  ASSERT_TRUE(q.DispatchOne());
  ASSERT_TRUE(q.Peek(m));  // ticks of both timers are produced now
  EXPECT_EQ(q.Pending(), 2u);
  q.KillTimer(11);
  q.KillTimer(12);
  EXPECT_EQ(q.Pending(), 0u);
  clock.Advance(milliseconds(30));
  EXPECT_FALSE(q.Peek(m));
}

TEST(PosixQueue, TimersAreAtLeastTenMillisecondsAndResetWhenSetAgain) {
  ManualClock clock;
  PosixQueue q(clock);
  q.SetTimer(1, 0);
  q.WaitForMessage();
  EXPECT_EQ(clock.ElapsedMs(), 10);
  Msg removed;
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  // Setting a timer again starts its period anew from now.
  clock.Advance(milliseconds(8));
  q.SetTimer(1, 50);
  q.WaitForMessage();
  EXPECT_EQ(clock.ElapsedMs(), 68);
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  EXPECT_EQ(removed.wParam, 1u);
  // The nearest of several timers ends the wait.
  q.SetTimer(2, 30);
  q.WaitForMessage();
  EXPECT_EQ(clock.ElapsedMs(), 98);
  ASSERT_TRUE(q.RemoveForMain(kWmTimer, removed));
  EXPECT_EQ(removed.wParam, 2u);
  EXPECT_EQ(q.Pending(), 0u);
}

TEST(PosixQueue, WaitingForATimerIsOnePollThatEndsWhenItIsDue) {
  ManualClock clock;
  PosixQueue q(clock);
  PipeClient idle(q);  // a watched descriptor that stays quiet
  q.SetTimer(11, 2000);
  // A fraction of a millisecond has gone by: the time-out is rounded up, so
  // that the poll does not end before the timer is due and go round again.
  clock.Advance(std::chrono::microseconds(300));
  q.WaitForMessage();
  EXPECT_EQ(clock.timeouts, std::vector<int>{2000});
  EXPECT_EQ(clock.fdCounts, std::vector<size_t>{1}) << "the quiet pipe is watched meanwhile";
  EXPECT_EQ(idle.collects, 1) << "one poll, until the timer is due";
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

  // The write comes from another thread once the wait has gone to sleep in
  // a poll without a time-out.
  ManualClock clock;
  PosixQueue blocking(clock);
  PipeClient watched(blocking);
  std::promise<void> asleep;
  std::future<void> isAsleep = asleep.get_future();
  clock.beforeBlocking = [&asleep] { asleep.set_value(); };
  std::thread writer([&] {
    isAsleep.wait();
    EXPECT_EQ(write(watched.fds[1], "b", 1), 1);
  });
  blocking.WaitForMessage();
  writer.join();
  EXPECT_EQ(clock.timeouts, std::vector<int>{-1}) << "one wait, without a time-out";
  ASSERT_TRUE(blocking.Peek(m));
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
