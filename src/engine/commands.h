// Every script command's handler. The runner's table maps keywords to them.
#pragma once

#include "engine/runner.h"

namespace tv {

// Flow control (engine/flow.cpp).
Flow CmdIfDef(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdIfNotDef(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdGoTo(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdLabel(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdCall(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdReturn(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdStop(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdEnd(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdComment(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdTimeout(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
// The jump of GoTo: Next once the Label line is read, Fail (box and log line)
// when no open file has it.
Flow JumpToLabel(ScriptContext& ctx, const Bytes& label, ScriptFileStack& stack);

// Symbols and counters (engine/symbols.cpp).
Flow CmdDefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdUndefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdSetCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdIncrementCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdTestCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Network (net/commands.cpp).
Flow CmdConnect(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdAccept(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdDisconnect(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdSend(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdWaitFor(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdReceive(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdSkipTo(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdTestLine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdParseLine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Capture file (net/capture.cpp).
Flow CmdOutputFile(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdCloseOutput(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Message, Question, Input (operator/dialogs.cpp).
Flow CmdMessage(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdQuestion(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdInput(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Check boxes (operator/checkboxes.cpp).
Flow CmdShowCheckBox(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdHideCheckBox(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdSetCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdTestCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdWaitCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Wait, Signalize, ShowWindow (operator/wait.cpp).
Flow CmdWait(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdSignalize(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdShowWindow(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

}  // namespace tv
