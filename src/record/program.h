// tarvelin-record without its platform: the command line, the relay's
// messages, and the two scripts written from the recording.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/host.h"
#include "record/generate.h"
#include "record/relay.h"

namespace tv::record {

struct Options {
  RelayPlan plan;
  ScriptSettings settings;
  bool timeoutGiven = false;
  bool version = false;  // --version: nothing else is done
};

// Reads the command line (without the program's name). False with a message
// (Windows-1250, one line) when it is wrong.
bool ParseOptions(const std::vector<std::string>& args, Options& options, Bytes& error);

// The usage text (Windows-1250, with line ends).
Bytes Usage();

// Whether the command line asks for the version (--version as an option,
// nothing wrong before it): the front end prints it, and runs nothing.
bool AsksForVersion(const std::vector<std::string>& args);

// Runs the whole program; print shows a line of Windows-1250 text (with its
// line end) to the user. Exit status: 0 recorded, 1 a failure, 2 a wrong
// command line, 3 no client within the time limit.
int RunRecorder(const std::vector<std::string>& args, Relay& relay,
                const std::function<void(const Bytes&)>& print);

}  // namespace tv::record
