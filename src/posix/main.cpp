// The headless program: the command line of the Windows program, the
// operator on standard input, boxes and dialogs on standard error.
#include <string>
#include <vector>

#include "posix/app.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return tv::posix::RunProgram(args);
}
