// Flow control: conditions on symbols, jumps to labels, nested script files
// and the ends of a run.
#include "engine/check.h"
#include "engine/commands.h"
#include "engine/numbers.h"
#include "engine/tokenizer.h"

namespace tv {

namespace {

const char kIfSymbolBox[] = "Očekáváno jméno symbolu za IfDef/IfNotDef";
const char kGoToLabelBox[] = "Očekáváno jméno návěští za GoTo";
const char kCallNameBox[] = "Za Call musí být název souboru";
const char kTimeoutSyntaxBox[] = "Nesprávná syntaxe příkazu Timeout ve scriptu";

// A passed test makes the rest of the line a command of its own, which may
// be another IfDef/IfNotDef: conditions chain on one line to any depth. The
// chain is walked here, test after test, with a cursor on the line, which is
// cut once, in front of the command that ends the chain.
Flow IfCommon(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack, bool wantDefined) {
  Bytes symbol;
  Bytes word;
  size_t pos = 0;
  for (;;) {
    if (!GetNextWord(rest, pos, symbol, false, false)) {
      return SyntaxError(ctx, kIfSymbolBox, "IfDef/IfNotDef <symbol> [příkaz]");
    }
    if (ctx.symbols.IsDefined(symbol) != wantDefined) return Flow::NextNoPump;
    if (!GetNextWord(rest, pos, word, true, false) || word[0] == '/') return Flow::NextNoPump;
    const Handler next = FindHandler(word);
    if (next == CmdIfDef) {
      wantDefined = true;
    } else if (next == CmdIfNotDef) {
      wantDefined = false;
    } else {
      break;
    }
  }
  rest.erase(0, pos);
  return DispatchCommand(ctx, word, rest, stack);
}

// Whether line is a Label line naming label.
bool IsLabelLine(Bytes& line, Bytes& word, const Bytes& label) {
  return ReadLabelLine(line, word) && word == label;
}

void CheckIf(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes symbol;
  if (!GetNextWord(rest, symbol, false, false)) return lc.Error(column, kIfSymbolBox);
  lc.CheckConditionalCommand(rest);
}

void CheckLabelReachable(LineCheck& lc, const Bytes& label, int column) {
  if (!lc.LabelVisible(label)) {
    lc.Error(column, "Návěští " + label +
                         " nenalezeno za žádným příkazem Label tohoto souboru ani souborů, "
                         "které jej volají");
  }
}

}  // namespace

bool ReadLabelLine(Bytes& line, Bytes& word) {
  if (!GetNextWord(line, word, true, false) || word != "LABEL") return false;
  GetNextWord(line, word, false, false);
  return true;
}

void CheckNoArguments(LineCheck&, Bytes&) {}

void CheckIfDef(LineCheck& lc, Bytes& rest) {
  CheckIf(lc, rest);
}

void CheckIfNotDef(LineCheck& lc, Bytes& rest) {
  CheckIf(lc, rest);
}

void CheckGoTo(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes label;
  if (!GetNextWord(rest, label, false, false)) return lc.Error(column, kGoToLabelBox);
  CheckLabelReachable(lc, label, column);
  lc.EndsFlow("GoTo");
}

void CheckCall(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, true)) return lc.Error(column, kCallNameBox);
  lc.Call(name, column);
}

void CheckStop(LineCheck& lc, Bytes&) {
  lc.EndsFlow("Stop");
}

void CheckEnd(LineCheck& lc, Bytes&) {
  lc.EndsFlow("End");
}

// The label is looked for only when a limit above 0 runs out.
void CheckTimeout(LineCheck& lc, Bytes& rest) {
  int column = lc.Column(rest);
  Bytes word;
  int32_t ms = 0;
  if (!GetNextWord(rest, word, false, false) || !ParseNumber(word, ms)) {
    return lc.Error(column, kTimeoutSyntaxBox);
  }
  column = lc.Column(rest);
  Bytes label;
  if (GetNextWord(rest, label, false, false) && ms > 0) CheckLabelReachable(lc, label, column);
}

Flow CmdIfDef(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  return IfCommon(ctx, rest, stack, true);
}

Flow CmdIfNotDef(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  return IfCommon(ctx, rest, stack, false);
}

// Searches the top file from its beginning for the first Label line with the
// name; a file without it is left for its caller, searched the same way.
Flow CmdGoTo(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes label;
  if (!GetNextWord(rest, label, false, false)) {
    return SyntaxError(ctx, kGoToLabelBox, "GoTo <návěští>");
  }
  return JumpToLabel(ctx, label, stack);
}

Flow JumpToLabel(ScriptContext& ctx, const Bytes& label, ScriptFileStack& stack) {
  Bytes line;
  Bytes word;
  for (;;) {
    ScriptText& file = stack.Top();
    if (!file.Rewind()) return ReadFailure(ctx);
    for (;;) {
      const ScriptText::Read read = file.ReadLine(line);
      if (read == ScriptText::Read::End) break;
      if (read != ScriptText::Read::Line) return LineReadFailure(ctx, file, read);
      if (IsLabelLine(line, word, label)) return Flow::Next;
    }
    if (stack.Depth() == 1) {
      ctx.ReportError("Návěští za GoTo nenalezeno za žádným Label");
      ctx.LogPrintf("Návěští %s nenalezeno za žádným příkazem Label !\n", label.c_str());
      return Flow::Fail;
    }
    stack.Pop();
  }
}

Flow CmdLabel(ScriptContext&, Bytes&, ScriptFileStack&) {
  return Flow::Next;
}

Flow CmdCall(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  Bytes name;
  if (!GetNextWord(rest, name, false, true)) {
    return SyntaxError(ctx, kCallNameBox, "Call <jméno-souboru>");
  }
  if (stack.Full()) {
    ctx.ReportError("Přetečení interního zásobníku souborů-scriptů");
    ctx.LogPrintf("Příliš velká hloubka vnoření příkazů Call\n");
    return Flow::Fail;
  }
  const Bytes path = ctx.host.files.ResolveScriptRelativePath(name, stack.Top().FullPath());
  std::unique_ptr<ScriptFile> file = ctx.host.files.OpenScript(path);
  if (!file) {
    ctx.ReportError("Nelze otevřít pro čtení soubor " + path);
    ctx.LogPrintf("Soubor %s nelze otevřít pro čtení.\n", path.c_str());
    return Flow::Abandon;
  }
  stack.Push(std::move(file));
  return Flow::Next;
}

Flow CmdReturn(ScriptContext&, Bytes&, ScriptFileStack& stack) {
  if (stack.Depth() == 1) return Flow::Stop;
  stack.Pop();
  return Flow::Next;
}

Flow CmdStop(ScriptContext&, Bytes&, ScriptFileStack&) {
  return Flow::Stop;
}

// The quit is requested first; the program ends once the run is over and
// back in the main window's loop.
Flow CmdEnd(ScriptContext& ctx, Bytes&, ScriptFileStack&) {
  ctx.host.queue.PostQuit(0);
  return Flow::Stop;
}

Flow CmdComment(ScriptContext&, Bytes&, ScriptFileStack&) {
  return Flow::Next;
}

// Timeout <ms> [<label>]: the limit of every later command of the run that
// waits; 0 or less lifts it.
Flow CmdTimeout(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes word;
  int32_t ms = 0;
  if (!GetNextWord(rest, word, false, false) || !ParseNumber(word, ms)) {
    return SyntaxError(ctx, kTimeoutSyntaxBox, "Timeout <milisekundy> [<návěští>]");
  }
  Bytes label;
  GetNextWord(rest, label, false, false);
  ctx.timeLimit.ms = ms > 0 ? ms : 0;
  ctx.timeLimit.label = ms > 0 ? label : Bytes();
  return Flow::Next;
}

Flow TimeLimitExpired(ScriptContext& ctx, const char* command, ScriptFileStack& stack) {
  const long ms = static_cast<long>(ctx.timeLimit.ms);
  ctx.LogPrintf("Vypršel časový limit %ld ms.\n", ms);
  ctx.SetLowerStatus(Bytes("Vypršel časový limit příkazu ") + command);
  if (!ctx.timeLimit.label.empty()) return JumpToLabel(ctx, ctx.timeLimit.label, stack);
  ctx.ReportError(Bytes("Vypršel časový limit příkazu ") + command);
  ctx.timeLimit.endedRun = true;
  return Flow::Fail;
}

}  // namespace tv
