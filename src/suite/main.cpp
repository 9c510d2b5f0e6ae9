// tarvelin-suite: runs scripts with the headless program, each in a fresh
// folder of its own and several at a time, and reports the results as lines,
// a JUnit XML file or a TAP stream.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "posix/charset.h"
#include "posix/files.h"
#include "suite/report.h"

extern char** environ;

namespace tv::suite {

namespace {

const char kUsage[] =
    "Použití: tarvelin-suite [-j N] [--time-limit SEKUNDY] [--junit SOUBOR] [--tap]\n"
    "                        [--keep SLOŽKA] [--program PROGRAM] [--] script...\n"
    "  -j N                  nejvýše N běhů současně (výchozí: počet procesorů)\n"
    "  --time-limit SEKUNDY  nejdelší doba jednoho běhu (výchozí: bez omezení)\n"
    "  --junit SOUBOR        zpráva pro server CI ve formátu JUnit XML\n"
    "  --tap                 zpráva ve formátu TAP na standardní výstup\n"
    "  --keep SLOŽKA         složky běhů (protokol, zachycené soubory) zůstanou ve SLOŽCE\n"
    "  --program PROGRAM     spouštěný program (výchozí: tarvelin vedle tohoto programu)\n"
    "Ke scriptu JMÉNO.tvl patří JMÉNO.stdin (vstup obsluhy) a JMÉNO.args\n"
    "(volby programu před jménem scriptu, jedna na řádek).\n";

// How long a run may take to go after SIGTERM before it gets SIGKILL.
constexpr double kGraceSeconds = 2.0;
// The most of a run's output and of its log that a report carries.
constexpr size_t kMaxOutput = 16u << 20;
constexpr size_t kMaxLog = 16u << 20;

struct Options {
  int jobs = 0;
  double timeLimit = 0;  // 0: none
  std::string junit, keep, program;
  bool tap = false;
  std::vector<std::string> scripts;
};

enum class State { Pending, Running, Done, Error };

struct Run {
  size_t index = 0;
  std::string script;     // as the command line names it
  std::string absScript;  // what the program is given
  std::string folder;     // its current directory, HOME and XDG_CONFIG_HOME
  std::vector<std::string> args;
  State state = State::Pending;
  pid_t pid = -1;
  int outFd = -1;
  std::string output;  // standard output and standard error, UTF-8
  size_t outputDropped = 0;
  double started = 0, seconds = 0;
  bool timedOut = false, interrupted = false;
  bool terminating = false, killed = false;
  double killAt = 0;
  int status = 0;  // as waitpid gives it
  bool passed = false;
  std::string cause;
  std::string log;  // UTF-8
};

// SIGCHLD wakes the main loop; the others interrupt the suite.
constexpr int kHandledSignals[] = {SIGCHLD, SIGINT, SIGTERM, SIGHUP};
int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  if (write(g_signalPipe[1], &b, 1) < 0) {
    // A full pipe already holds a wake-up.
  }
  errno = saved;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void WriteOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string ErrnoText() {
  return std::strerror(errno);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// At most max bytes from the end of the file; total gets its size.
bool ReadFileTail(const std::string& path, size_t max, std::string& out, size_t& total) {
  out.clear();
  total = 0;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  total = static_cast<size_t>(st.st_size);
  if (total > max) lseek(fd, static_cast<off_t>(total - max), SEEK_SET);
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() >= max) break;
  }
  close(fd);
  return true;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> buf(4096);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return path;
    buf.resize(buf.size() * 2);
  }
  std::string cwd = buf.data();
  if (cwd.empty() || cwd.back() != '/') cwd += '/';
  std::string rest = path;
  while (rest.compare(0, 2, "./") == 0) rest.erase(0, 2);
  return cwd + rest;
}

std::string BaseName(const std::string& path) {
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// dir/NAME.tvl with another ending: dir/NAME.stdin, dir/NAME.args.
std::string Companion(const std::string& script, const char* ending) {
  const size_t slash = script.rfind('/');
  const size_t dot = script.rfind('.');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string stem = script;
  if (dot != std::string::npos && dot > start) stem = script.substr(0, dot);
  return stem + ending;
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

// A new folder parent/name, or parent/name.2, name.3 ... when it is taken.
bool MakeFreshFolder(const std::string& parent, const std::string& name, std::string& made) {
  for (int k = 1; k < 10000; ++k) {
    std::string path = parent + "/" + name;
    if (k > 1) path += "." + std::to_string(k);
    if (mkdir(path.c_str(), 0777) == 0) {
      made = path;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

bool MakeFolders(const std::string& path) {
  std::string part;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    part = path.substr(0, pos);
    if (part.empty()) continue;
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes a folder and everything below it; symbolic links are removed, never
// followed.
void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

bool CopyFile(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buf[65536];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!posix::WriteAll(out, buf, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0) ok = false;
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

// A name in folder that is not taken yet: name, name.2, name.3 ...
std::string FreeName(const std::string& folder, const std::string& name) {
  for (int k = 1;; ++k) {
    std::string path = folder + "/" + name;
    if (k > 1) path += "." + std::to_string(k);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return path;
  }
}

// --- The command line.

bool ParseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && end && *end == 0 && std::isfinite(value);
}

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

std::string DefaultProgram() {
  if (const char* env = std::getenv("TARVELIN")) {
    if (*env) return env;
  }
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "tarvelin";
  return FolderOf(std::string(buf.data(), static_cast<size_t>(n))) + "/tarvelin";
}

// An empty text when the command line is right, otherwise what is wrong.
std::string ParseCommandLine(int argc, char** argv, Options& o, bool& help) {
  bool jobsGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) o.scripts.push_back(argv[i]);
      break;
    }
    if (arg.empty() || arg[0] != '-' || arg == "-") {
      o.scripts.push_back(arg);
      continue;
    }
    std::string name = arg, value;
    bool hasValue = false;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        hasValue = true;
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      value = arg.substr(2);
      hasValue = true;
    }
    if (name == "-h" || name == "--help") {
      help = true;
      return std::string();
    }
    if (name == "--tap") {
      if (hasValue) return "Volba --tap nemá hodnotu.";
      o.tap = true;
      continue;
    }
    if (name != "-j" && name != "--jobs" && name != "--time-limit" && name != "--junit" &&
        name != "--keep" && name != "--program") {
      return "Neznámá volba: " + arg;
    }
    if (!hasValue) {
      if (i + 1 >= argc) return "Za volbou " + name + " chybí hodnota.";
      value = argv[++i];
    }
    if (name == "-j" || name == "--jobs") {
      double n;
      if (!ParseNumber(value, n) || n < 1 || n > 1024 || n != std::floor(n)) {
        return "Počet současných běhů musí být celé číslo od 1 do 1024: " + value;
      }
      o.jobs = static_cast<int>(n);
      jobsGiven = true;
    } else if (name == "--time-limit") {
      double s;
      if (!ParseNumber(value, s) || s <= 0 || s > 1e7) {
        return "Časový limit musí být kladný počet sekund: " + value;
      }
      o.timeLimit = s;
    } else if (value.empty()) {
      return "Volba " + name + " potřebuje neprázdnou hodnotu.";
    } else if (name == "--junit") {
      o.junit = value;
    } else if (name == "--keep") {
      o.keep = value;
    } else {
      o.program = value;
    }
  }
  if (o.scripts.empty()) return "Není zadán žádný script.";
  for (const std::string& s : o.scripts) {
    if (s.empty()) return "Prázdné jméno scriptu.";
  }
  if (!jobsGiven) o.jobs = ProcessorCount();
  return std::string();
}

// --- One run.

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

// Where the run's log is: TARVELIN.LOG in its folder unless -p names another
// ("-": none, an empty text is returned).
std::string LogPath(const Run& run) {
  std::string log = "TARVELIN.LOG";
  const std::string params = "p1d1D1c2a1n2";
  for (size_t i = 0; i < run.args.size(); ++i) {
    const std::string& arg = run.args[i];
    if (arg == "--" || arg.size() < 2 || arg[0] != '-') break;
    const size_t at = params.find(arg[1]);
    if (at == std::string::npos || at % 2 != 0) break;
    const int count = params[at + 1] - '0';
    std::vector<std::string> values;
    if (arg.size() > 2) values.push_back(arg.substr(2));
    while (static_cast<int>(values.size()) < count && i + 1 < run.args.size()) {
      values.push_back(run.args[++i]);
    }
    if (arg[1] == 'p' && !values.empty()) log = values[0];
  }
  if (log == "-") return std::string();
  return log[0] == '/' ? log : run.folder + "/" + log;
}

bool Start(Run& run, const Options& o, const std::string& parent) {
  run.absScript = AbsolutePath(run.script);
  const std::string argsFile = Companion(run.script, ".args");
  if (IsRegularFile(argsFile) && !ReadArgsFile(argsFile, run.args)) {
    run.cause = "Nelze přečíst soubor " + argsFile + ": " + ErrnoText();
    return false;
  }
  if (!MakeFreshFolder(parent, RunFolderName(run.index, run.script), run.folder)) {
    run.cause = "Nelze vytvořit složku pro běh v " + parent + ": " + ErrnoText();
    return false;
  }
  const std::string stdinFile = Companion(run.script, ".stdin");
  const int in = open(IsRegularFile(stdinFile) ? stdinFile.c_str() : "/dev/null",
                      O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) {
    run.cause = "Nelze otevřít vstup obsluhy " + stdinFile + ": " + ErrnoText();
    return false;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    run.cause = "Nelze vytvořit rouru: " + ErrnoText();
    close(in);
    return false;
  }

  // Everything the child needs is made before the fork.
  std::vector<std::string> argStrings;
  argStrings.push_back(o.program);
  argStrings.insert(argStrings.end(), run.args.begin(), run.args.end());
  argStrings.push_back(run.absScript);
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.compare(0, 5, "HOME=") == 0 || entry.compare(0, 16, "XDG_CONFIG_HOME=") == 0 ||
        entry.compare(0, 4, "PWD=") == 0) {
      continue;
    }
    envStrings.push_back(entry);
  }
  envStrings.push_back("HOME=" + run.folder);
  envStrings.push_back("XDG_CONFIG_HOME=" + run.folder);
  envStrings.push_back("PWD=" + run.folder);
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string failure = "Nelze spustit program " + o.program + "\n";

  // The child must not run the suite's handlers between the fork and the
  // exec (a SIGTERM meant for the run would be taken for an interruption of
  // the suite): they are blocked across the fork and reset in the child.
  sigset_t handled, previous;
  sigemptyset(&handled);
  for (int sig : kHandledSignals) sigaddset(&handled, sig);
  sigprocmask(SIG_BLOCK, &handled, &previous);
  const pid_t pid = fork();
  if (pid != 0) sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) {
    run.cause = "Nelze spustit další proces: " + ErrnoText();
    close(in);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (pid == 0) {
    // The run and whatever it starts form a process group of their own, so
    // that ending the run ends all of it, and Ctrl-C reaches only the suite.
    setpgid(0, 0);
    for (int sig : kHandledSignals) signal(sig, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(in, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    if (chdir(run.folder.c_str()) == 0) execve(o.program.c_str(), argv.data(), envp.data());
    if (write(STDERR_FILENO, failure.data(), failure.size()) < 0) {
      // Nothing more can be said.
    }
    _exit(127);
  }
  setpgid(pid, pid);  // also here, so that a kill right away finds the group
  close(in);
  close(out[1]);
  fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
  run.pid = pid;
  run.outFd = out[0];
  run.started = Now();
  run.state = State::Running;
  return true;
}

void ReadOutput(Run& run) {
  if (run.outFd < 0) return;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(run.outFd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      close(run.outFd);
      run.outFd = -1;
      return;
    }
    const size_t room = kMaxOutput - std::min(kMaxOutput, run.output.size());
    const size_t take = std::min(room, static_cast<size_t>(n));
    run.output.append(buf, take);
    run.outputDropped += static_cast<size_t>(n) - take;
  }
}

void Terminate(Run& run, double now) {
  if (run.terminating) return;
  kill(-run.pid, SIGTERM);
  run.terminating = true;
  run.killAt = now + kGraceSeconds;
}

// The text of the first box of that title on standard error.
bool FindBox(const std::string& output, const std::string& title, std::string& text) {
  const std::string head = "[" + title + "] ";
  size_t pos = 0;
  while (pos < output.size()) {
    size_t end = output.find('\n', pos);
    if (end == std::string::npos) end = output.size();
    if (output.compare(pos, head.size(), head) == 0) {
      text = output.substr(pos + head.size(), end - pos - head.size());
      return true;
    }
    pos = end + 1;
  }
  return false;
}

bool HasLine(const std::string& text, const std::string& line) {
  size_t pos = 0;
  while ((pos = text.find(line, pos)) != std::string::npos) {
    const bool starts = pos == 0 || text[pos - 1] == '\n';
    const size_t after = pos + line.size();
    if (starts && (after == text.size() || text[after] == '\n' || text[after] == '\r')) return true;
    pos = after;
  }
  return false;
}

// The files the run's OutputFile commands wrote, as the log names them.
std::vector<std::string> CaptureFiles(const std::string& logCp1250) {
  const std::string head = posix::FromUtf8("Otevírám pro zápis soubor ");
  std::vector<std::string> files;
  std::set<std::string> seen;
  size_t pos = 0;
  while (pos < logCp1250.size()) {
    size_t end = logCp1250.find('\n', pos);
    if (end == std::string::npos) end = logCp1250.size();
    if (logCp1250.compare(pos, head.size(), head) == 0) {
      std::string name = logCp1250.substr(pos + head.size(), end - pos - head.size());
      if (!name.empty() && name.back() == '\r') name.pop_back();
      const std::string path = posix::FileNameToUtf8(name);
      if (seen.insert(path).second) files.push_back(path);
    }
    pos = end + 1;
  }
  return files;
}

void Finish(Run& run, const Options& o, double now) {
  run.seconds = now - run.started;
  run.state = State::Done;
  const std::string logPath = LogPath(run);
  std::string logBytes;
  size_t logSize = 0;
  if (!logPath.empty()) ReadFileTail(logPath, kMaxLog, logBytes, logSize);

  const int exitStatus = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
  std::string box;
  if (run.timedOut) {
    const bool whole = o.timeLimit == std::floor(o.timeLimit);
    run.cause = "Běh překročil časový limit " + FormatSeconds(o.timeLimit, whole ? 0 : 3, true) +
                " s a byl ukončen.";
  } else if (run.interrupted) {
    run.cause = "Běh ukončen, protože byla přerušena sada.";
  } else if (WIFSIGNALED(run.status)) {
    run.cause = "Program ukončen signálem " + std::to_string(WTERMSIG(run.status)) + ".";
  } else if (exitStatus == 0) {
    run.passed = true;
  } else if (exitStatus == 3) {
    run.cause = "Script ukončen svým časovým limitem.";
    if (FindBox(run.output, "*** CHYBA ***", box)) run.cause += " " + box;
  } else if (FindBox(run.output, "*** CHYBA ***", box)) {
    run.cause = box;
  } else if (HasLine(logBytes, posix::FromUtf8("Akce přerušena obsluhou."))) {
    run.cause = "Běh přerušen obsluhou.";
  } else if (HasLine(run.output, "Nic dalšího už nemůže přijít - zavírám okno.")) {
    run.cause = "Čekání, které už nic nemůže ukončit: okno zavřeno.";
  } else if (FindBox(run.output, "Chyba v argumentech programu", box)) {
    run.cause = "Chyba v argumentech programu: " + box;
  } else if (exitStatus == 127 && run.output.compare(0, 22, "Nelze spustit program ") == 0) {
    run.cause = run.output.substr(0, run.output.find('\n'));
  } else {
    run.cause = "Program skončil se stavem " + std::to_string(exitStatus) + ".";
  }

  if (!o.keep.empty()) {
    WriteWholeFile(run.folder + "/stderr.txt", run.output);
    // OutputFile writes where the script names it (beside the script, as in a
    // run by hand); the kept folder gets a copy.
    const std::string inside = run.folder + "/";
    for (const std::string& path : CaptureFiles(logBytes)) {
      if (path.compare(0, inside.size(), inside) == 0 || !IsRegularFile(path)) continue;
      CopyFile(path, FreeName(run.folder, BaseName(path)));
    }
  }
  if (!o.junit.empty()) {
    run.log = LogToUtf8(logBytes);
    if (logSize > logBytes.size()) {
      run.log = "[... vynecháno " + std::to_string(logSize - logBytes.size()) +
                " bajtů ze začátku protokolu ...]\n" + run.log;
    }
  }
  if (run.outputDropped > 0) {
    run.output += "\n[... vynecháno dalších " + std::to_string(run.outputDropped) + " bajtů ...]\n";
  }
}

// Waits for the exited run (still a zombie, so its process group cannot be
// taken by another), ends what it left running, and reaps it.
bool Reap(Run& run) {
  siginfo_t info;
  info.si_pid = 0;
  if (waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == 0) {
    return false;
  }
  kill(-run.pid, SIGKILL);
  while (waitpid(run.pid, &run.status, 0) < 0 && errno == EINTR) {
  }
  ReadOutput(run);
  if (run.outFd >= 0) {
    close(run.outFd);
    run.outFd = -1;
  }
  return true;
}

// --- Reports.

std::string HumanLine(const Run& run, const Options& o) {
  std::string line = run.passed ? "prošel: " : "selhal: ";
  line += run.script + " (" + FormatSeconds(run.seconds, 2, true) + " s)";
  if (!run.passed) line += ": " + run.cause;
  if (!o.keep.empty() && !run.folder.empty()) line += " [" + run.folder + "]";
  return CleanUtf8(line) + "\n";
}

std::string StatusText(const Run& run) {
  if (run.state == State::Error) return "Běh nespuštěn.";
  if (WIFSIGNALED(run.status)) return "Ukončen signálem " + std::to_string(WTERMSIG(run.status));
  return "Stav ukončení: " + std::to_string(WEXITSTATUS(run.status));
}

std::string FailureType(const Run& run) {
  if (WIFSIGNALED(run.status)) return "signál " + std::to_string(WTERMSIG(run.status));
  return "stav " + std::to_string(WEXITSTATUS(run.status));
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

std::string JUnitReport(const std::vector<const Run*>& runs, double seconds, time_t startedAt) {
  size_t failures = 0, errors = 0;
  for (const Run* r : runs) {
    if (r->state == State::Error) {
      ++errors;
    } else if (!r->passed) {
      ++failures;
    }
  }
  char stamp[32];
  tm local;
  localtime_r(&startedAt, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<testsuite name=\"tarvelin-suite\" tests=\"" + std::to_string(runs.size()) +
       "\" failures=\"" + std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
       "\" skipped=\"0\" time=\"" + FormatSeconds(seconds, 3, false) + "\" timestamp=\"" + stamp +
       "\">\n";
  for (const Run* r : runs) {
    x += "  <testcase name=\"" + XmlEscape(r->script, true) + "\" classname=\"" +
         XmlEscape(ClassName(r->script), true) + "\" time=\"" +
         FormatSeconds(r->seconds, 3, false) + "\">\n";
    if (r->state == State::Error) {
      x += "    <error message=\"" + XmlEscape(r->cause, true) + "\" type=\"" +
           XmlEscape("běh nespuštěn", true) + "\">" + XmlEscape(r->cause, false) + "</error>\n";
    } else if (!r->passed) {
      x += "    <failure message=\"" + XmlEscape(r->cause, true) + "\" type=\"" +
           XmlEscape(FailureType(*r), true) + "\">" +
           XmlEscape(r->cause + "\n" + StatusText(*r), false) + "</failure>\n";
    }
    x += "    <system-out>" + XmlEscape(r->log, false) + "</system-out>\n";
    x += "    <system-err>" + XmlEscape(r->output, false) + "</system-err>\n";
    x += "  </testcase>\n";
  }
  x += "</testsuite>\n";
  return x;
}

std::string TapReport(const std::vector<const Run*>& runs, const Options& o) {
  std::string t = "TAP version 13\n1.." + std::to_string(runs.size()) + "\n";
  size_t number = 0;
  for (const Run* r : runs) {
    // A '#' would start a directive, a line end a new line of the stream.
    std::string name;
    for (char ch : CleanUtf8(r->script)) {
      if (ch == '#' || ch == '\\') name.push_back('\\');
      name.push_back(ch == '\n' || ch == '\r' ? ' ' : ch);
    }
    t += (r->passed ? "ok " : "not ok ") + std::to_string(++number) + " - " + name + "\n";
    if (r->passed && o.keep.empty()) continue;
    t += "  ---\n";
    if (!r->passed) {
      t += "  message: " + YamlQuote(r->cause) + "\n";
      t += "  severity: fail\n";
      if (r->state == State::Error) {
        // no status: the program did not run
      } else if (WIFSIGNALED(r->status)) {
        t += "  signal: " + std::to_string(WTERMSIG(r->status)) + "\n";
      } else {
        t += "  exit: " + std::to_string(WEXITSTATUS(r->status)) + "\n";
      }
    }
    t += "  duration_ms: " + FormatSeconds(r->seconds * 1000, 0, false) + "\n";
    if (!o.keep.empty() && !r->folder.empty()) t += "  folder: " + YamlQuote(r->folder) + "\n";
    t += "  ...\n";
  }
  return t;
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  bool help = false;
  const std::string wrong = ParseCommandLine(argc, argv, o, help);
  if (help) {
    WriteOut(kUsage);
    return 0;
  }
  if (!wrong.empty()) {
    WriteErr("tarvelin-suite: " + wrong + "\n" + kUsage);
    return 2;
  }
  if (o.program.empty()) o.program = DefaultProgram();
  o.program = AbsolutePath(o.program);
  if (access(o.program.c_str(), X_OK) != 0 || !IsRegularFile(o.program)) {
    WriteErr("tarvelin-suite: Program " + o.program + " nelze spustit.\n" + kUsage);
    return 2;
  }
  std::string parent;
  bool removeParent = false;
  if (!o.keep.empty()) {
    o.keep = AbsolutePath(o.keep);
    if (!MakeFolders(o.keep)) {
      WriteErr("tarvelin-suite: Nelze vytvořit složku " + o.keep + ": " + ErrnoText() + "\n");
      return 2;
    }
    parent = o.keep;
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvelin-suite.XXXXXX";
    if (!mkdtemp(pattern.data())) {
      WriteErr("tarvelin-suite: Nelze vytvořit dočasnou složku: " + ErrnoText() + "\n");
      return 2;
    }
    parent = AbsolutePath(pattern);
    removeParent = true;
  }

  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    WriteErr("tarvelin-suite: " + ErrnoText() + "\n");
    return 2;
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kHandledSignals) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const time_t startedAt = time(nullptr);
  const double suiteStart = Now();
  std::vector<Run> runs(o.scripts.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    runs[i].index = i;
    runs[i].script = o.scripts[i];
  }
  size_t next = 0;
  int running = 0, interrupts = 0;
  for (;;) {
    while (interrupts == 0 && running < o.jobs && next < runs.size()) {
      Run& run = runs[next++];
      if (Start(run, o, parent)) {
        ++running;
      } else {
        run.state = State::Error;
        if (!o.tap) WriteOut(HumanLine(run, o));
      }
    }
    if (running == 0) break;

    std::vector<pollfd> fds{pollfd{g_signalPipe[0], POLLIN, 0}};
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
      if (fds[0].revents) {
        unsigned char sigs[64];
        ssize_t n;
        while ((n = read(g_signalPipe[0], sigs, sizeof sigs)) > 0) {
          for (ssize_t k = 0; k < n; ++k) {
            if (sigs[k] != SIGCHLD) ++interrupts;
          }
        }
      }
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
        if (!o.tap) WriteOut(HumanLine(run, o));
        continue;
      }
      if (interrupts > 0 && !run.terminating) {
        run.interrupted = true;
        Terminate(run, now);
      }
      if (!run.terminating && o.timeLimit > 0 && now >= run.started + o.timeLimit) {
        run.timedOut = true;
        Terminate(run, now);
      }
      // A second interruption does not wait for the grace period.
      if (run.terminating && !run.killed && (now >= run.killAt || interrupts > 1)) {
        kill(-run.pid, SIGKILL);
        run.killed = true;
      }
    }
  }
  const double suiteSeconds = Now() - suiteStart;

  std::vector<const Run*> done;
  size_t passed = 0, notStarted = 0;
  for (const Run& run : runs) {
    if (run.state == State::Pending) {
      ++notStarted;
      continue;
    }
    done.push_back(&run);
    if (run.passed) ++passed;
  }
  int status = passed == runs.size() ? 0 : 1;
  if (!o.junit.empty()) {
    if (!WriteWholeFile(o.junit, JUnitReport(done, suiteSeconds, startedAt))) {
      WriteErr("tarvelin-suite: Nelze zapsat zprávu " + o.junit + ": " + ErrnoText() + "\n");
      status = 1;
    }
  }
  if (o.tap) {
    std::string tap = TapReport(done, o);
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
  if (removeParent) RemoveTree(parent);
  return status;
}

}  // namespace tv::suite

int main(int argc, char** argv) {
  return tv::suite::Main(argc, argv);
}
