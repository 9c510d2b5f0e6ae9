// The engine's own commands: flow control (engine/flow.cpp), symbols and
// counters (engine/symbols.cpp). The command table (app/commands.cpp) names
// them with the other subsystems' commands.
#pragma once

#include "engine/runner.h"

namespace tv {

extern const CommandDef kIfDef;
extern const CommandDef kIfNotDef;
extern const CommandDef kGoTo;
extern const CommandDef kLabel;
extern const CommandDef kCall;
extern const CommandDef kReturn;
extern const CommandDef kStop;
extern const CommandDef kEnd;
extern const CommandDef kComment;
extern const CommandDef kTimeout;
extern const CommandDef kFail;

extern const CommandDef kDefine;
extern const CommandDef kUndefine;
extern const CommandDef kSetCounter;
extern const CommandDef kIncrementCounter;
extern const CommandDef kTestCounter;
extern const CommandDef kSetText;
extern const CommandDef kCalc;
extern const CommandDef kTestCalc;

// The jump of GoTo: Next once the Label line is read, Fail (box and log line)
// when no open file has it.
Flow JumpToLabel(ScriptContext& ctx, const Bytes& label, ScriptFileStack& stack);

}  // namespace tv
