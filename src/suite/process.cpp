#include "suite/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "suite/files.h"

extern char** environ;

namespace tv::suite {

namespace {

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

bool Replaced(const std::string& entry) {
  return entry.compare(0, 5, "HOME=") == 0 || entry.compare(0, 16, "XDG_CONFIG_HOME=") == 0 ||
         entry.compare(0, 4, "PWD=") == 0;
}

}  // namespace

bool InstallSignalHandlers() {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kHandledSignals) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

int SignalFd() {
  return g_signalPipe[0];
}

int TakeInterrupts() {
  int interrupts = 0;
  unsigned char sigs[64];
  ssize_t n;
  while ((n = read(g_signalPipe[0], sigs, sizeof sigs)) > 0) {
    for (ssize_t k = 0; k < n; ++k) {
      if (sigs[k] != SIGCHLD) ++interrupts;
    }
  }
  return interrupts;
}

namespace {

// Why execve or the change of folder failed, for the run's error.
std::string StartFailure(int error) {
  const char* name = strerrorname_np(error);
  const std::string tag = std::string(" (") + (name ? name : std::to_string(error).c_str()) + ")";
  switch (error) {
    case E2BIG:
      return "argumenty a proměnné prostředí jsou příliš dlouhé" + tag;
    case ENOENT:
      return "soubor nebo jeho interpret neexistuje" + tag;
    case EACCES:
      return "chybí oprávnění ke spuštění" + tag;
    default:
      return std::strerror(error) + tag;
  }
}

}  // namespace

bool StartProcess(const Launch& launch, pid_t& pid, std::string& why) {
  const int in = open(launch.stdinPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) {
    why = "Nelze otevřít vstup obsluhy " + launch.stdinPath + ": " + ErrnoText();
    return false;
  }
  // Appending: the program and what it starts all write at the end.
  const int out = open(launch.outputPath.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  if (out < 0) {
    why = "Nelze vytvořit soubor " + launch.outputPath + ": " + ErrnoText();
    close(in);
    return false;
  }

  std::vector<std::string> argStrings;
  argStrings.push_back(launch.program);
  argStrings.insert(argStrings.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    if (!Replaced(*e)) envStrings.push_back(*e);
  }
  envStrings.push_back("HOME=" + launch.folder);
  envStrings.push_back("XDG_CONFIG_HOME=" + launch.folder);
  envStrings.push_back("PWD=" + launch.folder);
  envStrings.insert(envStrings.end(), launch.env.begin(), launch.env.end());
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, launch.folder.c_str());
  // The run and whatever it starts form a process group of their own, so
  // that ending the run ends all of it, and Ctrl-C reaches only the suite.
  // The child starts with the default action for the suite's signals and
  // none blocked; until the exec it runs no handler of the suite's (a
  // SIGTERM meant for the run cannot be taken for an interruption).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : kHandledSignals) sigaddset(&defaults, sig);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t child = -1;
  const int error =
      posix_spawn(&child, launch.program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(in);
  close(out);
  if (error != 0) {
    why = "Nelze spustit program " + launch.program + ": " + StartFailure(error);
    return false;
  }
  pid = child;
  return true;
}

void SignalRun(pid_t pid, int sig) {
  kill(-pid, sig);
}

bool ReapRun(pid_t pid, int& status) {
  // While the exited run is a zombie its process group cannot be taken by
  // another, so what it left running is killed by group before it is reaped.
  siginfo_t info;
  info.si_pid = 0;
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid == 0) {
    return false;
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace tv::suite
