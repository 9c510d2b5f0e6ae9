// The outcome of one run: what the headless program's result file says
// (see src/posix/result.h) and how the process ended, turned into a verdict
// and a cause for the reports.
#pragma once

#include <string>
#include <vector>

namespace tv::suite {

// The result file of a run, as read back.
struct ProgramResult {
  bool present = false;   // the file exists and begins as a result file does
  bool complete = false;  // it has its last line (exit)
  std::string log;        // the log file, when one was opened
  std::vector<std::string> captures;
  std::string outcome, stop, box, file;
  int line = 0;
  int exit = -1;
};

// Reads the file at path; a missing or foreign file gives present false.
ProgramResult ReadProgramResult(const std::string& path);

// How the process of a run ended, as the suite saw it.
struct Ending {
  int status = 0;            // as waitpid gives it
  bool timedOut = false;     // ended by the suite's time limit
  bool interrupted = false;  // ended because the suite was interrupted
};

struct Verdict {
  bool passed = false;
  // Whether the script could not be run as a test at all (not started, not
  // opened, a wrong command line): an error rather than a failure.
  bool error = false;
  std::string cause;  // UTF-8; empty when passed
  std::string type;   // what the JUnit report gives as the failure's type
  std::string file;   // where the run was at the last error box, and its
  int line = 0;       // line; empty and 0 when it was at no line
};

// timeLimit: the suite's time limit in seconds, for the cause it names.
Verdict Judge(const Ending& ending, const ProgramResult& result, double timeLimit);

// A run that could not be started: why says why.
Verdict NotStarted(const std::string& why);

}  // namespace tv::suite
