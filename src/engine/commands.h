// Every script command's handler and the check of its arguments. The
// runner's table maps keywords to them.
#pragma once

#include "engine/check.h"
#include "engine/runner.h"

namespace tv {

// Commands that take no arguments (the rest of the line is ignored).
void CheckNoArguments(LineCheck& lc, Bytes& rest);

// Flow control (engine/flow.cpp).
Flow CmdIfDef(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckIfDef(LineCheck& lc, Bytes& rest);
Flow CmdIfNotDef(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckIfNotDef(LineCheck& lc, Bytes& rest);
Flow CmdGoTo(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckGoTo(LineCheck& lc, Bytes& rest);
Flow CmdLabel(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdCall(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckCall(LineCheck& lc, Bytes& rest);
Flow CmdReturn(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdStop(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckStop(LineCheck& lc, Bytes& rest);
Flow CmdEnd(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckEnd(LineCheck& lc, Bytes& rest);
Flow CmdComment(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdTimeout(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckTimeout(LineCheck& lc, Bytes& rest);
// The jump of GoTo: Next once the Label line is read, Fail (box and log line)
// when no open file has it.
Flow JumpToLabel(ScriptContext& ctx, const Bytes& label, ScriptFileStack& stack);

// Symbols and counters (engine/symbols.cpp).
Flow CmdDefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckDefine(LineCheck& lc, Bytes& rest);
Flow CmdUndefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckUndefine(LineCheck& lc, Bytes& rest);
Flow CmdSetCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckSetCounter(LineCheck& lc, Bytes& rest);
Flow CmdIncrementCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckIncrementCounter(LineCheck& lc, Bytes& rest);
Flow CmdTestCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckTestCounter(LineCheck& lc, Bytes& rest);

// Network (net/commands.cpp).
Flow CmdConnect(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckConnect(LineCheck& lc, Bytes& rest);
Flow CmdAccept(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckAccept(LineCheck& lc, Bytes& rest);
Flow CmdDisconnect(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
Flow CmdSend(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckSend(LineCheck& lc, Bytes& rest);
Flow CmdWaitFor(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckWaitFor(LineCheck& lc, Bytes& rest);
Flow CmdReceive(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckReceive(LineCheck& lc, Bytes& rest);
Flow CmdSkipTo(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckSkipTo(LineCheck& lc, Bytes& rest);
Flow CmdTestLine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckTestLine(LineCheck& lc, Bytes& rest);
Flow CmdParseLine(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckParseLine(LineCheck& lc, Bytes& rest);

// TLS on the connection (net/tls.cpp).
Flow CmdStartTls(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckStartTls(LineCheck& lc, Bytes& rest);

// Capture file (net/capture.cpp).
Flow CmdOutputFile(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckOutputFile(LineCheck& lc, Bytes& rest);
Flow CmdCloseOutput(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Message, Question, Input (operator/dialogs.cpp).
Flow CmdMessage(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckMessage(LineCheck& lc, Bytes& rest);
Flow CmdQuestion(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckQuestion(LineCheck& lc, Bytes& rest);
Flow CmdInput(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckInput(LineCheck& lc, Bytes& rest);

// Check boxes (operator/checkboxes.cpp).
Flow CmdShowCheckBox(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckShowCheckBox(LineCheck& lc, Bytes& rest);
Flow CmdHideCheckBox(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckHideCheckBox(LineCheck& lc, Bytes& rest);
Flow CmdSetCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckSetCheck(LineCheck& lc, Bytes& rest);
Flow CmdTestCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckTestCheck(LineCheck& lc, Bytes& rest);
Flow CmdWaitCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckWaitCheck(LineCheck& lc, Bytes& rest);

// Wait, Signalize, ShowWindow (operator/wait.cpp).
Flow CmdWait(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckWait(LineCheck& lc, Bytes& rest);
Flow CmdSignalize(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckSignalize(LineCheck& lc, Bytes& rest);
Flow CmdShowWindow(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);
void CheckShowWindow(LineCheck& lc, Bytes& rest);

}  // namespace tv
