// Not built yet: each command reports so and ends the run.
#include "engine/commands.h"

namespace tv {

static Flow NotBuiltYet(ScriptContext& ctx, const char* name) {
  ctx.ReportError(Bytes("Příkaz zatím není hotov: ") + name);
  ctx.LogPrintf("Příkaz %s zatím není hotov.\n", name);
  return Flow::Fail;
}

Flow CmdConnect(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Connect");
}
Flow CmdAccept(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Accept");
}
Flow CmdDisconnect(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Disconnect");
}
Flow CmdSend(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Send");
}
Flow CmdWaitFor(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "WaitFor");
}
Flow CmdReceive(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Receive");
}
Flow CmdSkipTo(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "SkipTo");
}

}  // namespace tv
