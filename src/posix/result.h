// The machine-readable result of a run, for a program that starts the
// headless program and wants to know how its run went without reading its
// texts (the suite runner). It is asked for by naming a file in the variable
// TARVELIN_RESULT; without the variable nothing is written and nothing else
// changes (the log, standard error and the exit status are the same either
// way).
//
// The file is UTF-8 text, one "KEY VALUE" a line; in a VALUE a backslash, LF
// and CR are written as \\, \n and \r. The first line is "tarvelin-result 1".
// Lines are written as the run goes, so a run that is killed leaves what it
// had written:
//   log PATH       the log file, once it is open
//   capture PATH   each capture file OutputFile created
// and at the end:
//   outcome WORD   normal, failed, cancelled, interrupted, not-opened,
//                  timed-out, startup-failed, arguments (a wrong command line)
//                  or usage (nothing to do)
//   stop WORD      with interrupted: operator (the interrupt button), stall
//                  (nothing could end a wait) or window (the window closed)
//   box TEXT       the text of the last error box
//   file PATH      with box: the script file and
//   line N         the line the run was at when it showed the box (0: none)
//   exit N         the exit status; always the last line
#pragma once

#include <string>

#include "host/host.h"

namespace tv::posix {

class ResultFile {
 public:
  // The file the variable names, created or truncated; a missing or empty
  // variable or a file that cannot be written gives a result that writes
  // nothing.
  static ResultFile FromEnvironment();

  ResultFile() = default;
  explicit ResultFile(int fd);
  ~ResultFile();
  ResultFile(ResultFile&& other) noexcept;
  ResultFile& operator=(ResultFile&&) = delete;
  ResultFile(const ResultFile&) = delete;

  bool Active() const { return fd_ >= 0; }
  // One line; value is UTF-8.
  void Write(const char* key, const std::string& value);
  // A Windows-1250 text as UTF-8, every byte as its character.
  void WriteText(const char* key, const Bytes& cp1250);
  // A Windows-1250 file name as the file system spells it.
  void WritePath(const char* key, const Bytes& name);

 private:
  int fd_ = -1;
};

}  // namespace tv::posix
