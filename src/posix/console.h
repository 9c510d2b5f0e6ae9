// Standard error as the operator's screen: message boxes and notes as blocks
// of UTF-8 text, and on a terminal the lower status line, rewritten in place.
#pragma once

#include "host/host.h"

namespace tv::posix {

class Console {
 public:
  // fd: where to write; liveStatus: show the status line (a terminal).
  Console(int fd, bool liveStatus);
  // Standard error, with the status line when it is a terminal.
  static Console& Stderr();

  // A block of Windows-1250 text; the status line is cleared before it and
  // drawn again after it. The text should end with a line end.
  void Print(const Bytes& text);
  void SetStatus(const Bytes& text);
  // Clears the status line for good (at the program's end).
  void Finish();
  bool LiveStatus() const { return live_; }

 private:
  void WriteAll(const std::string& utf8);
  void DrawStatus();
  void ClearStatus();

  int fd_;
  bool live_;
  bool statusShown_ = false;
  Bytes status_;
};

}  // namespace tv::posix
