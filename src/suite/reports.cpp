#include "suite/reports.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "suite/report.h"

namespace tv::suite {

namespace {

void WriteAll(FILE* f, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), f);
  std::fflush(f);
}

std::string Seconds(double s) {
  return FormatSeconds(s, 2, true) + " s";
}

// What stands in the brackets of a human line: the time of the one run, or
// the runs and their times.
std::string RunsNote(const ScriptReport& r) {
  if (r.repeat == 1) return Seconds(r.seconds);
  std::string note = "běhů: " + std::to_string(r.times.size());
  if (r.failedRuns > 0) note += ", selhalo: " + std::to_string(r.failedRuns);
  if (r.flakyRuns > 0) note += ", nestabilních: " + std::to_string(r.flakyRuns);
  if (r.skippedRuns > 0) note += ", nespuštěno: " + std::to_string(r.skippedRuns);
  if (!r.times.empty()) {
    const Timing t = Summarize(r.times);
    note += "; min " + Seconds(t.min) + ", medián " + Seconds(t.median) + ", p95 " +
            Seconds(t.p95) + ", max " + Seconds(t.max);
  }
  return note;
}

}  // namespace

Timing Summarize(std::vector<double> seconds) {
  Timing t;
  if (seconds.empty()) return t;
  std::sort(seconds.begin(), seconds.end());
  const size_t n = seconds.size();
  t.min = seconds.front();
  t.max = seconds.back();
  t.median = n % 2 == 1 ? seconds[n / 2] : (seconds[n / 2 - 1] + seconds[n / 2]) / 2;
  const size_t rank = static_cast<size_t>(std::ceil(0.95 * static_cast<double>(n)));
  t.p95 = seconds[std::max<size_t>(rank, 1) - 1];
  return t;
}

std::string StatusText(const ScriptReport& r) {
  if (!r.started) return "Běh nespuštěn.";
  if (WIFSIGNALED(r.status)) return "Ukončen signálem " + std::to_string(WTERMSIG(r.status));
  return "Stav ukončení: " + std::to_string(WEXITSTATUS(r.status));
}

std::string SummaryLine(size_t passed, size_t failed, size_t flaky, size_t skipped) {
  std::string line = std::to_string(passed) + " passed, " + std::to_string(failed) + " failed";
  if (flaky > 0) line += ", " + std::to_string(flaky) + " flaky";
  if (skipped > 0) line += ", " + std::to_string(skipped) + " skipped";
  return line;
}

Console::Console(bool lines, bool keep)
    : lines_(lines), keep_(keep), live_(isatty(STDERR_FILENO) == 1) {}

void Console::Clear() {
  if (live_ && !progress_.empty()) WriteAll(stderr, "\r\033[K");
}

void Console::Draw() {
  if (live_ && !progress_.empty()) WriteAll(stderr, progress_);
}

void Console::Line(const std::string& text) {
  Text(CleanUtf8(text) + "\n");
}

void Console::Text(const std::string& text) {
  Clear();
  WriteAll(stdout, text);
  Draw();
}

void Console::Retry(const Planned& script, const Verdict& verdict, double seconds, int attempt,
                    const std::string& folder) {
  if (!lines_) return;
  std::string line = "opakuji: " + script.given + " (" + Seconds(seconds) + ", " +
                     std::to_string(attempt) + ". pokus): " + verdict.cause;
  if (keep_ && !folder.empty()) line += " [" + folder + "]";
  Line(line);
}

void Console::Write(const ScriptReport& r) {
  if (!lines_ || r.kind == Kind::Skipped) return;
  std::string line;
  const std::string& name = r.script->given;
  if (r.kind == Kind::Passed) {
    line = "prošel: " + name + " (" + RunsNote(r) + ")";
  } else if (r.kind == Kind::Flaky) {
    line = "nestabilní: " + name + " (" + RunsNote(r) + "): ";
    if (r.repeat == 1) line += "prošel na " + std::to_string(r.attempts) + ". pokus, ";
    line += "předtím: " + r.flakyCause;
  } else {
    line = "selhal: " + name + " (" + RunsNote(r) + "): " + r.verdict.cause;
  }
  if (keep_ && !r.folder.empty()) line += " [" + r.folder + "]";
  Line(line);
}

void Console::Progress(size_t done, size_t total, size_t failed) {
  if (!live_) return;
  Clear();
  progress_ = std::to_string(done) + "/" + std::to_string(total);
  if (failed > 0) progress_ += " (neúspěšných: " + std::to_string(failed) + ")";
  Draw();
}

void Console::Finish() {
  Clear();
  progress_.clear();
}

}  // namespace tv::suite
