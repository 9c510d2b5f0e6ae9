// The suite runner's processes: each run is started in a process group of
// its own with its output going to a file, ended by group, and reaped only
// after what it left running in its group has been killed. The suite's signals
// (SIGCHLD wakes it, SIGINT, SIGTERM and SIGHUP interrupt it) arrive on a
// self-pipe that the main loop polls.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tv::suite {

// Installs the handlers and the self-pipe; false with errno on a failure.
bool InstallSignalHandlers();
// The self-pipe's end to poll for reading.
int SignalFd();
// Takes what the self-pipe holds: the number of interrupting signals.
int TakeInterrupts();

struct Launch {
  std::string program;
  std::vector<std::string> args;  // after the program's name
  std::string folder;             // current directory, HOME and XDG_CONFIG_HOME
  std::string stdinPath;          // the operator channel
  std::string outputPath;         // standard output and standard error, created
  std::vector<std::string> env;   // NAME=VALUE set besides those three
};

// Starts the program; its pid on success, otherwise false with the reason
// in why.
bool StartProcess(const Launch& launch, pid_t& pid, std::string& why);

// Sends sig to the run's process group.
void SignalRun(pid_t pid, int sig);

// When the run has exited: kills what it left in its group, reaps it and
// gives its status as waitpid does. False while it runs.
bool ReapRun(pid_t pid, int& status);

}  // namespace tv::suite
