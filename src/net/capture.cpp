// OutputFile and CloseOutput: the file every consumed byte is copied to.
#include "net/capture.h"

#include "engine/commands.h"
#include "engine/tokenizer.h"

namespace tv {

namespace {

const char kOutputNameBox[] = "Za OutputFile musí být název souboru";

}  // namespace

Flow CmdOutputFile(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  if (ctx.capture) {
    ctx.SetLowerStatus("Uzavírám předchozí výstupní soubor");
    ctx.LogPrintf("Předchozí soubor je dosud otevřen - uzavírám jej.\n");
    ctx.capture.reset();
    ctx.LogPrintf("Soubor uzavřen.\n");
  }
  Bytes name;
  if (!GetNextWord(rest, name, false, true)) {
    return SyntaxError(ctx, kOutputNameBox, "OutputFile <jméno-souboru>");
  }
  const Bytes path = ctx.host.files.ResolveScriptRelativePath(name, stack.Top().FullPath());
  ctx.LogPrintf("Otevírám pro zápis soubor %s\n", path.c_str());
  ctx.SetLowerStatus("Otevírám soubor");
  ctx.capture = ctx.host.files.CreateCapture(path);
  if (!ctx.capture) {
    ctx.LogPrintf("Soubor nelze vytvořit pro zápis !\n");
    ctx.SetLowerStatus("Soubor nelze otevřít pro zápis");
    ctx.ReportError("Nelze otevřít soubor");
    return Flow::Fail;
  }
  ctx.LogPrintf("Soubor v pořádku otevřen.\n");
  ctx.SetLowerStatus("Soubor v pořádku otevřen");
  return Flow::Next;
}

Flow CmdCloseOutput(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  if (!ctx.capture) {
    ctx.LogPrintf("Žádný soubor není otevřen.\n");
    ctx.SetLowerStatus("Není co uzavírat");
    return Flow::Next;
  }
  ctx.SetLowerStatus("Uzavírám výstupní soubor");
  ctx.LogPrintf("Uzavírám soubor pro opis přijímaných dat.\n");
  ctx.capture.reset();
  ctx.LogPrintf("Soubor uzavřen.\n");
  return Flow::Next;
}

void WriteCapture(ScriptContext& ctx, const char* data, size_t len) {
  // A capture file that cannot take the bytes (full disk, lost share) does
  // not disturb the run: the write's result is not looked at.
  if (ctx.capture && len > 0) ctx.capture->Write(data, len);
}

void CloseCaptureAfterRun(ScriptContext& ctx) {
  if (!ctx.capture) return;
  ctx.LogPrintf("Soubor pro opisování dat zůstal otevřen - uzavírám jej.\n");
  ctx.capture.reset();
}

void CheckOutputFile(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, true)) return lc.Error(column, kOutputNameBox);
  lc.FileCreated(name, column);
}

}  // namespace tv
