// Not built yet: each command reports so and ends the run.
#include "engine/commands.h"

namespace tv {

static Flow NotBuiltYet(ScriptContext& ctx, const char* name) {
  ctx.ReportError(Bytes("Příkaz zatím není hotov: ") + name);
  ctx.LogPrintf("Příkaz %s zatím není hotov.\n", name);
  return Flow::Fail;
}

Flow CmdWait(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Wait");
}
Flow CmdSignalize(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "Signalize");
}
Flow CmdShowWindow(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "ShowWindow");
}

}  // namespace tv
