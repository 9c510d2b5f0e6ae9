#include "shell/log.h"

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
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\n') crlf_.push_back('\r');
    crlf_.push_back(text[i]);
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
