#include "posix/result.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "posix/charset.h"
#include "posix/files.h"

namespace tv::posix {

ResultFile ResultFile::FromEnvironment() {
  const char* path = std::getenv("TARVELIN_RESULT");
  if (!path || !*path) return ResultFile();
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return ResultFile();
  ResultFile result(fd);
  result.Write("tarvelin-result", "1");
  return result;
}

ResultFile::ResultFile(int fd) : fd_(fd) {}

ResultFile::~ResultFile() {
  if (fd_ >= 0) close(fd_);
}

ResultFile::ResultFile(ResultFile&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

void ResultFile::Write(const char* key, const std::string& value) {
  if (fd_ < 0) return;
  std::string line = key;
  line.push_back(' ');
  for (char ch : value) {
    if (ch == '\\') {
      line += "\\\\";
    } else if (ch == '\n') {
      line += "\\n";
    } else if (ch == '\r') {
      line += "\\r";
    } else {
      line.push_back(ch);
    }
  }
  line.push_back('\n');
  // One write a line: a reader never sees half of one from a run that lived.
  WriteAll(fd_, line.data(), line.size());
}

void ResultFile::WriteText(const char* key, const Bytes& cp1250) {
  std::string utf8;
  utf8.reserve(cp1250.size() + cp1250.size() / 4);
  for (char ch : cp1250) AppendUtf8(utf8, Cp1250ToUnicode(static_cast<unsigned char>(ch)));
  Write(key, utf8);
}

void ResultFile::WritePath(const char* key, const Bytes& name) {
  Write(key, FileNameToUtf8(name));
}

}  // namespace tv::posix
