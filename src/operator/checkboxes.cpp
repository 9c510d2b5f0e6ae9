// The script's check boxes: a table of ten slots on the main window, each
// known to the script by its mark. The check state lives in the box window
// only; the table holds the marks (an empty mark is a free slot).
#include "operator/checkboxes.h"

#include "engine/args.h"
#include "operator/commands.h"

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

Bytes MissingMarkBox(const char* command) {
  return Bytes("Očekáváno jméno značky za ") + command;
}

Flow InvisibleBox(ScriptContext& ctx, const char* command, const Bytes& mark) {
  ctx.ReportError(Bytes(command) + " pracuje s neviditelným check-boxem");
  ctx.LogPrintf("%s pracuje s neviditelným check-boxem %s\n", command, mark.c_str());
  return Flow::Fail;
}

const char kSetCheckSyntax[] = "SetCheck <značka> [ 0 | 1 | 2 ]";
const char kSetCheckModeBox[] = "Očekávána číslice - způsob nastavení za SetCheck";

struct MarkArgs {
  Bytes mark;
  int slot = -1;  // where the box is in the run, -1: not visible
  Bytes word;     // what follows the mark, for the commands that take it
};

// The mark off the front of the line; false after the failure when there is
// none.
bool ReadMark(Args& in, MarkArgs& a, const char* command, const char* syntax) {
  if (!in.Word(a.mark)) return in.Syntax(MissingMarkBox(command), syntax);
  if (ScriptContext* ctx = in.Run()) a.slot = FindCheckBox(*ctx, a.mark);
  return true;
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

namespace {

struct ShowArgs {
  Bytes mark;
  Bytes caption;
};

bool ReadShowCheckBox(Args& in, ShowArgs& a) {
  if (!in.Word(a.mark)) {
    return in.Syntax(MissingMarkBox("ShowCheckBox"), "ShowCheckBox <značka> [<řetězec>]");
  }
  // A box already shown keeps its caption: the run does not read it.
  ScriptContext* ctx = in.Run();
  if (ctx && FindCheckBox(*ctx, a.mark) >= 0) return true;
  if (!in.Text(a.caption)) return false;
  if (a.caption.empty()) a.caption = a.mark;
  return true;
}

Flow RunShowCheckBox(ScriptContext& ctx, ShowArgs& a, ScriptFileStack&) {
  if (FindCheckBox(ctx, a.mark) >= 0) return Flow::Next;
  const int slot = FindCheckBox(ctx, Bytes());
  if (slot < 0) {
    ctx.ReportError("Příliš mnoho viditelných check-boxů");
    ctx.LogPrintf("Příliš mnoho viditelných check-boxů (max. %d)\n", MAX_CHECKBOXES);
    return Flow::Fail;
  }
  MarkOf(ctx, slot) = a.mark;
  Window& window = ctx.host.window;
  window.CreateCheckBox(slot, a.mark, a.caption, CheckBoxRect(slot, window.RunButtonRect()));
  return Flow::Next;
}

bool ReadHideCheckBox(Args& in, MarkArgs& a) {
  return ReadMark(in, a, "HideCheckBox", "HideCheckBox <značka>");
}

Flow RunHideCheckBox(ScriptContext& ctx, MarkArgs& a, ScriptFileStack&) {
  if (a.slot >= 0) FreeSlot(ctx, a.slot);
  return Flow::Next;
}

// The box must be visible before its mode is read.
bool ReadSetCheck(Args& in, MarkArgs& a) {
  if (!ReadMark(in, a, "SetCheck", kSetCheckSyntax)) return false;
  if (in.Run() && a.slot < 0) return in.Failed(InvisibleBox(*in.Run(), "SetCheck", a.mark));
  in.Word(a.word);
  if (a.word != "0" && a.word != "1" && a.word != "2") {
    return in.Syntax(kSetCheckModeBox, kSetCheckSyntax);
  }
  return true;
}

Flow RunSetCheck(ScriptContext& ctx, MarkArgs& a, ScriptFileStack&) {
  int state;
  if (a.word == "0") {
    state = 0;
  } else if (a.word == "1") {
    state = 1;
  } else {
    state = IsChecked(ctx, a.slot) ? 0 : 1;
  }
  ctx.host.window.SetCheck(a.slot, state);
  return Flow::Next;
}

bool ReadTestCheck(Args& in, MarkArgs& a) {
  return ReadMark(in, a, "TestCheck", "TestCheck <značka>");
}

Flow RunTestCheck(ScriptContext& ctx, MarkArgs& a, ScriptFileStack&) {
  if (a.slot >= 0 && IsChecked(ctx, a.slot)) {
    ctx.symbols.Define("CHECKED");
  } else {
    ctx.symbols.Undefine("CHECKED");
  }
  return Flow::Next;
}

bool ReadWaitCheck(Args& in, MarkArgs& a) {
  if (!ReadMark(in, a, "WaitCheck", "WaitCheck <značka> [0 | 1]")) return false;
  if (in.Run() && a.slot < 0) return in.Failed(InvisibleBox(*in.Run(), "WaitCheck", a.mark));
  in.Word(a.word);
  return true;
}

Flow RunWaitCheck(ScriptContext& ctx, MarkArgs& a, ScriptFileStack& stack) {
  const int slot = a.slot;
  const bool wanted = a.word != "0";
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

}  // namespace

const CommandDef kShowCheckBox = DefineCommand<ShowArgs, ReadShowCheckBox, RunShowCheckBox>();
const CommandDef kHideCheckBox = DefineCommand<MarkArgs, ReadHideCheckBox, RunHideCheckBox>();
const CommandDef kSetCheck = DefineCommand<MarkArgs, ReadSetCheck, RunSetCheck>();
const CommandDef kTestCheck = DefineCommand<MarkArgs, ReadTestCheck, RunTestCheck>();
const CommandDef kWaitCheck = DefineCommand<MarkArgs, ReadWaitCheck, RunWaitCheck>();

}  // namespace tv
