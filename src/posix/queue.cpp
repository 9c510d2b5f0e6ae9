#include "posix/queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tv::posix {

namespace {

bool IsTickOf(const Msg& m, unsigned timer) {
  return m.forMainWindow && m.id == kWmTimer && m.wParam == timer;
}

QueueClock& TheSteadyClock() {
  static SteadyClock clock;  // keeps nothing: one serves every queue
  return clock;
}

}  // namespace

int SteadyClock::Poll(pollfd* fds, size_t count, int timeoutMs) {
  return poll(count > 0 ? fds : nullptr, static_cast<nfds_t>(count), timeoutMs);
}

Waker::Waker() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Waker::~Waker() {
  if (fd_ >= 0) close(fd_);
}

void Waker::Wake() {
  uint64_t one = 1;
  ssize_t n;
  do {
    n = write(fd_, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

void Waker::Drain() {
  uint64_t value;
  ssize_t n;
  do {
    n = read(fd_, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
}

PosixQueue::PosixQueue() : PosixQueue(TheSteadyClock()) {}

PosixQueue::PosixQueue(QueueClock& clock) : clock_(clock), waker_(std::make_shared<Waker>()) {}

PosixQueue::~PosixQueue() = default;

uintptr_t PosixQueue::StoreClickedMark(const Bytes& mark) {
  if (!freeMarks_.empty()) {
    uintptr_t index = freeMarks_.back();
    freeMarks_.pop_back();
    marks_[index] = mark;
    return index;
  }
  marks_.push_back(mark);
  return marks_.size() - 1;
}

Bytes PosixQueue::TakeClickedMark(uintptr_t index) {
  if (index >= marks_.size()) return Bytes();
  Bytes mark = std::move(marks_[index]);
  marks_[index].clear();
  freeMarks_.push_back(index);
  return mark;
}

void PosixQueue::PostToMain(uint32_t id, uintptr_t wParam, intptr_t lParam) {
  messages_.push_back(Msg{true, id, wParam, lParam});
}

void PosixQueue::PostQuit(int exitCode) {
  messages_.push_back(Msg{true, kWmQuit, static_cast<uintptr_t>(exitCode), 0});
}

bool PosixQueue::Peek(Msg& first) {
  if (messages_.empty()) {
    // Only an empty queue can change its first message: whatever readiness
    // or a due timer adds goes to the back.
    PollOnce(0);
    if (!timers_.empty()) FireDueTimers(clock_.Now());
    if (messages_.empty()) return false;
  }
  first = messages_.front();
  return true;
}

bool PosixQueue::RemoveForMain(uint32_t id, Msg& removed) {
  auto it = std::find_if(messages_.begin(), messages_.end(), [id](const Msg& m) {
    return m.forMainWindow && (m.id & 0xFFFF) == (id & 0xFFFF);
  });
  if (it == messages_.end()) return false;
  removed = *it;
  messages_.erase(it);
  return true;
}

bool PosixQueue::DispatchOne() {
  if (messages_.empty()) return true;
  const Msg m = messages_.front();
  messages_.pop_front();
  if (m.id == kWmQuit) return false;
  if (dispatch_) dispatch_(m);
  return true;
}

void PosixQueue::WaitForMessage() {
  nothingCouldCome_ = false;
  while (messages_.empty()) {
    TimePoint now = clock_.Now();
    FireDueTimers(now);
    if (!messages_.empty()) break;
    if (!PollOnce(MsUntilNextTimer(now))) {
      nothingCouldCome_ = true;
      if (stallNote_) stallNote_();
      PostToMain(kWmSysCommand, kScClose, 0);
      break;
    }
    if (!timers_.empty()) FireDueTimers(clock_.Now());
  }
}

bool PosixQueue::PollOnce(int timeoutMs) {
  fds_.clear();
  clientStart_.clear();
  bool wantWake = false;
  for (PollClient* client : clients_) {
    clientStart_.push_back(fds_.size());
    if (client->Collect(fds_)) wantWake = true;
  }
  clientStart_.push_back(fds_.size());
  const size_t clientFds = fds_.size();
  if (wantWake) fds_.push_back(pollfd{waker_->Fd(), POLLIN, 0});
  if (!messages_.empty()) timeoutMs = 0;  // a client posted while it collected
  if (fds_.empty()) {
    if (timeoutMs < 0) return false;
    if (timeoutMs > 0) clock_.Poll(nullptr, 0, timeoutMs);
    return true;
  }
  int ready = clock_.Poll(fds_.data(), fds_.size(), timeoutMs);
  if (ready <= 0) return true;  // time-out, or a signal: the caller looks again
  if (wantWake && fds_[clientFds].revents != 0) waker_->Drain();
  for (size_t i = 0; i < clients_.size(); ++i) {
    clients_[i]->Deliver(fds_.data() + clientStart_[i], clientStart_[i + 1] - clientStart_[i]);
  }
  return true;
}

void PosixQueue::SetTimer(unsigned id, unsigned periodMs) {
  periodMs = std::max(periodMs, 10u);  // the shortest period a window timer has
  TimePoint due = clock_.Now() + std::chrono::milliseconds(periodMs);
  for (Timer& t : timers_) {
    if (t.id == id) {
      t.periodMs = periodMs;
      t.due = due;
      return;
    }
  }
  timers_.push_back(Timer{id, periodMs, due});
}

void PosixQueue::KillTimer(unsigned id) {
  timers_.erase(
      std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
      timers_.end());
  // A killed timer's tick that has not been taken yet goes with it, as no
  // tick is produced for a timer that no longer exists.
  messages_.erase(std::remove_if(messages_.begin(), messages_.end(),
                                 [id](const Msg& m) { return IsTickOf(m, id); }),
                  messages_.end());
}

bool PosixQueue::TimerMessageQueued(unsigned id) const {
  return std::any_of(messages_.begin(), messages_.end(),
                     [id](const Msg& m) { return IsTickOf(m, id); });
}

void PosixQueue::FireDueTimers(TimePoint now) {
  for (Timer& t : timers_) {
    if (t.due > now) continue;
    if (!TimerMessageQueued(t.id)) PostToMain(kWmTimer, t.id, 0);
    t.due = now + std::chrono::milliseconds(t.periodMs);
  }
}

int PosixQueue::MsUntilNextTimer(TimePoint now) const {
  if (timers_.empty()) return -1;
  TimePoint next = timers_.front().due;
  for (const Timer& t : timers_) next = std::min(next, t.due);
  if (next <= now) return 0;
  // Rounded up, so that the poll never returns before the timer is due.
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
  return static_cast<int>(std::min<long long>((us + 999) / 1000, 0x7FFFFFFF));
}

}  // namespace tv::posix
