// The JUnit XML report. The strict Ant schema wants, for each testsuite,
// its properties, its testcases, then system-out and system-err, and
// hostname, timestamp and (inside testsuites) package and id; a testcase
// holds at most one of skipped, error and failure and nothing else. One
// testsuite per script keeps each script's log and properties with it under
// both schemas.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "suite/report.h"
#include "suite/reports.h"

namespace tv::suite {

namespace {

// The most of a run's output (its beginning) and of its log (its end) that
// a report carries.
constexpr size_t kMaxOutput = 16u << 20;
constexpr size_t kMaxLog = 16u << 20;

void Put(FILE* f, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), f);
}

std::string Attr(const std::string& text) {
  return "\"" + XmlEscape(text, true) + "\"";
}

std::string Decimal(double seconds) {
  return FormatSeconds(seconds, 3, false);
}

std::string Property(const std::string& name, const std::string& value) {
  return "      <property name=" + Attr(name) + " value=" + Attr(value) + "/>\n";
}

// A file as XML character data, read in pieces: the beginning of an output
// (what is left out noted after it), the end of a log (noted before it).
void PutFile(FILE* f, const std::string& path, bool log) {
  if (path.empty()) return;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  const size_t max = log ? kMaxLog : kMaxOutput;
  size_t left = size;
  if (size > max) {
    left = max;
    if (log) {
      lseek(fd, static_cast<off_t>(size - max), SEEK_SET);
      Put(f, XmlEscape("[... vynecháno " + std::to_string(size - max) +
                           " bajtů ze začátku protokolu ...]\n",
                       false));
    }
  }
  XmlTextStream text(log);
  char buf[65536];
  while (left > 0) {
    const ssize_t n = read(fd, buf, std::min(left, sizeof buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    left -= static_cast<size_t>(n);
    Put(f, text.Put(buf, static_cast<size_t>(n)));
  }
  Put(f, text.End());
  close(fd);
  if (!log && size > max) {
    Put(f, XmlEscape("\n[... vynecháno dalších " + std::to_string(size - max) + " bajtů ...]\n",
                     false));
  }
}

}  // namespace

JUnitWriter::~JUnitWriter() {
  if (file_) std::fclose(file_);
}

bool JUnitWriter::Open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || !host[0])
    std::snprintf(host, sizeof host, "%s", "localhost");
  host_ = host;
  Put(file_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n");
  std::fflush(file_);
  return true;
}

void JUnitWriter::Write(const ScriptReport& r) {
  if (!file_) return;
  const Planned& s = *r.script;
  const bool failed = r.kind == Kind::Failed, error = r.kind == Kind::Error;
  const bool skipped = r.kind == Kind::Skipped;
  char stamp[32];
  tm local;
  const time_t at = r.startedAt ? r.startedAt : time(nullptr);
  localtime_r(&at, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  std::string x = "  <testsuite name=" + Attr(s.name) + " package=" + Attr(s.className) + " id=\"" +
                  std::to_string(id_++) + "\" hostname=" + Attr(host_) + " timestamp=\"" + stamp +
                  "\" tests=\"1\" failures=\"" + (failed ? "1" : "0") + "\" errors=\"" +
                  (error ? "1" : "0") + "\" skipped=\"" + (skipped ? "1" : "0") + "\" time=\"" +
                  Decimal(r.seconds) + "\">\n";

  std::string properties;
  if ((failed || error) && !r.verdict.file.empty()) {
    properties += Property("tarvelin.file", r.verdict.file);
    properties += Property("tarvelin.line", std::to_string(r.verdict.line));
  }
  if (r.attempts > 1) properties += Property("tarvelin.attempts", std::to_string(r.attempts));
  if (r.flakyRuns > 0) {
    properties += Property("tarvelin.flaky", std::to_string(r.flakyRuns));
    properties += Property("tarvelin.flaky.cause", r.flakyCause);
  }
  if (r.repeat > 1) {
    properties += Property("tarvelin.runs", std::to_string(r.times.size()));
    properties += Property("tarvelin.runs.failed", std::to_string(r.failedRuns));
    if (r.skippedRuns > 0) {
      properties += Property("tarvelin.runs.skipped", std::to_string(r.skippedRuns));
    }
    if (!r.times.empty()) {
      const Timing t = Summarize(r.times);
      properties += Property("tarvelin.time.min", Decimal(t.min));
      properties += Property("tarvelin.time.median", Decimal(t.median));
      properties += Property("tarvelin.time.p95", Decimal(t.p95));
      properties += Property("tarvelin.time.max", Decimal(t.max));
    }
  }
  x += properties.empty() ? "    <properties/>\n"
                          : "    <properties>\n" + properties + "    </properties>\n";

  x += "    <testcase name=" + Attr(s.name) + " classname=" + Attr(s.className) + " time=\"" +
       Decimal(r.seconds) + "\"";
  if (skipped) {
    x += ">\n      <skipped message=" + Attr(r.skipReason) + "/>\n    </testcase>\n";
  } else if (failed || error) {
    std::string message = r.verdict.cause;
    if (r.repeat > 1) {
      message = "Selhalo běhů: " + std::to_string(r.failedRuns) + " z " +
                std::to_string(r.times.size()) + "; první: " + message;
    }
    std::string body = message + "\n";
    if (!r.verdict.file.empty()) {
      body += "Místo: " + r.verdict.file + ", řádka " + std::to_string(r.verdict.line) + "\n";
    }
    body += StatusText(r);
    const char* element = error ? "error" : "failure";
    x += ">\n      <" + std::string(element) + " message=" + Attr(message) +
         " type=" + Attr(r.verdict.type) + ">" + XmlEscape(body, false) + "</" + element +
         ">\n    </testcase>\n";
  } else {
    x += "/>\n";
  }
  Put(file_, x);
  Put(file_, "    <system-out>");
  if (!skipped) PutFile(file_, r.logPath, true);
  Put(file_, "</system-out>\n    <system-err>");
  if (!skipped) PutFile(file_, r.outputPath, false);
  Put(file_, "</system-err>\n  </testsuite>\n");
  std::fflush(file_);
}

bool JUnitWriter::Close() {
  if (!file_) return true;
  Put(file_, "</testsuites>\n");
  const bool ok = !std::ferror(file_);
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return ok && closed;
}

}  // namespace tv::suite
