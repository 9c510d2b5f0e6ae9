// The headless program from its arguments to its exit status.
#pragma once

#include <string>
#include <vector>

namespace tv::posix {

// args: the arguments after the program name. Returns the exit status: 0 the
// run ended normally (or there was none), 1 it failed, was cancelled or
// interrupted, or the start-up connection failed, 2 usage or command-line error.
int RunProgram(const std::vector<std::string>& args);

}  // namespace tv::posix
