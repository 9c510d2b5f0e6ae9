// The script's check boxes: a table of ten slots on the main window, each
// known to the script by its mark. The check state lives in the box window
// only; the table holds the marks (an empty mark is a free slot).
#include "operator/checkboxes.h"

#include "engine/commands.h"
#include "engine/expand.h"
#include "engine/tokenizer.h"

namespace tv {

namespace {

Bytes& MarkOf(ScriptContext& ctx, int slot) {
  return ctx.checkBoxMarks[static_cast<size_t>(slot)];
}

bool IsChecked(ScriptContext& ctx, int slot) {
  return ctx.host.window.GetCheck(slot) == 1;
}

void FreeSlot(ScriptContext& ctx, int slot) {
  MarkOf(ctx, slot).clear();
  ctx.host.window.DestroyCheckBox(slot);
}

// Reads the mark off the front of the line; false when there is none.
bool ReadMark(Bytes& rest, Bytes& mark) {
  return GetNextWord(rest, mark, false, false);
}

Bytes MissingMarkBox(const char* command) {
  return Bytes("Očekáváno jméno značky za ") + command;
}

Flow MissingMark(ScriptContext& ctx, const char* command, const char* syntax) {
  return SyntaxError(ctx, MissingMarkBox(command), syntax);
}

Flow InvisibleBox(ScriptContext& ctx, const char* command, const Bytes& mark) {
  ctx.ReportError(Bytes(command) + " pracuje s neviditelným check-boxem");
  ctx.LogPrintf("%s pracuje s neviditelným check-boxem %s\n", command, mark.c_str());
  return Flow::Fail;
}

const char kSetCheckSyntax[] = "SetCheck <značka> [ 0 | 1 | 2 ]";
const char kSetCheckModeBox[] = "Očekávána číslice - způsob nastavení za SetCheck";

// The mark, or an error; false without one.
bool CheckMark(LineCheck& lc, Bytes& rest, const char* command) {
  const int column = lc.Column(rest);
  Bytes mark;
  if (ReadMark(rest, mark)) return true;
  lc.Error(column, MissingMarkBox(command));
  return false;
}

}  // namespace

int FindCheckBox(const ScriptContext& ctx, const Bytes& mark) {
  for (int i = 0; i < MAX_CHECKBOXES; ++i) {
    if (ctx.checkBoxMarks[static_cast<size_t>(i)] == mark) return i;
  }
  return -1;
}

Rect CheckBoxRect(int slot, const Rect& runButton) {
  const int height = runButton.bottom - runButton.top;
  const int column = slot % 2;
  const int row = slot / 2;
  Rect box;
  box.left = 26 + 300 * column;
  box.right = box.left + 280;
  box.top = runButton.bottom + 32 + row * (height + 8);
  box.bottom = box.top + height;
  return box;
}

void DestroyAllCheckBoxes(ScriptContext& ctx) {
  for (int slot = 0; slot < MAX_CHECKBOXES; ++slot) {
    if (!MarkOf(ctx, slot).empty()) FreeSlot(ctx, slot);
  }
}

void ClickCheckBox(ScriptContext& ctx, const Bytes& mark) {
  // An empty mark would find the lowest free slot, which has no box.
  if (mark.empty()) return;
  const int slot = FindCheckBox(ctx, mark);
  if (slot < 0) return;
  ctx.host.window.SetCheck(slot, IsChecked(ctx, slot) ? 0 : 1);
}

Flow CmdShowCheckBox(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes mark;
  if (!ReadMark(rest, mark)) {
    return MissingMark(ctx, "ShowCheckBox", "ShowCheckBox <značka> [<řetězec>]");
  }
  if (FindCheckBox(ctx, mark) >= 0) return Flow::Next;
  Bytes caption = ExpandText(ctx, rest);
  if (caption.empty()) caption = mark;
  const int slot = FindCheckBox(ctx, Bytes());
  if (slot < 0) {
    ctx.ReportError("Příliš mnoho viditelných check-boxů");
    ctx.LogPrintf("Příliš mnoho viditelných check-boxů (max. %d)\n", MAX_CHECKBOXES);
    return Flow::Fail;
  }
  MarkOf(ctx, slot) = mark;
  Window& window = ctx.host.window;
  window.CreateCheckBox(slot, mark, caption, CheckBoxRect(slot, window.RunButtonRect()));
  return Flow::Next;
}

Flow CmdHideCheckBox(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes mark;
  if (!ReadMark(rest, mark)) return MissingMark(ctx, "HideCheckBox", "HideCheckBox <značka>");
  const int slot = FindCheckBox(ctx, mark);
  if (slot >= 0) FreeSlot(ctx, slot);
  return Flow::Next;
}

Flow CmdSetCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes mark;
  if (!ReadMark(rest, mark)) return MissingMark(ctx, "SetCheck", kSetCheckSyntax);
  const int slot = FindCheckBox(ctx, mark);
  if (slot < 0) return InvisibleBox(ctx, "SetCheck", mark);
  Bytes mode;
  GetNextWord(rest, mode, false, false);
  int state;
  if (mode == "0") {
    state = 0;
  } else if (mode == "1") {
    state = 1;
  } else if (mode == "2") {
    state = IsChecked(ctx, slot) ? 0 : 1;
  } else {
    return SyntaxError(ctx, kSetCheckModeBox, kSetCheckSyntax);
  }
  ctx.host.window.SetCheck(slot, state);
  return Flow::Next;
}

Flow CmdTestCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes mark;
  if (!ReadMark(rest, mark)) return MissingMark(ctx, "TestCheck", "TestCheck <značka>");
  const int slot = FindCheckBox(ctx, mark);
  if (slot >= 0 && IsChecked(ctx, slot)) {
    ctx.symbols.Define("CHECKED");
  } else {
    ctx.symbols.Undefine("CHECKED");
  }
  return Flow::Next;
}

Flow CmdWaitCheck(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes mark;
  if (!ReadMark(rest, mark)) return MissingMark(ctx, "WaitCheck", "WaitCheck <značka> [0 | 1]");
  const int slot = FindCheckBox(ctx, mark);
  if (slot < 0) return InvisibleBox(ctx, "WaitCheck", mark);
  Bytes word;
  GetNextWord(rest, word, false, false);
  const bool wanted = word != "0";
  // A box changes state only when a message is dispatched, so between two
  // pump steps the loop sleeps until the next message arrives instead of
  // polling: an operator who takes an hour costs no processor time. The
  // pump also ends when the time limit runs out.
  ctx.StartTimeLimit();
  for (;;) {
    if (!ctx.PumpWindowMessages()) break;
    if (IsChecked(ctx, slot) == wanted) break;
    Msg first;
    if (!ctx.host.queue.Peek(first)) ctx.host.queue.WaitForMessage();
  }
  // A click dispatched before the limit's tick in the same pump still counts.
  if (ctx.EndTimeLimit() && IsChecked(ctx, slot) != wanted) {
    return TimeLimitExpired(ctx, "WaitCheck", stack);
  }
  return Flow::Next;
}

void CheckShowCheckBox(LineCheck& lc, Bytes& rest) {
  if (!CheckMark(lc, rest, "ShowCheckBox")) return;
  Bytes caption;
  LiteralText(lc, rest, caption);
}

void CheckHideCheckBox(LineCheck& lc, Bytes& rest) {
  CheckMark(lc, rest, "HideCheckBox");
}

void CheckSetCheck(LineCheck& lc, Bytes& rest) {
  if (!CheckMark(lc, rest, "SetCheck")) return;
  const int column = lc.Column(rest);
  Bytes mode;
  GetNextWord(rest, mode, false, false);
  if (mode != "0" && mode != "1" && mode != "2") lc.Error(column, kSetCheckModeBox);
}

void CheckTestCheck(LineCheck& lc, Bytes& rest) {
  CheckMark(lc, rest, "TestCheck");
}

void CheckWaitCheck(LineCheck& lc, Bytes& rest) {
  CheckMark(lc, rest, "WaitCheck");
}

}  // namespace tv
