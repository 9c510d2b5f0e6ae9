#include "suite/runner.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>
#include <list>

#include "posix/cmdline.h"
#include "suite/files.h"
#include "suite/outcome.h"
#include "suite/process.h"

namespace tv::suite {

namespace {

// How long a run may take to go after SIGTERM before it gets SIGKILL.
constexpr double kGraceSeconds = 2.0;

// One run of a script to start: which repetition, which attempt, and for a
// retry how the attempt before it failed.
struct Job {
  size_t script = 0;
  int repetition = 1;
  int attempt = 1;
  std::string firstCause;  // of the repetition's first attempt
  Verdict failed;          // of the attempt before
  int status = 0;
  double seconds = 0;
};

struct Attempt {
  Job job;
  std::string folder, outputPath, resultPath, logPath;
  pid_t pid = -1;
  double started = 0;
  Ending ending;
  bool terminating = false, killed = false;
  double killAt = 0;
};

struct ScriptState {
  int pending = 0, running = 0, ended = 0;
  bool reported = false;
  bool shownFailed = false;  // the shown run failed: no later one replaces it
  std::string shownFolder;   // its files, removed once the script is reported
  std::string shownOutput;
  ScriptReport report;
};

// The kept folder's name: the position on the command line (two scripts of
// one name in different folders stay apart), the repetition when there are
// several, and the path without its ending.
std::string RunFolderName(size_t index, int repetition, bool repeated, const std::string& script) {
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
  char number[32];
  if (repeated) {
    std::snprintf(number, sizeof number, "%03zu.%d", index + 1, repetition);
  } else {
    std::snprintf(number, sizeof number, "%03zu", index + 1);
  }
  return std::string(number) + "-" + (path.empty() ? "script" : path);
}

class Suite {
 public:
  Suite(const Options& o, const std::vector<Planned>& plan, const SuiteFolders& folders,
        JUnitWriter* junit)
      : o_(o),
        plan_(plan),
        folders_(folders),
        junit_(junit),
        console_(!o.tap, !o.keep.empty()),
        tap_(!o.keep.empty()),
        scripts_(plan.size()) {}

  int Run();

 private:
  void Start();
  void Finish(Attempt& a);
  // The end of an attempt: a retry, or the last attempt of its repetition.
  void Ended(const Attempt& a, const Verdict& v, bool started, int status, double seconds);
  void RepetitionEnded(const Attempt& a, const Verdict& v, bool started, int status,
                       double seconds);
  void Discard(const std::string& folder, const std::string& output);
  void StopStarting(const std::string& why);
  void MaybeReport(size_t index);
  void Report(ScriptState& st);
  void Wait();
  void Watch(double now);

  const Options& o_;
  const std::vector<Planned>& plan_;
  const SuiteFolders& folders_;
  JUnitWriter* junit_;
  Console console_;
  TapWriter tap_;
  std::vector<ScriptState> scripts_;
  std::deque<Job> queue_;
  std::list<Attempt> running_;
  size_t sequence_ = 0;
  size_t totalRuns_ = 0, endedRuns_ = 0, failedRuns_ = 0;
  size_t passed_ = 0, failed_ = 0, flaky_ = 0, skipped_ = 0;
  bool stopping_ = false;
  std::string stopReason_;
  int interrupts_ = 0;
  bool interrupted_ = false;
};

void Suite::Start() {
  const Job job = queue_.front();
  queue_.pop_front();
  ScriptState& st = scripts_[job.script];
  --st.pending;
  const Planned& script = plan_[job.script];
  Attempt a;
  a.job = job;
  const std::string seq = std::to_string(++sequence_);
  a.outputPath = folders_.work + "/output-" + seq;
  a.resultPath = folders_.work + "/result-" + seq;

  Launch launch;
  const std::string argsFile = Companion(script.given, ".args");
  std::string why;
  if (IsRegularFile(argsFile) && !posix::ReadArgsFile(argsFile, launch.args)) {
    why = "Nelze přečíst soubor " + argsFile + ": " + ErrnoText();
  } else if (!MakeFreshFolder(
                 folders_.parent,
                 RunFolderName(script.index, job.repetition, o_.repeat > 1, script.given),
                 a.folder)) {
    why = "Nelze vytvořit složku pro běh v " + folders_.parent + ": " + ErrnoText();
  } else {
    launch.program = o_.program;
    launch.args.push_back(AbsolutePath(script.given));
    launch.folder = a.folder;
    const std::string stdinFile = Companion(script.given, ".stdin");
    launch.stdinPath = IsRegularFile(stdinFile) ? stdinFile : "/dev/null";
    launch.outputPath = a.outputPath;
    launch.env.push_back("TARVELIN_RESULT=" + a.resultPath);
    if (StartProcess(launch, a.pid, why)) {
      a.started = Now();
      if (st.report.startedAt == 0) st.report.startedAt = time(nullptr);
      ++st.running;
      running_.push_back(a);
      return;
    }
  }
  unlink(a.resultPath.c_str());
  Ended(a, NotStarted(why), false, 0, 0);
}

void Suite::Finish(Attempt& a) {
  const double seconds = Now() - a.started;
  ScriptState& st = scripts_[a.job.script];
  --st.running;
  const ProgramResult result = ReadProgramResult(a.resultPath);
  unlink(a.resultPath.c_str());
  Verdict v = Judge(a.ending, result, o_.timeLimit);
  if (!v.file.empty()) v.file = RelativePath(NormalPath(v.file), folders_.root);
  // "-p -": no log; a program that gives no result: the default one.
  a.logPath = result.present ? result.log : a.folder + "/TARVELIN.LOG";
  if (!o_.keep.empty()) {
    const std::string kept = a.folder + "/stderr.txt";
    if (MoveFile(a.outputPath, kept)) a.outputPath = kept;
    // OutputFile writes where the script names it (beside the script, as in a
    // run by hand); the kept folder gets a copy.
    const std::string inside = a.folder + "/";
    for (const std::string& path : result.captures) {
      if (path.compare(0, inside.size(), inside) == 0 || !IsRegularFile(path)) continue;
      CopyFile(path, FreeName(a.folder, BaseName(path)));
    }
  }
  Ended(a, v, true, a.ending.status, seconds);
}

void Suite::Discard(const std::string& folder, const std::string& output) {
  if (!o_.keep.empty()) return;
  if (!folder.empty()) RemoveTree(folder);
  if (!output.empty()) unlink(output.c_str());
}

void Suite::Ended(const Attempt& a, const Verdict& v, bool started, int status, double seconds) {
  const Job& job = a.job;
  // A run that could not be run as a test, or that the suite itself ended,
  // would not do better a second time.
  const bool retry =
      !v.passed && !v.error && !a.ending.interrupted && job.attempt <= o_.retries && !stopping_;
  if (!retry) {
    RepetitionEnded(a, v, started, status, seconds);
    return;
  }
  console_.Retry(plan_[job.script], v, seconds, job.attempt, a.folder);
  Job next = job;
  ++next.attempt;
  if (next.firstCause.empty()) next.firstCause = v.cause;
  next.failed = v;
  next.status = status;
  next.seconds = seconds;
  Discard(a.folder, a.outputPath);
  ScriptState& st = scripts_[job.script];
  st.report.seconds += seconds;  // the script's time includes its retries
  ++st.pending;
  queue_.push_front(next);
}

void Suite::RepetitionEnded(const Attempt& a, const Verdict& v, bool started, int status,
                            double seconds) {
  ScriptState& st = scripts_[a.job.script];
  ScriptReport& r = st.report;
  ++st.ended;
  ++endedRuns_;
  if (started) r.times.push_back(seconds);
  r.seconds += seconds;
  if (v.passed && a.job.attempt > 1) {
    if (r.flakyRuns++ == 0) r.flakyCause = a.job.firstCause;
  }
  if (!v.passed) {
    ++r.failedRuns;
    ++failedRuns_;
  }
  // The report shows the first run that failed, otherwise the last one.
  if (!st.shownFailed) {
    Discard(st.shownFolder, st.shownOutput);
    st.shownFailed = !v.passed;
    st.shownFolder = a.folder;
    st.shownOutput = a.outputPath;
    r.verdict = v;
    r.started = started;
    r.status = status;
    r.attempts = a.job.attempt;
    r.folder = o_.keep.empty() ? std::string() : a.folder;
    r.logPath = a.logPath;
    r.outputPath = a.outputPath;
  } else {
    Discard(a.folder, a.outputPath);
  }
  console_.Progress(endedRuns_, totalRuns_, failedRuns_);
  if (!v.passed && o_.maxFailures > 0 && static_cast<long>(failedRuns_) >= o_.maxFailures &&
      !stopping_) {
    StopStarting(o_.maxFailures == 1
                     ? "sada skončila po prvním selhání"
                     : "sada skončila po " + std::to_string(o_.maxFailures) + " selháních");
  }
  MaybeReport(a.job.script);
}

void Suite::StopStarting(const std::string& why) {
  stopping_ = true;
  stopReason_ = why;
  std::deque<Job> dropped;
  dropped.swap(queue_);
  for (const Job& job : dropped) {
    --scripts_[job.script].pending;
    // A retry not made: the attempt before it was the last.
    if (job.attempt > 1) {
      Attempt a;
      a.job = job;
      --a.job.attempt;
      RepetitionEnded(a, job.failed, true, job.status, job.seconds);
    }
  }
  for (size_t i = 0; i < scripts_.size(); ++i) MaybeReport(i);
}

void Suite::MaybeReport(size_t index) {
  ScriptState& st = scripts_[index];
  if (st.reported || st.pending > 0 || st.running > 0 || st.ended == 0) return;
  ScriptReport& r = st.report;
  r.script = &plan_[index];
  r.repeat = o_.repeat;
  r.skippedRuns = o_.repeat - st.ended;
  if (r.verdict.error) {
    r.kind = Kind::Error;
  } else if (r.failedRuns > 0) {
    r.kind = Kind::Failed;
  } else if (r.flakyRuns > 0) {
    r.kind = Kind::Flaky;
  } else {
    r.kind = Kind::Passed;
  }
  Report(st);
}

void Suite::Report(ScriptState& st) {
  ScriptReport& r = st.report;
  st.reported = true;
  switch (r.kind) {
    case Kind::Passed:
      ++passed_;
      break;
    case Kind::Flaky:
      ++flaky_;
      break;
    case Kind::Skipped:
      ++skipped_;
      break;
    default:
      ++failed_;
  }
  console_.Write(r);
  if (o_.tap) console_.Text(tap_.Write(r));
  if (junit_) junit_->Write(r);
  Discard(st.shownFolder, st.shownOutput);
  st.shownFolder.clear();
  st.shownOutput.clear();
}

void Suite::Wait() {
  double nearest = -1;
  for (const Attempt& a : running_) {
    double at = -1;
    if (a.terminating && !a.killed) {
      at = a.killAt;
    } else if (!a.terminating && o_.timeLimit > 0) {
      at = a.started + o_.timeLimit;
    }
    if (at >= 0 && (nearest < 0 || at < nearest)) nearest = at;
  }
  int timeout = -1;
  if (nearest >= 0) {
    timeout = static_cast<int>(std::ceil(std::max(0.0, nearest - Now()) * 1000));
  }
  pollfd fd{SignalFd(), POLLIN, 0};
  if (poll(&fd, 1, timeout) > 0) interrupts_ += TakeInterrupts();
}

void Suite::Watch(double now) {
  for (auto it = running_.begin(); it != running_.end();) {
    Attempt& a = *it;
    if (ReapRun(a.pid, a.ending.status)) {
      Finish(a);
      it = running_.erase(it);
      continue;
    }
    bool terminate = false;
    if (interrupts_ > 0 && !a.terminating) {
      a.ending.interrupted = true;
      terminate = true;
    }
    if (!a.terminating && o_.timeLimit > 0 && now >= a.started + o_.timeLimit) {
      a.ending.timedOut = true;
      terminate = true;
    }
    if (terminate) {
      SignalRun(a.pid, SIGTERM);
      a.terminating = true;
      a.killAt = now + kGraceSeconds;
    }
    // A second interruption does not wait for the grace period.
    if (a.terminating && !a.killed && (now >= a.killAt || interrupts_ > 1)) {
      SignalRun(a.pid, SIGKILL);
      a.killed = true;
    }
    ++it;
  }
}

int Suite::Run() {
  if (o_.tap) console_.Text(tap_.Begin(plan_.size()));
  for (size_t i = 0; i < plan_.size(); ++i) {
    for (int rep = 1; rep <= o_.repeat; ++rep) {
      Job job;
      job.script = i;
      job.repetition = rep;
      queue_.push_back(job);
      ++scripts_[i].pending;
    }
  }
  totalRuns_ = queue_.size();
  console_.Progress(0, totalRuns_, 0);
  for (;;) {
    while (!stopping_ && static_cast<int>(running_.size()) < o_.jobs && !queue_.empty()) Start();
    if (running_.empty()) break;
    Wait();
    if (interrupts_ > 0 && !interrupted_) {
      interrupted_ = true;
      StopStarting("sada byla přerušena");
    }
    Watch(Now());
  }
  const bool interrupted = interrupted_;
  // What never started.
  const std::string& why = stopReason_;
  for (size_t i = 0; i < scripts_.size(); ++i) {
    ScriptState& st = scripts_[i];
    if (st.reported) continue;
    st.report.script = &plan_[i];
    st.report.kind = Kind::Skipped;
    st.report.repeat = o_.repeat;
    st.report.skippedRuns = o_.repeat;
    st.report.skipReason = "Nespuštěn: " + why + ".";
    Report(st);
  }
  console_.Finish();
  const std::string notStarted = "Sada přerušena, nespuštěno scriptů: " + std::to_string(skipped_);
  if (o_.tap) {
    if (interrupted) console_.Text(tap_.BailOut(notStarted));
  } else {
    console_.Line(SummaryLine(passed_, failed_, flaky_, skipped_));
  }
  int status = failed_ > 0 || skipped_ > 0 ? 1 : 0;
  if (interrupted) {
    std::fprintf(stderr, "tarvelin-suite: %s.\n", notStarted.c_str());
    status = 130;
  }
  return status;
}

}  // namespace

int RunSuite(const Options& o, const std::vector<Planned>& plan, const SuiteFolders& folders,
             JUnitWriter* junit) {
  Suite suite(o, plan, folders, junit);
  return suite.Run();
}

}  // namespace tv::suite
