// Wait, Signalize and ShowWindow: time, sound and the main window.
#include <algorithm>
#include <cstdio>

#include "engine/args.h"
#include "engine/numbers.h"
#include "operator/commands.h"
#include "shell/paths.h"

namespace tv {

namespace {

// The longest single tick of the wait timer; a long wait is cut into slices
// so that the timer never has to hold a large period.
constexpr int32_t kWaitSliceMs = 1000;

// ShowWindow commands of the main window.
constexpr int kShowMinimize = 6;
constexpr int kShowRestore = 9;

const char kWaitBox[] = "Za Wait musí být počet milisekund";
const char kSignalizeNameBox[] = "Za Signalize musí být název souboru";
const char kShowWindowBox[] = "Očekávána číslice 0 nebo 1 za ShowWindow";

struct WaitArgs {
  int32_t delay = 0;
};

// Numbers beyond the signed 32-bit range clamp to its ends, so a huge wait
// is about 24 days and a hugely negative one does not wait at all.
bool ReadWait(Args& in, WaitArgs& a) {
  Bytes word;
  if (!in.Word(word)) return in.Syntax(kWaitBox, "Wait <počet-milisekund>");
  if (!ParseNumber(word, a.delay)) {
    return in.Error(kWaitBox, "Argument příkazu není číslo !\nSyntaxe: Wait <počet-milisekund>\n");
  }
  return true;
}

Flow RunWait(ScriptContext& ctx, WaitArgs& a, ScriptFileStack&) {
  const int32_t delay = a.delay;
  ctx.LogPrintf("Zahájeno prodlení %ld ms.\n", static_cast<long>(delay));
  char status[64];
  std::snprintf(status, sizeof status, "Zahájeno prodlení %ld ms", static_cast<long>(delay));
  ctx.SetLowerStatus(status);

  int32_t remaining = delay;
  while (remaining > 0) {
    const int32_t slice = std::min(remaining, kWaitSliceMs);
    remaining -= slice;
    ctx.host.queue.SetTimer(ID_WAIT_TIMER, static_cast<unsigned>(slice));
    const bool ticked = ctx.WaitForWindowMessage(kWmTimer);
    ctx.host.queue.KillTimer(ID_WAIT_TIMER);
    if (!ticked) {
      ctx.LogPrintf("Program předčasně přerušen.\n");
      ctx.running = false;
      break;
    }
  }
  ctx.LogPrintf("Čas prodlení završen.\n");
  ctx.SetLowerStatus("Čas prodlení završen");
  return Flow::Next;
}

struct FileArgs {
  Bytes name;
};

bool ReadSignalize(Args& in, FileArgs& a) {
  if (!in.FileName(a.name)) return in.Syntax(kSignalizeNameBox, "Signalize <jméno-souboru>");
  in.Reads(a.name);
  return true;
}

Flow RunSignalize(ScriptContext& ctx, FileArgs& a, ScriptFileStack& stack) {
  const Bytes& name = a.name;
  // Relative names belong to the folder of the script that runs the command,
  // the innermost one while scripts are nested.
  const Bytes base = stack.Depth() > 0 ? stack.Top().FullPath() : Bytes();
  const Bytes path = ResolveScriptRelativePath(ctx.host.files, name, base);
  ctx.LogPrintf("Přehrávám soubor %s\n", path.c_str());
  ctx.SetLowerStatus("Přehrávám soubor pro signalizaci");
  // The sound plays on its own; a missing or broken file is no concern of the
  // script.
  ctx.host.window.PlaySound(path);
  return Flow::Next;
}

struct ShowArgs {
  bool restore = false;
};

bool ReadShowWindow(Args& in, ShowArgs& a) {
  Bytes word;
  in.Word(word);
  if (word != "0" && word != "1") return in.Syntax(kShowWindowBox, "ShowWindow [ 0 | 1 ]");
  a.restore = word == "1";
  return true;
}

Flow RunShowWindow(ScriptContext& ctx, ShowArgs& a, ScriptFileStack&) {
  ctx.host.window.ShowMain(a.restore ? kShowRestore : kShowMinimize);
  return Flow::Next;
}

}  // namespace

const CommandDef kWait = DefineCommand<WaitArgs, ReadWait, RunWait>();
const CommandDef kSignalize = DefineCommand<FileArgs, ReadSignalize, RunSignalize>();
const CommandDef kShowWindow = DefineCommand<ShowArgs, ReadShowWindow, RunShowWindow>();

}  // namespace tv
