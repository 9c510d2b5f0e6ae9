// Files of the headless program: the log and capture files (locked against
// other writers), and script files read through a buffer.
#pragma once

#include <string>

#include "host/host.h"

namespace tv::posix {

// Writes all of data to the descriptor, again after a signal has interrupted
// it. False when a write fails or takes nothing.
bool WriteAll(int fd, const char* data, size_t len);

// A script file: lines end at LF, a CR right before the LF is dropped, all
// other bytes (zero bytes too) are kept, and a line may be of any length.
class PosixScriptFile : public ScriptFile {
 public:
  // Takes the descriptor (open for reading, locked).
  PosixScriptFile(int fd, Bytes fullPath);
  ~PosixScriptFile() override;
  PosixScriptFile(const PosixScriptFile&) = delete;
  PosixScriptFile& operator=(const PosixScriptFile&) = delete;

  Read ReadLine(Bytes& line) override;
  bool Rewind() override;
  bool LineEndedWithLf() const override { return lf_; }
  const Bytes& FullPath() const override { return fullPath_; }

 private:
  bool Fill();  // false at the end of the file or on an error (error_ set)

  int fd_;
  Bytes fullPath_;
  std::string buf_;
  size_t pos_ = 0, len_ = 0;
  bool startsAtZero_ = true;  // buf_ holds the file from its first byte
  size_t before_ = 0;         // bytes of the file in front of buf_
  bool tooLarge_ = false;
  bool atEnd_ = false;
  bool error_ = false;
  bool lf_ = false;
};

class ResultFile;

class PosixFileSystem : public FileSystem {
 public:
  // result: where the log and each capture file are noted once created.
  explicit PosixFileSystem(ResultFile* result = nullptr) : result_(result) {}

  // Created or truncated after an exclusive lock is held; null when another
  // program holds it (or it cannot be created).
  std::unique_ptr<OutFile> CreateLog(const Bytes& name) override;
  // Opened for reading with a shared lock; null for a folder, an unreadable
  // file or one that another program is writing.
  std::unique_ptr<ScriptFile> OpenScript(const Bytes& name, ScriptRefusal* why) override;
  std::unique_ptr<OutFile> CreateCapture(const Bytes& name) override;
  std::unique_ptr<OutFile> AppendCapture(const Bytes& name) override;
  PathSyntax Syntax() const override { return PathSyntax::Posix; }
  bool FileExists(const Bytes& name) override;
  bool FolderOfExists(const Bytes& name) override;

 private:
  std::unique_ptr<OutFile> CreateNoted(const char* key, const Bytes& name, bool append = false);

  ResultFile* result_;
};

// name as an absolute path: a relative one is put behind the current folder
// (links are not resolved).
Bytes AbsolutePath(const Bytes& name);

}  // namespace tv::posix
