// tarvelin-suite: runs scripts with the headless program, each in a fresh
// folder of its own and several at a time, and reports the results as lines,
// a JUnit XML file or a TAP stream.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "suite/files.h"
#include "suite/options.h"
#include "suite/outcome.h"
#include "suite/process.h"
#include "suite/report.h"
#include "suite/reports.h"

namespace tv::suite {

namespace {

// How long a run may take to go after SIGTERM before it gets SIGKILL.
constexpr double kGraceSeconds = 2.0;
// The most of a run's output and of its log that a report carries.
constexpr size_t kMaxOutput = 16u << 20;
constexpr size_t kMaxLog = 16u << 20;

enum class State { Pending, Running, Done };

struct Run {
  size_t index = 0;
  std::string folder;  // its current directory, HOME and XDG_CONFIG_HOME
  std::string resultPath;
  std::vector<std::string> args;
  State state = State::Pending;
  pid_t pid = -1;
  int outFd = -1;
  size_t outputDropped = 0;
  double started = 0;
  Ending ending;
  bool terminating = false, killed = false;
  double killAt = 0;
  Record record;
};

void WriteOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

// The kept folder's name: the position on the command line (two scripts of
// one name in different folders stay apart) and the path without its ending.
std::string RunFolderName(size_t index, const std::string& script) {
  std::string path = script;
  for (;;) {
    if (path.compare(0, 2, "./") == 0) {
      path.erase(0, 2);
    } else if (path.compare(0, 3, "../") == 0) {
      path.erase(0, 3);
    } else if (!path.empty() && path[0] == '/') {
      path.erase(0, 1);
    } else {
      break;
    }
  }
  const std::string base = BaseName(path);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) path.erase(path.size() - (base.size() - dot));
  for (char& ch : path) {
    if (ch == '/') ch = '_';
  }
  char number[16];
  std::snprintf(number, sizeof number, "%03zu", index + 1);
  return std::string(number) + "-" + (path.empty() ? "script" : path);
}

// The arguments of NAME.args: one a line, a CR before the LF dropped, empty
// lines left out.
bool ReadArgsFile(const std::string& path, std::vector<std::string>& args) {
  std::string text;
  size_t total;
  if (!ReadFileTail(path, 1u << 20, text, total) || total > text.size()) return false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) args.push_back(line);
    pos = end + 1;
  }
  return true;
}

bool Start(Run& run, const Options& o, const std::string& parent, const std::string& work) {
  const std::string& script = run.record.script;
  const std::string argsFile = Companion(script, ".args");
  if (IsRegularFile(argsFile) && !ReadArgsFile(argsFile, run.args)) {
    run.record.verdict = NotStarted("Nelze přečíst soubor " + argsFile + ": " + ErrnoText());
    return false;
  }
  if (!MakeFreshFolder(parent, RunFolderName(run.index, script), run.folder)) {
    run.record.verdict =
        NotStarted("Nelze vytvořit složku pro běh v " + parent + ": " + ErrnoText());
    return false;
  }
  run.resultPath = work + "/result-" + std::to_string(run.index + 1);
  Launch launch;
  launch.program = o.program;
  launch.args = run.args;
  launch.args.push_back(AbsolutePath(script));
  launch.folder = run.folder;
  const std::string stdinFile = Companion(script, ".stdin");
  launch.stdinPath = IsRegularFile(stdinFile) ? stdinFile : "/dev/null";
  launch.env.push_back("TARVELIN_RESULT=" + run.resultPath);
  std::string why;
  if (!StartProcess(launch, run.pid, run.outFd, why)) {
    run.record.verdict = NotStarted(why);
    return false;
  }
  run.started = Now();
  run.state = State::Running;
  run.record.started = true;
  return true;
}

void ReadOutput(Run& run) {
  if (run.outFd < 0) return;
  char buf[65536];
  std::string& output = run.record.output;
  for (;;) {
    const ssize_t n = read(run.outFd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      close(run.outFd);
      run.outFd = -1;
      return;
    }
    const size_t room = kMaxOutput - std::min(kMaxOutput, output.size());
    const size_t take = std::min(room, static_cast<size_t>(n));
    output.append(buf, take);
    run.outputDropped += static_cast<size_t>(n) - take;
  }
}

void Terminate(Run& run, double now) {
  if (run.terminating) return;
  SignalRun(run.pid, SIGTERM);
  run.terminating = true;
  run.killAt = now + kGraceSeconds;
}

void Finish(Run& run, const Options& o, double now) {
  Record& r = run.record;
  r.seconds = now - run.started;
  run.state = State::Done;
  const ProgramResult result = ReadProgramResult(run.resultPath);
  unlink(run.resultPath.c_str());
  r.status = run.ending.status;
  r.verdict = Judge(run.ending, result, o.timeLimit);

  std::string logBytes;
  size_t logSize = 0;
  const std::string logPath =
      result.present ? result.log : std::string(run.folder + "/TARVELIN.LOG");
  if (!logPath.empty()) ReadFileTail(logPath, kMaxLog, logBytes, logSize);
  if (!o.keep.empty()) {
    WriteWholeFile(run.folder + "/stderr.txt", r.output);
    // OutputFile writes where the script names it (beside the script, as in a
    // run by hand); the kept folder gets a copy.
    const std::string inside = run.folder + "/";
    for (const std::string& path : result.captures) {
      if (path.compare(0, inside.size(), inside) == 0 || !IsRegularFile(path)) continue;
      CopyFile(path, FreeName(run.folder, BaseName(path)));
    }
    r.folder = run.folder;
  }
  if (!o.junit.empty()) {
    r.log = LogToUtf8(logBytes);
    if (logSize > logBytes.size()) {
      r.log = "[... vynecháno " + std::to_string(logSize - logBytes.size()) +
              " bajtů ze začátku protokolu ...]\n" + r.log;
    }
  }
  if (run.outputDropped > 0) {
    r.output += "\n[... vynecháno dalších " + std::to_string(run.outputDropped) + " bajtů ...]\n";
  }
}

bool Reap(Run& run) {
  if (!ReapRun(run.pid, run.ending.status)) return false;
  ReadOutput(run);
  if (run.outFd >= 0) {
    close(run.outFd);
    run.outFd = -1;
  }
  return true;
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  std::string wrong;
  switch (ParseCommandLine(argc, argv, o, wrong)) {
    case Parsed::Help:
      WriteOut(kUsage);
      return 0;
    case Parsed::Wrong:
      WriteErr("tarvelin-suite: " + wrong + "\n" + kUsage);
      return 2;
    case Parsed::Run:
      break;
  }
  if (o.program.empty()) o.program = DefaultProgram();
  o.program = AbsolutePath(o.program);
  if (access(o.program.c_str(), X_OK) != 0 || !IsRegularFile(o.program)) {
    WriteErr("tarvelin-suite: Program " + o.program + " nelze spustit.\n" + kUsage);
    return 2;
  }
  if (!o.keep.empty()) {
    o.keep = AbsolutePath(o.keep);
    if (!MakeFolders(o.keep)) {
      WriteErr("tarvelin-suite: Nelze vytvořit složku " + o.keep + ": " + ErrnoText() + "\n");
      return 2;
    }
  }
  // The suite's own folder: the result files, and the runs' folders unless
  // they are kept.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvelin-suite.XXXXXX";
  if (!mkdtemp(pattern.data())) {
    WriteErr("tarvelin-suite: Nelze vytvořit dočasnou složku: " + ErrnoText() + "\n");
    return 2;
  }
  const std::string work = AbsolutePath(pattern);
  const std::string parent = o.keep.empty() ? work : o.keep;

  if (!InstallSignalHandlers()) {
    WriteErr("tarvelin-suite: " + ErrnoText() + "\n");
    RemoveTree(work);
    return 2;
  }

  const time_t startedAt = time(nullptr);
  const double suiteStart = Now();
  std::vector<Run> runs(o.scripts.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    runs[i].index = i;
    runs[i].record.script = o.scripts[i];
  }
  size_t next = 0;
  int running = 0, interrupts = 0;
  for (;;) {
    while (interrupts == 0 && running < o.jobs && next < runs.size()) {
      Run& run = runs[next++];
      if (Start(run, o, parent, work)) {
        ++running;
      } else {
        run.state = State::Done;
        if (!o.tap) WriteOut(HumanLine(run.record, !o.keep.empty()));
      }
    }
    if (running == 0) break;

    std::vector<pollfd> fds{pollfd{SignalFd(), POLLIN, 0}};
    std::vector<Run*> owners{nullptr};
    double nearest = -1;
    for (Run& run : runs) {
      if (run.state != State::Running) continue;
      if (run.outFd >= 0) {
        fds.push_back(pollfd{run.outFd, POLLIN, 0});
        owners.push_back(&run);
      }
      double at = -1;
      if (run.terminating && !run.killed) {
        at = run.killAt;
      } else if (!run.terminating && o.timeLimit > 0) {
        at = run.started + o.timeLimit;
      }
      if (at >= 0 && (nearest < 0 || at < nearest)) nearest = at;
    }
    int timeout = -1;
    if (nearest >= 0) {
      timeout = static_cast<int>(std::ceil(std::max(0.0, nearest - Now()) * 1000));
    }
    const int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
      WriteErr("tarvelin-suite: " + ErrnoText() + "\n");
      break;
    }
    if (ready > 0) {
      if (fds[0].revents) interrupts += TakeInterrupts();
      for (size_t k = 1; k < fds.size(); ++k) {
        if (fds[k].revents) ReadOutput(*owners[k]);
      }
    }
    const double now = Now();
    for (Run& run : runs) {
      if (run.state != State::Running) continue;
      if (Reap(run)) {
        --running;
        Finish(run, o, Now());
        if (!o.tap) WriteOut(HumanLine(run.record, !o.keep.empty()));
        continue;
      }
      if (interrupts > 0 && !run.terminating) {
        run.ending.interrupted = true;
        Terminate(run, now);
      }
      if (!run.terminating && o.timeLimit > 0 && now >= run.started + o.timeLimit) {
        run.ending.timedOut = true;
        Terminate(run, now);
      }
      // A second interruption does not wait for the grace period.
      if (run.terminating && !run.killed && (now >= run.killAt || interrupts > 1)) {
        SignalRun(run.pid, SIGKILL);
        run.killed = true;
      }
    }
  }
  const double suiteSeconds = Now() - suiteStart;

  std::vector<const Record*> done;
  size_t passed = 0, notStarted = 0;
  for (const Run& run : runs) {
    if (run.state == State::Pending) {
      ++notStarted;
      continue;
    }
    done.push_back(&run.record);
    if (run.record.verdict.passed) ++passed;
  }
  int status = passed == runs.size() ? 0 : 1;
  if (!o.junit.empty()) {
    if (!WriteWholeFile(o.junit, JUnitReport(done, suiteSeconds, startedAt))) {
      WriteErr("tarvelin-suite: Nelze zapsat zprávu " + o.junit + ": " + ErrnoText() + "\n");
      status = 1;
    }
  }
  if (o.tap) {
    std::string tap = TapReport(done, !o.keep.empty());
    if (interrupts > 0)
      tap += "# Sada přerušena, nespuštěno scriptů: " + std::to_string(notStarted) + "\n";
    WriteOut(tap);
  } else {
    WriteOut(std::to_string(passed) + " passed, " + std::to_string(done.size() - passed) +
             " failed\n");
  }
  if (interrupts > 0) {
    WriteErr("tarvelin-suite: Sada přerušena, nespuštěno scriptů: " + std::to_string(notStarted) +
             ".\n");
  }
  RemoveTree(work);
  return status;
}

}  // namespace tv::suite

int main(int argc, char** argv) {
  return tv::suite::Main(argc, argv);
}
