// Not built yet: each command reports so and ends the run.
#include "engine/commands.h"
#include "net/capture.h"

namespace tv {

static Flow NotBuiltYet(ScriptContext& ctx, const char* name) {
  ctx.ReportError(Bytes("Příkaz zatím není hotov: ") + name);
  ctx.LogPrintf("Příkaz %s zatím není hotov.\n", name);
  return Flow::Fail;
}

Flow CmdOutputFile(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "OutputFile");
}
Flow CmdCloseOutput(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "CloseOutput");
}

void WriteCapture(ScriptContext& ctx, const char* data, size_t len) {
  if (ctx.capture) ctx.capture->Write(data, len);
}

void CloseCaptureAfterRun(ScriptContext& ctx) {
  if (!ctx.capture) return;
  ctx.LogPrintf("Soubor pro opisování dat zůstal otevřen - uzavírám jej.\n");
  ctx.capture.reset();
}

}  // namespace tv
