#include "suite/outcome.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>

#include "suite/files.h"
#include "suite/report.h"

namespace tv::suite {

namespace {

// A result file is small; one that is not is no result file.
constexpr size_t kMaxResult = 4u << 20;

std::string Unescaped(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out.push_back(value[i]);
      continue;
    }
    const char next = value[++i];
    out.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
  }
  return out;
}

std::string StatusType(int status) {
  if (WIFSIGNALED(status)) return "signál " + std::to_string(WTERMSIG(status));
  return "stav " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

ProgramResult ReadProgramResult(const std::string& path) {
  ProgramResult r;
  std::string text;
  size_t total = 0;
  if (!ReadFileTail(path, kMaxResult, text, total) || total > text.size()) return r;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a line cut off by a kill
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t blank = line.find(' ');
    const std::string key = line.substr(0, blank);
    const std::string value = blank == std::string::npos ? "" : Unescaped(line.substr(blank + 1));
    if (first) {
      if (key != "tarvelin-result" || value != "1") return r;
      r.present = true;
      first = false;
    } else if (key == "log") {
      r.log = value;
    } else if (key == "capture") {
      r.captures.push_back(value);
    } else if (key == "outcome") {
      r.outcome = value;
    } else if (key == "stop") {
      r.stop = value;
    } else if (key == "box") {
      r.box = value;
    } else if (key == "file") {
      r.file = value;
    } else if (key == "line") {
      r.line = std::atoi(value.c_str());
    } else if (key == "exit") {
      r.exit = std::atoi(value.c_str());
      r.complete = true;
    }
  }
  return r;
}

Verdict NotStarted(const std::string& why) {
  Verdict v;
  v.error = true;
  v.cause = why;
  v.type = "běh nespuštěn";
  return v;
}

Verdict Judge(const Ending& ending, const ProgramResult& result, double timeLimit) {
  Verdict v;
  v.type = StatusType(ending.status);
  const int exitStatus = WIFEXITED(ending.status) ? WEXITSTATUS(ending.status) : -1;
  const bool told = result.complete && result.exit == exitStatus;
  if (told && !result.box.empty() && result.line > 0) {
    v.file = result.file;
    v.line = result.line;
  }
  const std::string& box = result.box;
  if (ending.timedOut) {
    const bool whole = timeLimit == std::floor(timeLimit);
    v.cause = "Běh překročil časový limit " + FormatSeconds(timeLimit, whole ? 0 : 3, true) +
              " s a byl ukončen.";
  } else if (ending.interrupted) {
    v.cause = "Běh ukončen, protože byla přerušena sada.";
  } else if (WIFSIGNALED(ending.status)) {
    v.cause = "Program ukončen signálem " + std::to_string(WTERMSIG(ending.status)) + ".";
  } else if (exitStatus == 0) {
    v.passed = true;
  } else if (!told) {
    // A program that gave no result of its own (another program, or one
    // that could not write the file): its status is all there is.
    v.cause = exitStatus == 3 ? "Script ukončen svým časovým limitem."
                              : "Program skončil se stavem " + std::to_string(exitStatus) + ".";
  } else if (result.outcome == "timed-out") {
    v.cause = "Script ukončen svým časovým limitem.";
    if (!box.empty()) v.cause += " " + box;
  } else if (result.outcome == "interrupted") {
    v.cause = result.stop == "operator" ? "Běh přerušen obsluhou."
              : result.stop == "stall" ? "Čekání, které už nic nemůže ukončit: okno zavřeno."
                                       : "Běh ukončen zavřením okna.";
  } else if (result.outcome == "cancelled") {
    v.cause = "Běh ukončen volbou Storno v dialogu.";
  } else if (result.outcome == "arguments") {
    v.error = true;
    v.cause = "Chyba v argumentech programu: " + box;
  } else if (result.outcome == "usage") {
    v.error = true;
    v.cause = "Program nedostal jméno scriptu.";
  } else if (result.outcome == "not-opened") {
    v.error = true;
    v.cause = box.empty() ? "Script nelze otevřít." : box;
  } else if (result.outcome == "startup-failed") {
    v.cause = box.empty() ? "Spojení se nepodařilo navázat." : box;
  } else {
    v.cause = box.empty() ? "Program skončil se stavem " + std::to_string(exitStatus) + "." : box;
  }
  return v;
}

}  // namespace tv::suite
