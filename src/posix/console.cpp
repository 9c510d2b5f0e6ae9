#include "posix/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "posix/charset.h"

namespace tv::posix {

Console::Console(int fd, bool liveStatus) : fd_(fd), live_(liveStatus) {}

Console& Console::Stderr() {
  static Console console(STDERR_FILENO, isatty(STDERR_FILENO) == 1);
  return console;
}

void Console::WriteAll(const std::string& utf8) {
  size_t done = 0;
  while (done < utf8.size()) {
    ssize_t n = write(fd_, utf8.data() + done, utf8.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void Console::Print(const Bytes& text) {
  ClearStatus();
  WriteAll(ToUtf8ForDisplay(text));
  DrawStatus();
}

void Console::SetStatus(const Bytes& text) {
  status_ = text;
  DrawStatus();
}

void Console::ClearStatus() {
  if (!live_ || !statusShown_) return;
  WriteAll("\r\x1b[K");
  statusShown_ = false;
}

void Console::DrawStatus() {
  if (!live_) return;
  // One line that fits the terminal, so that the carriage return rewrites it.
  size_t width = 80;
  winsize ws{};
  if (ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) width = ws.ws_col;
  Bytes shown = status_.substr(0, width - 1);
  for (char& c : shown) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  WriteAll("\r" + ToUtf8ForDisplay(shown) + "\x1b[K");
  statusShown_ = !shown.empty();
}

void Console::Finish() {
  ClearStatus();
  status_.clear();
  live_ = false;
}

}  // namespace tv::posix
