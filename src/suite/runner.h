// The suite's loop: starts the runs of the plan, several at a time, tries a
// failed run again, stops starting after too many failures or an
// interruption, and reports each script once its runs have ended.
#pragma once

#include <string>
#include <vector>

#include "suite/options.h"
#include "suite/plan.h"
#include "suite/reports.h"

namespace tv::suite {

struct SuiteFolders {
  std::string root;    // report names are relative to it
  std::string work;    // the suite's own: outputs and result files
  std::string parent;  // where the run folders go (work, or --keep's)
};

// Runs the plan; junit is open (or not asked for). Returns the exit status:
// 0 all passed, 1 some failed, 130 interrupted.
int RunSuite(const Options& o, const std::vector<Planned>& plan, const SuiteFolders& folders,
             JUnitWriter* junit);

}  // namespace tv::suite
