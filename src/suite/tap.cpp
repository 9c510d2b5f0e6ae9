// The TAP stream: version 13, the plan first (every script of the suite gets
// a line, those not started as skipped), a line with its YAML block as each
// script ends, a comment after a flaky one, and "Bail out!" when the suite
// was interrupted.
#include <sys/wait.h>

#include "suite/report.h"
#include "suite/reports.h"

namespace tv::suite {

namespace {

// A line end would start a new line of the stream.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char ch : CleanUtf8(text)) out.push_back(ch == '\n' || ch == '\r' ? ' ' : ch);
  return out;
}

// In a test's description a '#' would start a directive.
std::string Description(const std::string& text) {
  std::string out;
  for (char ch : OneLine(text)) {
    if (ch == '#' || ch == '\\') out.push_back('\\');
    out.push_back(ch);
  }
  return out;
}

std::string Ms(double seconds) {
  return FormatSeconds(seconds * 1000, 0, false);
}

}  // namespace

std::string TapWriter::Begin(size_t total) {
  return "TAP version 13\n1.." + std::to_string(total) + "\n";
}

std::string TapWriter::Write(const ScriptReport& r) {
  const std::string number = std::to_string(++number_);
  const std::string name = Description(r.script->name);
  if (r.kind == Kind::Skipped) {
    return "ok " + number + " - " + name + " # SKIP " + OneLine(r.skipReason) + "\n";
  }
  const bool passed = r.kind == Kind::Passed || r.kind == Kind::Flaky;
  std::string t = (passed ? "ok " : "not ok ") + number + " - " + name + "\n";
  if (r.kind == Kind::Flaky) {
    std::string note = "# nestabilní: " + r.script->name + " prošel ";
    note += r.repeat == 1 ? "na " + std::to_string(r.attempts) + ". pokus"
                          : "v " + std::to_string(r.flakyRuns) + " bězích až po opakování";
    note += ", předtím: " + r.flakyCause;
    t += OneLine(note) + "\n";
  }
  if (!passed || keep_ || r.repeat > 1 || r.attempts > 1) {
    t += "  ---\n";
    if (!passed) {
      t += "  message: " + YamlQuote(r.verdict.cause) + "\n";
      t += "  severity: fail\n";
      if (!r.started) {
        // no status: the program did not run
      } else if (WIFSIGNALED(r.status)) {
        t += "  signal: " + std::to_string(WTERMSIG(r.status)) + "\n";
      } else {
        t += "  exit: " + std::to_string(WEXITSTATUS(r.status)) + "\n";
      }
      if (!r.verdict.file.empty()) {
        t += "  file: " + YamlQuote(r.verdict.file) + "\n";
        t += "  line: " + std::to_string(r.verdict.line) + "\n";
      }
    }
    if (r.attempts > 1) t += "  attempts: " + std::to_string(r.attempts) + "\n";
    t += "  duration_ms: " + Ms(r.seconds) + "\n";
    if (r.repeat > 1) {
      t += "  runs: " + std::to_string(r.times.size()) + "\n";
      t += "  failed_runs: " + std::to_string(r.failedRuns) + "\n";
      if (r.skippedRuns > 0) t += "  skipped_runs: " + std::to_string(r.skippedRuns) + "\n";
      if (!r.times.empty()) {
        const Timing tm = Summarize(r.times);
        t += "  min_ms: " + Ms(tm.min) + "\n  median_ms: " + Ms(tm.median) +
             "\n  p95_ms: " + Ms(tm.p95) + "\n  max_ms: " + Ms(tm.max) + "\n";
      }
    }
    if (keep_ && !r.folder.empty()) t += "  folder: " + YamlQuote(r.folder) + "\n";
    t += "  ...\n";
  }
  return t;
}

std::string TapWriter::BailOut(const std::string& why) {
  return "Bail out! " + OneLine(why) + "\n";
}

}  // namespace tv::suite
