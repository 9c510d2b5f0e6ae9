// Wait, Signalize and ShowWindow: time, sound and the main window.
#include <algorithm>
#include <cstdio>

#include "engine/commands.h"
#include "engine/numbers.h"
#include "engine/tokenizer.h"

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

}  // namespace

Flow CmdWait(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes word;
  if (!GetNextWord(rest, word, false, false)) {
    return SyntaxError(ctx, kWaitBox, "Wait <počet-milisekund>");
  }
  // Numbers beyond the signed 32-bit range clamp to its ends, so a huge wait
  // is about 24 days and a hugely negative one does not wait at all.
  int32_t delay = 0;
  if (!ParseNumber(word, delay)) {
    return CommandError(ctx, kWaitBox,
                        "Argument příkazu není číslo !\nSyntaxe: Wait <počet-milisekund>\n");
  }
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

Flow CmdSignalize(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes name;
  if (!GetNextWord(rest, name, false, true)) {
    return SyntaxError(ctx, kSignalizeNameBox, "Signalize <jméno-souboru>");
  }
  // Relative names belong to the folder of the script that runs the command,
  // the innermost one while scripts are nested.
  const Bytes base = stack.Depth() > 0 ? stack.Top().FullPath() : Bytes();
  const Bytes path = ctx.host.files.ResolveScriptRelativePath(name, base);
  ctx.LogPrintf("Přehrávám soubor %s\n", path.c_str());
  ctx.SetLowerStatus("Přehrávám soubor pro signalizaci");
  // The sound plays on its own; a missing or broken file is no concern of the
  // script.
  ctx.host.window.PlaySound(path);
  return Flow::Next;
}

Flow CmdShowWindow(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes word;
  GetNextWord(rest, word, false, false);
  if (word == "0") {
    ctx.host.window.ShowMain(kShowMinimize);
  } else if (word == "1") {
    ctx.host.window.ShowMain(kShowRestore);
  } else {
    return SyntaxError(ctx, kShowWindowBox, "ShowWindow [ 0 | 1 ]");
  }
  return Flow::Next;
}

void CheckWait(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes word;
  int32_t delay = 0;
  if (!GetNextWord(rest, word, false, false) || !ParseNumber(word, delay)) {
    lc.Error(column, kWaitBox);
  }
}

void CheckSignalize(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, true)) return lc.Error(column, kSignalizeNameBox);
  lc.FileRead(name, column);
}

void CheckShowWindow(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes word;
  GetNextWord(rest, word, false, false);
  if (word != "0" && word != "1") lc.Error(column, kShowWindowBox);
}

}  // namespace tv
