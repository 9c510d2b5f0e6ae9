// The script checker: reports what is wrong in scripts without running them.
#include <cstdio>
#include <string>
#include <vector>

#include "posix/checkcli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string out, err;
  const int status = tv::posix::RunChecker(args, out, err);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  return std::fflush(stdout) == 0 ? status : 2;
}
