#include "posix/operator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "posix/charset.h"

namespace tv::posix {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

Bytes Trimmed(const Bytes& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The first word, lower-cased, and what follows it (from the blank on).
void SplitKeyword(const Bytes& line, Bytes& keyword, Bytes& rest) {
  size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  keyword.clear();
  for (size_t i = 0; i < end; ++i) keyword.push_back(Lower(line[i]));
  rest = line.substr(end);
}

// A whole decimal integer, as the dialogs' number fields accept it.
bool ParsePort(const Bytes& text, int& port) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || value < INT_MIN || value > INT_MAX) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

OperatorChannel::OperatorChannel(int fd, PosixQueue& queue, Console& console)
    : fd_(fd), queue_(queue), console_(console) {
  int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY) ended_ = true;
  queue_.AddClient(this);
}

bool OperatorChannel::Collect(std::vector<pollfd>& fds) {
  if (!ended_) fds.push_back(pollfd{fd_, POLLIN, 0});
  return false;
}

void OperatorChannel::Deliver(const pollfd* fds, size_t count) {
  if (count == 1 && fds[0].revents != 0) ReadSome(false);
}

bool OperatorChannel::NextAnswer(Bytes& answer) {
  while (answers_.empty() && !ended_) ReadSome(true);
  if (answers_.empty()) return false;
  answer = std::move(answers_.front());
  answers_.pop_front();
  return true;
}

void OperatorChannel::ReadSome(bool wait) {
  if (ended_) return;
  if (wait) {
    pollfd p{fd_, POLLIN, 0};
    int rc = poll(&p, 1, -1);
    if (rc < 0) {
      if (errno != EINTR) ended_ = true;
      return;
    }
  }
  char buf[4096];
  ssize_t n = read(fd_, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    n = 0;  // unreadable: treated as the end of input
  }
  if (n == 0) {
    ended_ = true;
    if (!partial_.empty()) {
      std::string last;
      last.swap(partial_);
      HandleLine(std::move(last));
    }
    return;
  }
  partial_.append(buf, static_cast<size_t>(n));
  TakeLines();
}

void OperatorChannel::TakeLines() {
  size_t start = 0;
  for (;;) {
    size_t lf = partial_.find('\n', start);
    if (lf == std::string::npos) break;
    HandleLine(partial_.substr(start, lf - start));
    start = lf + 1;
  }
  partial_.erase(0, start);
}

void OperatorChannel::HandleLine(std::string raw) {
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();
  Bytes line = FromUtf8(raw);
  size_t first = 0;
  while (first < line.size() && IsBlank(line[first])) ++first;
  line.erase(0, first);
  if (Trimmed(line).empty()) return;
  Bytes keyword, rest;
  SplitKeyword(line, keyword, rest);
  if (keyword == "click") {
    Bytes mark = rest;
    size_t b = 0;
    while (b < mark.size() && IsBlank(mark[b])) ++b;
    mark.erase(0, b);
    if (mark.empty()) {
      console_.Print("Za click chybí značka check-boxu.\n");
      return;
    }
    queue_.PostToMain(WM_OPERATOR_CLICK, queue_.StoreClickedMark(mark), 0);
  } else if (keyword == "interrupt" && Trimmed(rest).empty()) {
    queue_.PostToMain(WM_OPERATOR_INTERRUPT, 0, 0);
  } else if (keyword == "close" && Trimmed(rest).empty()) {
    queue_.PostToMain(kWmSysCommand, kScClose, 0);
  } else {
    answers_.push_back(std::move(line));
  }
}

int DefaultMessageBoxAnswer(unsigned type) {
  unsigned buttons = type & 0x0F;
  return (buttons == kMbYesNo || buttons == kMbYesNoCancel) ? kIdYes : kIdOk;
}

bool MessageBoxAnswer(const Bytes& answer, unsigned type, int& result) {
  Bytes keyword, rest;
  SplitKeyword(Trimmed(answer), keyword, rest);
  if (!rest.empty()) return false;
  const unsigned buttons = type & 0x0F;
  const bool hasOk = buttons == kMbOk || buttons == kMbOkCancel;
  const bool hasYesNo = buttons == kMbYesNo || buttons == kMbYesNoCancel;
  const bool hasCancel = buttons == kMbOkCancel || buttons == kMbYesNoCancel;
  if (keyword == "ok" && hasOk) {
    result = kIdOk;
  } else if (keyword == "cancel" && hasCancel) {
    result = kIdCancel;
  } else if (keyword == "yes" && hasYesNo) {
    result = kIdYes;
  } else if (keyword == "no" && hasYesNo) {
    result = kIdNo;
  } else {
    return false;
  }
  return true;
}

bool InputLineAnswer(const Bytes& answer, int& result, Bytes& text) {
  Bytes keyword, rest;
  SplitKeyword(answer, keyword, rest);
  if (keyword == "cancel" && Trimmed(rest).empty()) {
    result = kIdCancel;
    return true;
  }
  if (keyword != "ok") return false;
  // "ok", one blank, then the text exactly as typed.
  text = rest.empty() ? Bytes() : rest.substr(1);
  result = kIdOk;
  return true;
}

bool ConnectAnswer(const Bytes& answer, int& result, Bytes& server, int& port) {
  Bytes keyword, rest;
  SplitKeyword(Trimmed(answer), keyword, rest);
  rest = Trimmed(rest);
  if (keyword == "cancel" && rest.empty()) {
    result = kIdCancel;
    return true;
  }
  if (keyword != "ok") return false;
  if (!rest.empty()) {
    size_t cut = rest.find_last_of(" \t");
    if (cut == Bytes::npos) return false;
    int newPort;
    if (!ParsePort(rest.substr(cut + 1), newPort)) return false;
    server = Trimmed(rest.substr(0, cut));
    port = newPort;
  }
  result = kIdOk;
  return true;
}

bool AcceptAnswer(const Bytes& answer, int& result, int& port) {
  Bytes keyword, rest;
  SplitKeyword(Trimmed(answer), keyword, rest);
  rest = Trimmed(rest);
  if (keyword == "cancel" && rest.empty()) {
    result = kIdCancel;
    return true;
  }
  if (keyword != "ok") return false;
  if (!rest.empty() && !ParsePort(rest, port)) return false;
  result = kIdOk;
  return true;
}

}  // namespace tv::posix
