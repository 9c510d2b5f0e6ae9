// A script file as the runner reads it. A file that begins with the UTF-8
// byte-order mark is UTF-8 text: the mark is dropped and every line is turned
// into Windows-1250 before anything else sees it. Other files are read as
// they are.
#pragma once

#include <memory>

#include "host/host.h"

namespace tv {

class ScriptText {
 public:
  enum class Read {
    Line,
    End,
    Error,         // the file cannot be read
    NotUtf8,       // a line of a UTF-8 script is not valid UTF-8
    NoCp1250Form,  // a character of a UTF-8 script is not in Windows-1250
  };

  explicit ScriptText(std::unique_ptr<ScriptFile> file) : file_(std::move(file)) {}

  Read ReadLine(Bytes& line);
  bool Rewind();
  const Bytes& FullPath() const { return file_->FullPath(); }
  // The number of the line read last, from 1 (counted again after Rewind).
  int LineNumber() const { return lineNumber_; }
  // Whether the file began with the byte-order mark (known after a line).
  bool Utf8() const { return utf8_; }

 private:
  Read NextRaw(Bytes& line);

  std::unique_ptr<ScriptFile> file_;
  bool atStart_ = true;
  bool utf8_ = false;
  int lineNumber_ = 0;
  // A line read ahead (after a first line that is the mark alone).
  bool pending_ = false;
  ScriptFile::Read pendingRead_ = ScriptFile::Read::End;
  Bytes pendingLine_;
  Bytes raw_;
};

}  // namespace tv
