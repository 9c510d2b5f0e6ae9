// Not built yet: each command reports so and ends the run.
#include "engine/commands.h"
#include "operator/checkboxes.h"

namespace tv {

static Flow NotBuiltYet(ScriptContext& ctx, const char* name) {
  ctx.ReportError(Bytes("Příkaz zatím není hotov: ") + name);
  ctx.LogPrintf("Příkaz %s zatím není hotov.\n", name);
  return Flow::Fail;
}

Flow CmdShowCheckBox(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "ShowCheckBox");
}
Flow CmdHideCheckBox(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "HideCheckBox");
}
Flow CmdSetCheck(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "SetCheck");
}
Flow CmdTestCheck(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "TestCheck");
}
Flow CmdWaitCheck(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  return NotBuiltYet(ctx, "WaitCheck");
}

int FindCheckBox(const ScriptContext& ctx, const Bytes& mark) {
  for (int i = 0; i < MAX_CHECKBOXES; ++i)
    if (ctx.checkBoxMarks[static_cast<size_t>(i)] == mark) return i;
  return -1;
}

Rect CheckBoxRect(int, const Rect& r) {
  return r;
}

void DestroyAllCheckBoxes(ScriptContext&) {}

void ClickCheckBox(ScriptContext&, const Bytes&) {}

}  // namespace tv
