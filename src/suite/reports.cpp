#include "suite/reports.h"

#include <sys/wait.h>

#include <ctime>

#include "suite/files.h"
#include "suite/report.h"

namespace tv::suite {

namespace {

std::string StatusText(const Record& r) {
  if (!r.started) return "Běh nespuštěn.";
  if (WIFSIGNALED(r.status)) return "Ukončen signálem " + std::to_string(WTERMSIG(r.status));
  return "Stav ukončení: " + std::to_string(WEXITSTATUS(r.status));
}

std::string ClassName(const std::string& script) {
  std::string folder = FolderOf(script);
  while (folder.compare(0, 2, "./") == 0) folder.erase(0, 2);
  if (folder == ".") folder.clear();
  for (char& ch : folder) {
    if (ch == '/') ch = '.';
  }
  while (!folder.empty() && folder[0] == '.') folder.erase(0, 1);
  return folder.empty() ? "tarvelin" : folder;
}

}  // namespace

std::string HumanLine(const Record& r, bool keep) {
  std::string line = r.verdict.passed ? "prošel: " : "selhal: ";
  line += r.script + " (" + FormatSeconds(r.seconds, 2, true) + " s)";
  if (!r.verdict.passed) line += ": " + r.verdict.cause;
  if (keep && !r.folder.empty()) line += " [" + r.folder + "]";
  return CleanUtf8(line) + "\n";
}

std::string JUnitReport(const std::vector<const Record*>& records, double seconds,
                        time_t startedAt) {
  size_t failures = 0, errors = 0;
  for (const Record* r : records) {
    if (r->verdict.error) {
      ++errors;
    } else if (!r->verdict.passed) {
      ++failures;
    }
  }
  char stamp[32];
  tm local;
  localtime_r(&startedAt, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<testsuite name=\"tarvelin-suite\" tests=\"" + std::to_string(records.size()) +
       "\" failures=\"" + std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
       "\" skipped=\"0\" time=\"" + FormatSeconds(seconds, 3, false) + "\" timestamp=\"" + stamp +
       "\">\n";
  for (const Record* r : records) {
    x += "  <testcase name=\"" + XmlEscape(r->script, true) + "\" classname=\"" +
         XmlEscape(ClassName(r->script), true) + "\" time=\"" +
         FormatSeconds(r->seconds, 3, false) + "\">\n";
    if (!r->verdict.passed) {
      const char* element = r->verdict.error ? "error" : "failure";
      x += std::string("    <") + element + " message=\"" + XmlEscape(r->verdict.cause, true) +
           "\" type=\"" + XmlEscape(r->verdict.type, true) + "\">" +
           XmlEscape(r->verdict.cause + "\n" + StatusText(*r), false) + "</" + element + ">\n";
    }
    x += "    <system-out>" + XmlEscape(r->log, false) + "</system-out>\n";
    x += "    <system-err>" + XmlEscape(r->output, false) + "</system-err>\n";
    x += "  </testcase>\n";
  }
  x += "</testsuite>\n";
  return x;
}

std::string TapReport(const std::vector<const Record*>& records, bool keep) {
  std::string t = "TAP version 13\n1.." + std::to_string(records.size()) + "\n";
  size_t number = 0;
  for (const Record* r : records) {
    // A '#' would start a directive, a line end a new line of the stream.
    std::string name;
    for (char ch : CleanUtf8(r->script)) {
      if (ch == '#' || ch == '\\') name.push_back('\\');
      name.push_back(ch == '\n' || ch == '\r' ? ' ' : ch);
    }
    t += (r->verdict.passed ? "ok " : "not ok ") + std::to_string(++number) + " - " + name + "\n";
    if (r->verdict.passed && !keep) continue;
    t += "  ---\n";
    if (!r->verdict.passed) {
      t += "  message: " + YamlQuote(r->verdict.cause) + "\n";
      t += "  severity: fail\n";
      if (!r->started) {
        // no status: the program did not run
      } else if (WIFSIGNALED(r->status)) {
        t += "  signal: " + std::to_string(WTERMSIG(r->status)) + "\n";
      } else {
        t += "  exit: " + std::to_string(WEXITSTATUS(r->status)) + "\n";
      }
    }
    t += "  duration_ms: " + FormatSeconds(r->seconds * 1000, 0, false) + "\n";
    if (keep && !r->folder.empty()) t += "  folder: " + YamlQuote(r->folder) + "\n";
    t += "  ...\n";
  }
  return t;
}

}  // namespace tv::suite
