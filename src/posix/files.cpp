#include "posix/files.h"
#include "posix/charset.h"
#include "posix/result.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tv::posix {

namespace {

constexpr size_t kScriptBuffer = 64 * 1024;

class LockedOutFile : public OutFile {
 public:
  explicit LockedOutFile(int fd) : fd_(fd) {}
  ~LockedOutFile() override { close(fd_); }
  LockedOutFile(const LockedOutFile&) = delete;
  LockedOutFile& operator=(const LockedOutFile&) = delete;

  bool Write(const char* data, size_t len) override { return WriteAll(fd_, data, len); }
  // Every write goes straight to the system, so nothing waits in a buffer.
  bool Flush() override { return true; }

 private:
  int fd_;
};

// Opens for writing, takes the exclusive lock, and only then empties the
// file, so that a file another program holds keeps its contents.
// With append the file keeps what it holds and every write goes to its end.
std::unique_ptr<OutFile> CreateLocked(const Bytes& name, bool append = false) {
  if (name.empty() || name.find('\0') != Bytes::npos) return nullptr;
  int fd =
      open(FileNameToUtf8(name).c_str(),
           O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (append ? O_APPEND : 0), 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  if (!append && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<LockedOutFile>(fd);
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

Bytes AbsolutePath(const Bytes& name) {
  if (!name.empty() && name[0] == '/') return name;
  std::string cwd(256, '\0');
  while (!getcwd(&cwd[0], cwd.size())) {
    if (errno != ERANGE) return name;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  cwd = FromUtf8(cwd);
  if (cwd.empty() || cwd.back() != '/') cwd.push_back('/');
  return cwd + name;
}

PosixScriptFile::PosixScriptFile(int fd, Bytes fullPath)
    : fd_(fd), fullPath_(std::move(fullPath)), buf_(kScriptBuffer, '\0') {}

PosixScriptFile::~PosixScriptFile() {
  close(fd_);
}

bool PosixScriptFile::Fill() {
  if (atEnd_ || error_ || tooLarge_) return false;
  if (len_ == buf_.size()) {
    if (pos_ > 0) {
      // Make room by moving what is not consumed yet to the front.
      std::memmove(&buf_[0], buf_.data() + pos_, len_ - pos_);
      before_ += pos_;
      len_ -= pos_;
      pos_ = 0;
      startsAtZero_ = false;
    } else {
      buf_.resize(buf_.size() * 2);  // a line longer than the buffer
    }
  }
  ssize_t n;
  do {
    n = read(fd_, &buf_[len_], buf_.size() - len_);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = true;
    return false;
  }
  if (n == 0) {
    atEnd_ = true;
    return false;
  }
  len_ += static_cast<size_t>(n);
  if (before_ + len_ > kMaxScriptBytes) {
    // The file has grown past the largest script while it was read.
    tooLarge_ = true;
    return false;
  }
  return true;
}

ScriptFile::Read PosixScriptFile::ReadLine(Bytes& line) {
  size_t searched = pos_;
  for (;;) {
    const char* start = buf_.data() + searched;
    const void* lf = std::memchr(start, '\n', len_ - searched);
    if (lf) {
      size_t end = static_cast<size_t>(static_cast<const char*>(lf) - buf_.data());
      size_t cut = (end > pos_ && buf_[end - 1] == '\r') ? end - 1 : end;
      line.assign(buf_, pos_, cut - pos_);
      pos_ = end + 1;
      lf_ = true;
      return Read::Line;
    }
    size_t consumed = pos_;
    searched = len_;
    if (!Fill()) {
      if (tooLarge_) return Read::TooLarge;
      if (error_) return Read::Error;
      if (pos_ == len_) return Read::End;
      line.assign(buf_, pos_, len_ - pos_);  // the last line has no LF
      pos_ = len_;
      lf_ = false;
      return Read::Line;
    }
    searched -= consumed - pos_;  // Fill moved the unread bytes to the front
  }
}

bool PosixScriptFile::Rewind() {
  error_ = false;
  if (startsAtZero_) {
    // The whole start of the file is still in the buffer: read it again from there.
    pos_ = 0;
    return true;
  }
  if (lseek(fd_, 0, SEEK_SET) != 0) return false;
  pos_ = len_ = before_ = 0;
  tooLarge_ = false;
  atEnd_ = false;
  startsAtZero_ = true;
  return true;
}

std::unique_ptr<OutFile> PosixFileSystem::CreateNoted(const char* key, const Bytes& name,
                                                      bool append) {
  std::unique_ptr<OutFile> file = CreateLocked(name, append);
  if (file && result_) result_->WritePath(key, AbsolutePath(name));
  return file;
}

std::unique_ptr<OutFile> PosixFileSystem::CreateLog(const Bytes& name) {
  return CreateNoted("log", name);
}

std::unique_ptr<OutFile> PosixFileSystem::CreateCapture(const Bytes& name) {
  return CreateNoted("capture", name);
}

std::unique_ptr<OutFile> PosixFileSystem::AppendCapture(const Bytes& name) {
  return CreateNoted("capture", name, true);
}

std::unique_ptr<ScriptFile> PosixFileSystem::OpenScript(const Bytes& name, ScriptRefusal* why) {
  if (why) *why = ScriptRefusal::Unreadable;
  if (name.empty() || name.find('\0') != Bytes::npos) return nullptr;
  // Opening does not wait for a pipe's writer, nor take a terminal.
  int fd = open(FileNameToUtf8(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxScriptBytes) {
    if (why) *why = S_ISREG(st.st_mode) ? ScriptRefusal::TooLarge : ScriptRefusal::NotRegular;
    close(fd);
    return nullptr;
  }
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<PosixScriptFile>(fd, AbsolutePath(name));
}

bool PosixFileSystem::FileExists(const Bytes& name) {
  struct stat st;
  if (name.empty() || name.find('\0') != Bytes::npos) return false;
  return stat(FileNameToUtf8(name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool PosixFileSystem::FolderOfExists(const Bytes& name) {
  if (name.find('\0') != Bytes::npos) return false;
  const size_t cut = name.rfind('/');
  const Bytes folder = cut == Bytes::npos ? Bytes(".")
                       : cut == 0         ? Bytes("/")
                                          : name.substr(0, cut);
  struct stat st;
  return stat(FileNameToUtf8(folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace tv::posix
