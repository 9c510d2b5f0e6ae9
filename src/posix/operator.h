// The operator channel: standard input read line by line. "click MARK",
// "interrupt" and "close" become window messages; every other line is an
// answer, kept in order for the dialogs that open next.
#pragma once

#include <deque>
#include <string>

#include "host/host.h"
#include "posix/console.h"
#include "posix/queue.h"

namespace tv::posix {

class OperatorChannel : public PollClient {
 public:
  // fd: the channel (standard input); it is never closed here.
  OperatorChannel(int fd, PosixQueue& queue, Console& console);

  // The next answer, waiting for input when none is kept. False when input
  // has ended (or cannot be read) and no answer is left.
  bool NextAnswer(Bytes& answer);
  bool Ended() const { return ended_; }

  bool Collect(std::vector<pollfd>& fds) override;
  void Deliver(const pollfd* fds, size_t count) override;

 private:
  // One read; wait: block until something can be read.
  void ReadSome(bool wait);
  void TakeLines();
  void HandleLine(std::string line);

  int fd_;
  PosixQueue& queue_;
  Console& console_;
  bool ended_ = false;
  std::string partial_;  // read, not yet a whole line
  std::deque<Bytes> answers_;
};

// How an answer line fits the open dialog. Each returns false when it does
// not fit; otherwise result is kIdOk, kIdCancel, kIdYes or kIdNo and the
// dialog's fields are updated as the operator's OK would update them.
bool MessageBoxAnswer(const Bytes& answer, unsigned type, int& result);
bool InputLineAnswer(const Bytes& answer, int& result, Bytes& text);
bool ConnectAnswer(const Bytes& answer, int& result, Bytes& server, int& port);
bool AcceptAnswer(const Bytes& answer, int& result, int& port);
// The button Enter would press in a message box of this type.
int DefaultMessageBoxAnswer(unsigned type);

}  // namespace tv::posix
