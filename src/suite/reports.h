// The suite runner's reports: the human lines with the progress, the JUnit
// XML file and the TAP stream. Each is written as the scripts end, from the
// report of each script; a run's log and output are read from their files
// while the JUnit file is written, so the suite never holds them whole.
#pragma once

#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "suite/outcome.h"
#include "suite/plan.h"

namespace tv::suite {

struct Timing {
  double min = 0, median = 0, p95 = 0, max = 0;
};

// The median of an even count is the mean of the two middle times; the 95th
// percentile is the nearest rank.
Timing Summarize(std::vector<double> seconds);

enum class Kind { Passed, Flaky, Failed, Error, Skipped };

struct ScriptReport {
  const Planned* script = nullptr;
  Kind kind = Kind::Skipped;
  // The run the report shows: the first that failed, otherwise the last.
  Verdict verdict;
  bool started = false;       // its program was started
  int status = 0;             // as waitpid gave it
  int attempts = 1;           // its attempts, retries included
  double seconds = 0;         // of all runs and their retries
  int repeat = 1;             // runs asked for
  int failedRuns = 0;         // runs that failed on every attempt
  int flakyRuns = 0;          // runs that passed on a retry
  int skippedRuns = 0;        // runs never started
  std::vector<double> times;  // of each run that ran (its last attempt)
  std::string flakyCause;     // what the first flaky run failed with first
  std::string folder;         // the shown run's folder, when kept
  std::string logPath, outputPath;
  time_t startedAt = 0;
  std::string skipReason;
};

// "Stav ukončení: N", "Ukončen signálem N" or "Běh nespuštěn."
std::string StatusText(const ScriptReport& r);

// The human lines on standard output and, on a terminal, the progress "k/N"
// on standard error, drawn again below each line.
class Console {
 public:
  // lines: write the human lines (not with TAP on standard output).
  Console(bool lines, bool keep);
  // A failed attempt that will be tried again.
  void Retry(const Planned& script, const Verdict& verdict, double seconds, int attempt,
             const std::string& folder);
  void Write(const ScriptReport& r);
  void Progress(size_t done, size_t total, size_t failed);
  // Clears the progress line for good.
  void Finish();
  // A line of its own on standard output (the line end is added).
  void Line(const std::string& text);
  // Text as it stands on standard output (a report's), below the progress.
  void Text(const std::string& text);

 private:
  void Clear();
  void Draw();

  bool lines_, keep_, live_;
  std::string progress_;
};

// "N passed, N failed", then ", N flaky" and ", N skipped" when there are
// any; no line end.
std::string SummaryLine(size_t passed, size_t failed, size_t flaky, size_t skipped);

// A JUnit XML report valid under the Ant schema and the Jenkins one: a
// <testsuites> with one <testsuite> per script, its properties, its one
// <testcase>, its log in <system-out> and its output in <system-err>.
class JUnitWriter {
 public:
  ~JUnitWriter();
  // Creates the file and writes the head; false with errno when it cannot.
  bool Open(const std::string& path);
  void Write(const ScriptReport& r);
  // Writes the end; false when a write failed.
  bool Close();

 private:
  FILE* file_ = nullptr;
  int id_ = 0;
  std::string host_;
};

// TAP version 13: the plan first, a line with its YAML block as each script
// ends. Each returns the text to write.
class TapWriter {
 public:
  explicit TapWriter(bool keep) : keep_(keep) {}
  std::string Begin(size_t total);
  std::string Write(const ScriptReport& r);
  std::string BailOut(const std::string& why);

 private:
  bool keep_;
  size_t number_ = 0;
};

}  // namespace tv::suite
