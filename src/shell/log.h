// The log file: Windows-1250 text, every "\n" stored as CR LF, flushed after
// every write so that the file always holds everything up to the last event.
#pragma once

#include <memory>
#include <string>

#include "host/host.h"

namespace tv {

class Log {
 public:
  // "-" turns logging off without a message. False when the file cannot be
  // created; the caller warns and the program goes on without a log.
  bool Open(FileSystem& files, const Bytes& name);
  bool IsOpen() const { return open_; }
  // Writes text, turning every LF into CR LF, then flushes. A failed write is
  // dropped: the next call tries again.
  void Write(const char* text, size_t len);
  void Write(const Bytes& text) { Write(text.data(), text.size()); }
  // Writes "Konec programu.\n" and closes; nothing is logged afterwards.
  void Close();

 private:
  std::unique_ptr<OutFile> file_;
  bool open_ = false;
  Bytes crlf_;  // reused for the line-end translation
};

}  // namespace tv
