// The headless program's message queue: posted messages for the main window,
// window timers, and descriptors watched with poll() whose readiness becomes
// posted messages.
#pragma once

#include <poll.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "host/host.h"

namespace tv::posix {

// A descriptor that helper threads write to so that a blocked poll() wakes.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  int Fd() const { return fd_; }
  void Wake();   // any thread
  void Drain();  // the loop's thread
 private:
  int fd_ = -1;
};

// Something the queue watches: before each poll it names the descriptors it
// wants and with which events; after the poll it turns their readiness into
// posted messages.
class PollClient {
 public:
  virtual ~PollClient() = default;
  // Appends entries to fds. Returns true while a helper thread may still
  // wake the loop for this client.
  virtual bool Collect(std::vector<pollfd>& fds) = 0;
  // The entries this client appended, in order, with revents filled in.
  // Also called after a wake-up, with revents possibly all zero.
  virtual void Deliver(const pollfd* fds, size_t count) = 0;
};

// The time the queue's timers run on, and the one place where the queue lets
// time pass: its poll() with a time-out. The program runs on SteadyClock; the
// tests give a clock that moves only when they tell it to.
class QueueClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~QueueClock() = default;
  virtual TimePoint Now() = 0;
  // poll() on count entries (none: only the wait) for at most timeoutMs, -1
  // without a limit; returns what poll() returns.
  virtual int Poll(pollfd* fds, size_t count, int timeoutMs) = 0;
};

class SteadyClock : public QueueClock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  int Poll(pollfd* fds, size_t count, int timeoutMs) override;
};

class PosixQueue : public MessageQueue {
 public:
  using Dispatch = std::function<void(const Msg&)>;
  using TimePoint = QueueClock::TimePoint;

  // On the steady clock.
  PosixQueue();
  // On the given clock, which must outlive the queue.
  explicit PosixQueue(QueueClock& clock);
  ~PosixQueue() override;

  void SetDispatch(Dispatch dispatch) { dispatch_ = std::move(dispatch); }
  // Called when a wait finds nothing that could ever post a message.
  void SetStallNote(std::function<void()> note) { stallNote_ = std::move(note); }
  void AddClient(PollClient* client) { clients_.push_back(client); }
  const std::shared_ptr<Waker>& waker() const { return waker_; }

  // The marks of the operator's clicks, referred to by WM_OPERATOR_CLICK's
  // wParam until the message is handled.
  uintptr_t StoreClickedMark(const Bytes& mark);
  Bytes TakeClickedMark(uintptr_t index);

  bool Peek(Msg& first) override;
  bool RemoveForMain(uint32_t id, Msg& removed) override;
  bool DispatchOne() override;
  void WaitForMessage() override;
  void PostToMain(uint32_t id, uintptr_t wParam, intptr_t lParam) override;
  void PostQuit(int exitCode) override;
  void SetTimer(unsigned id, unsigned periodMs) override;
  void KillTimer(unsigned id) override;

  size_t Pending() const { return messages_.size(); }
  // A wait found nothing that could ever post a message; the queue then
  // posts a close request, as an operator who has gone away would.
  bool NothingCouldCome() const { return nothingCouldCome_; }

 private:
  struct Timer {
    unsigned id;
    unsigned periodMs;
    TimePoint due;
  };
  // One poll with the given timeout (ms, -1 forever); returns false when
  // there was nothing at all to wait for and timeoutMs was -1.
  bool PollOnce(int timeoutMs);
  void FireDueTimers(TimePoint now);
  int MsUntilNextTimer(TimePoint now) const;
  bool TimerMessageQueued(unsigned id) const;

  QueueClock& clock_;
  std::deque<Msg> messages_;
  std::vector<Timer> timers_;
  std::vector<PollClient*> clients_;
  std::vector<pollfd> fds_;
  std::vector<size_t> clientStart_;
  std::shared_ptr<Waker> waker_;
  Dispatch dispatch_;
  std::function<void()> stallNote_;
  std::vector<Bytes> marks_;
  std::vector<uintptr_t> freeMarks_;
  bool nothingCouldCome_ = false;
};

}  // namespace tv::posix
