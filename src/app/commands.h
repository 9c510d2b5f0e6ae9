// The script language: every command of every subsystem under its keywords,
// and what the end of every run does besides closing the script files.
#pragma once

#include <vector>

#include "engine/check.h"
#include "engine/runner.h"

namespace tv {

const CommandTable& ScriptCommands();

// RunScript and CheckScript with these commands.
void RunScript(ScriptContext& ctx, const Bytes& path);
std::vector<CheckFinding> CheckScript(FileSystem& files, const Bytes& path,
                                      const CheckStart& start = CheckStart());

}  // namespace tv
