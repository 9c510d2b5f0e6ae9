// Not built yet: each command reports so and ends the run.
#include "engine/commands.h"

namespace tv {

static Flow NotBuiltYet(ScriptContext& ctx, const char* name) {
  ctx.ReportError(Bytes("Příkaz zatím není hotov: ") + name);
  ctx.LogPrintf("Příkaz %s zatím není hotov.\n", name);
  return Flow::Fail;
}

Flow CmdMessage(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Message");
}
Flow CmdQuestion(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Question");
}
Flow CmdInput(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Input");
}

}  // namespace tv
