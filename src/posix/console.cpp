#include "posix/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "posix/charset.h"
#include "posix/files.h"

namespace tv::posix {

Console::Console(int fd, bool liveStatus) : fd_(fd), live_(liveStatus) {}

Console& Console::Stderr() {
  static Console console(STDERR_FILENO, isatty(STDERR_FILENO) == 1);
  return console;
}

void Console::WriteAll(const std::string& utf8) {
  posix::WriteAll(fd_, utf8.data(), utf8.size());
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
