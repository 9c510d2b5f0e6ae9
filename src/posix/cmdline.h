// The command line of the headless program: the text the parser reads is
// rebuilt from the arguments.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

namespace tv::posix {

// Each argument as it stands, joined by one blank. An argument that is empty
// or holds a blank (any byte from 1 to 32) is wrapped in double quotes, or in
// apostrophes when it holds a double quote.
Bytes RebuildCommandLine(const std::vector<std::string>& args);

// The largest NAME.args file the suite runner reads.
constexpr size_t kMaxArgsFileBytes = 1u << 20;

// The arguments of a suite's NAME.args file: one a line, a CR before the LF
// dropped, empty lines left out. False (errno set) when the file cannot be
// read or is larger than kMaxArgsFileBytes (EFBIG).
bool ReadArgsFile(const std::string& path, std::vector<std::string>& args);

// True when the command line parses but names neither a script nor a
// start-up connection; a command line that does not parse gives false (its
// error is reported when the program starts).
bool NamesNothingToDo(const Bytes& commandLine);

// The short usage text, Windows-1250.
const char* UsageText();

}  // namespace tv::posix
