// The suite runner's command line.
#pragma once

#include <string>
#include <vector>

namespace tv::suite {

extern const char kUsage[];

struct Options {
  int jobs = 0;          // the processor count unless given
  double timeLimit = 0;  // 0: none
  std::string junit, keep, program;
  bool tap = false;
  std::vector<std::string> scripts;
  // Which scripts: shard K of N (0/0: all), the patterns that pick and
  // those that leave out.
  int shard = 0, shards = 0;
  std::vector<std::string> filters, excludes;
  bool list = false;     // print what would run, run nothing
  int retries = 0;       // further attempts of a failed run
  long maxFailures = 0;  // 0: no limit; --fail-fast is 1
  int repeat = 1;        // runs of each script
  std::string root;      // report names are relative to it; empty: the current folder
};

enum class Parsed { Run, Help, Version, Wrong };

// Reads argv into o; on Wrong, wrong says what is wrong (without the usage).
// Options and script names may come in any order; after "--" everything is a
// script name.
Parsed ParseCommandLine(int argc, char** argv, Options& o, std::string& wrong);

// The headless program beside this one, or what TARVELIN names.
std::string DefaultProgram();

}  // namespace tv::suite
