// tarvelin-suite: runs scripts with the headless program, each in a fresh
// folder of its own and several at a time, and reports the results as lines,
// a JUnit XML file or a TAP stream.
#include <stdlib.h>
#include <tarvelin_version.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "suite/files.h"
#include "suite/options.h"
#include "suite/plan.h"
#include "suite/process.h"
#include "suite/reports.h"
#include "suite/runner.h"

namespace tv::suite {

namespace {

void WriteOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void WriteErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  std::string wrong;
  switch (ParseCommandLine(argc, argv, o, wrong)) {
    case Parsed::Help:
      WriteOut(kUsage);
      return 0;
    case Parsed::Version:
      WriteOut("tarvelin-suite " TARVELIN_VERSION_TEXT "\n");
      return 0;
    case Parsed::Wrong:
      WriteErr("tarvelin-suite: " + wrong + "\n" + kUsage);
      return 2;
    case Parsed::Run:
      break;
  }
  SuiteFolders folders;
  folders.root = NormalPath(AbsolutePath(o.root.empty() ? "." : o.root));
  if (!IsFolder(folders.root)) {
    WriteErr("tarvelin-suite: Složka " + folders.root + " neexistuje.\n" + kUsage);
    return 2;
  }
  const std::vector<Planned> plan = MakePlan(o, folders.root);
  if (o.list) {
    for (const Planned& p : plan) WriteOut(p.given + "\n");
    return 0;
  }

  if (o.program.empty()) o.program = DefaultProgram();
  o.program = AbsolutePath(o.program);
  if (access(o.program.c_str(), X_OK) != 0 || !IsRegularFile(o.program)) {
    WriteErr("tarvelin-suite: Program " + o.program + " nelze spustit.\n" + kUsage);
    return 2;
  }
  if (!o.keep.empty()) {
    o.keep = AbsolutePath(o.keep);
    if (!MakeFolders(o.keep)) {
      WriteErr("tarvelin-suite: Nelze vytvořit složku " + o.keep + ": " + ErrnoText() + "\n");
      return 2;
    }
  }
  // The suite's own folder: outputs and result files, and the runs' folders
  // unless they are kept.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvelin-suite.XXXXXX";
  if (!mkdtemp(pattern.data())) {
    WriteErr("tarvelin-suite: Nelze vytvořit dočasnou složku: " + ErrnoText() + "\n");
    return 2;
  }
  folders.work = AbsolutePath(pattern);
  folders.parent = o.keep.empty() ? folders.work : o.keep;
  if (!InstallSignalHandlers()) {
    WriteErr("tarvelin-suite: " + ErrnoText() + "\n");
    RemoveTree(folders.work);
    return 2;
  }
  // A report that cannot be written is found before the first run.
  JUnitWriter junit;
  if (!o.junit.empty() && !junit.Open(o.junit)) {
    WriteErr("tarvelin-suite: Nelze zapsat zprávu " + o.junit + ": " + ErrnoText() + "\n");
    RemoveTree(folders.work);
    return 2;
  }

  int status = RunSuite(o, plan, folders, o.junit.empty() ? nullptr : &junit);
  if (!o.junit.empty() && !junit.Close()) {
    WriteErr("tarvelin-suite: Nelze zapsat zprávu " + o.junit + ": " + ErrnoText() + "\n");
    if (status == 0) status = 1;
  }
  RemoveTree(folders.work);
  return status;
}

}  // namespace tv::suite

int main(int argc, char** argv) {
  return tv::suite::Main(argc, argv);
}
