// tarvelin-record: records one client's dialogue with a server through a
// relay and writes it as a client script and a server script.
#include <tarvelin_version.h>

#include <cstdio>
#include <string>
#include <vector>

#include "posix/console.h"
#include "posix/recordrelay.h"
#include "record/program.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (tv::record::AsksForVersion(args)) {
    std::fputs("tarvelin-record " TARVELIN_VERSION_TEXT "\n", stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
  }
  tv::posix::SocketRelay relay;
  tv::posix::Console& console = tv::posix::Console::Stderr();
  const int status = tv::record::RunRecorder(
      args, relay, [&console](const tv::Bytes& text) { console.Print(text); });
  console.Finish();
  return status;
}
