// The suite runner's reports: the human lines, the JUnit XML file and the
// TAP stream, from the record of each finished run.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "suite/outcome.h"

namespace tv::suite {

struct Record {
  std::string script;    // as the command line names it
  bool started = false;  // false: the program was not started
  Verdict verdict;
  int status = 0;  // as waitpid gives it
  double seconds = 0;
  std::string folder;       // the run's folder when it is kept
  std::string log, output;  // UTF-8
};

// "prošel: NAME (S s)" or "selhal: NAME (S s): CAUSE", with the folder when
// kept; a line end.
std::string HumanLine(const Record& r, bool keep);

std::string JUnitReport(const std::vector<const Record*>& records, double seconds,
                        time_t startedAt);

std::string TapReport(const std::vector<const Record*>& records, bool keep);

}  // namespace tv::suite
