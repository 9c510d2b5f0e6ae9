// The headless program: the command line of the Windows program, the
// operator on standard input, boxes and dialogs on standard error.
#include <tarvelin_version.h>

#include <cstdio>
#include <string>
#include <vector>

#include "posix/app.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // --version alone; anywhere else "--" still ends the options, and
  // "-- version" or "version" runs a script of that name.
  if (args.size() == 1 && args[0] == "--version") {
    std::fputs("tarvelin " TARVELIN_VERSION_TEXT "\n", stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
  }
  return tv::posix::RunProgram(args);
}
