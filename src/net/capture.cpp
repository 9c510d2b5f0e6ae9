// OutputFile and CloseOutput: the file every consumed byte is copied to.
#include "net/capture.h"

#include "engine/args.h"
#include "net/commands.h"
#include "shell/paths.h"

namespace tv {

namespace {

const char kOutputNameBox[] = "Za OutputFile musí být název souboru";

struct FileArgs {
  Bytes name;
  bool append = false;
};

// A file still open is closed before the line is read.
bool ReadOutputFile(Args& in, FileArgs& a) {
  if (ScriptContext* ctx = in.Run(); ctx && ctx->capture) {
    ctx->SetLowerStatus("Uzavírám předchozí výstupní soubor");
    ctx->LogPrintf("Předchozí soubor je dosud otevřen - uzavírám jej.\n");
    ctx->capture.reset();
    ctx->LogPrintf("Soubor uzavřen.\n");
  }
  bool variable = false;
  if (!in.WordOrValue(a.name, true, false, &variable)) {
    return in.Syntax(kOutputNameBox, "OutputFile <jméno-souboru>");
  }
  if (!variable) in.Creates(a.name);
  // Append adds to a file that exists; any other word is left as before.
  Bytes word;
  a.append = in.Keyword(word) && word == "APPEND";
  return true;
}

Flow RunOutputFile(ScriptContext& ctx, FileArgs& a, ScriptFileStack& stack) {
  const Bytes path = ResolveScriptRelativePath(ctx.host.files, a.name, stack.Top().FullPath());
  ctx.LogPrintf(
      a.append ? "Otevírám pro připisování soubor %s\n" : "Otevírám pro zápis soubor %s\n",
      path.c_str());
  ctx.SetLowerStatus("Otevírám soubor");
  ctx.capture = a.append ? ctx.host.files.AppendCapture(path) : ctx.host.files.CreateCapture(path);
  // A new file gets every byte read from now on.
  ctx.capturedCount = 0;
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

Flow RunCloseOutput(ScriptContext& ctx, NoArgs&, ScriptFileStack&) {
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

}  // namespace

const CommandDef kOutputFile = DefineCommand<FileArgs, ReadOutputFile, RunOutputFile>();
const CommandDef kCloseOutput = DefineCommand<NoArgs, ReadNoArgs, RunCloseOutput>();

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

}  // namespace tv
