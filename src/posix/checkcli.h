// The command line of the script checker, tarvelin-check.
#pragma once

#include <string>
#include <vector>

namespace tv::posix {

// Checks the scripts the arguments name and writes the findings (UTF-8) to
// out, a wrong command line to err. Returns the exit status: 0 without
// errors, 1 with errors, 2 for a wrong command line.
int RunChecker(const std::vector<std::string>& args, std::string& out, std::string& err);

}  // namespace tv::posix
