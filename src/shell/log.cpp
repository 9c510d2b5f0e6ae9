#include "shell/log.h"

#include <cstring>

namespace tv {

bool Log::Open(FileSystem& files, const Bytes& name) {
  open_ = false;
  if (name == "-") return true;
  file_ = files.CreateLog(name);
  if (!file_) return false;
  open_ = true;
  Write("Program zahájen.\n");
  return true;
}

void Log::Write(const char* text, size_t len) {
  if (!open_) return;
  crlf_.clear();
  const char* const end = text + len;
  while (text < end) {
    const void* lf = std::memchr(text, '\n', static_cast<size_t>(end - text));
    const char* stop = lf ? static_cast<const char*>(lf) : end;
    crlf_.append(text, static_cast<size_t>(stop - text));
    if (!lf) break;
    crlf_.append("\r\n", 2);
    text = stop + 1;
  }
  if (file_->Write(crlf_.data(), crlf_.size())) file_->Flush();
}

void Log::Close() {
  if (open_) {
    Write("Konec programu.\n");
    file_.reset();
  }
  open_ = false;
}

}  // namespace tv
