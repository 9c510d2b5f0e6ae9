// Flow control: conditions on symbols, jumps to labels, nested script files
// and the ends of a run.
#include "engine/args.h"
#include "engine/commands.h"
#include "engine/numbers.h"
#include "engine/tokenizer.h"
#include "shell/paths.h"

namespace tv {

namespace {

const char kIfSymbolBox[] = "Očekáváno jméno symbolu za IfDef/IfNotDef";
const char kGoToLabelBox[] = "Očekáváno jméno návěští za GoTo";
const char kCallNameBox[] = "Za Call musí být název souboru";
const char kTimeoutSyntaxBox[] = "Nesprávná syntaxe příkazu Timeout ve scriptu";

// A passed test makes the rest of the line a command of its own, which may
// be another IfDef/IfNotDef: conditions chain on one line to any depth. The
// run walks the chain here, test after test, with the reader's cursor on the
// line, which is cut once, in front of the command that ends the chain. The
// checker checks the rest as a command, which checks the next link.
struct IfArgs {
  bool holds = false;
  Bytes command;
  Bytes* rest = nullptr;
};

bool ReadIf(Args& in, IfArgs& a, bool wantDefined) {
  Bytes symbol;
  for (;;) {
    if (!in.Word(symbol)) return in.Syntax(kIfSymbolBox, "IfDef/IfNotDef <symbol> [příkaz]");
    if (in.Checking()) {
      in.ConditionalCommand();
      return true;
    }
    if (in.Run()->symbols.IsDefined(symbol) != wantDefined) return true;
    if (!in.Keyword(a.command) || a.command[0] == '/') return true;
    const CommandDef* next = in.Stack()->Commands().Find(a.command);
    if (next == &kIfDef) {
      wantDefined = true;
    } else if (next == &kIfNotDef) {
      wantDefined = false;
    } else {
      a.holds = true;
      a.rest = &in.Rest();
      return true;
    }
  }
}

bool ReadIfDef(Args& in, IfArgs& a) {
  return ReadIf(in, a, true);
}

bool ReadIfNotDef(Args& in, IfArgs& a) {
  return ReadIf(in, a, false);
}

Flow RunIf(ScriptContext& ctx, IfArgs& a, ScriptFileStack& stack) {
  if (!a.holds) return Flow::NextNoPump;
  return DispatchCommand(ctx, a.command, *a.rest, stack);
}

struct LabelArgs {
  Bytes label;
};

bool ReadGoTo(Args& in, LabelArgs& a) {
  if (!in.Word(a.label)) return in.Syntax(kGoToLabelBox, "GoTo <návěští>");
  in.LabelUsed(a.label);
  in.EndsFlow("GoTo");
  return true;
}

// Searches the top file from its beginning for the first Label line with the
// name; a file without it is left for its caller, searched the same way.
Flow RunGoTo(ScriptContext& ctx, LabelArgs& a, ScriptFileStack& stack) {
  return JumpToLabel(ctx, a.label, stack);
}

Flow RunNothing(ScriptContext&, NoArgs&, ScriptFileStack&) {
  return Flow::Next;
}

struct CallArgs {
  Bytes name;
};

// The name may be a text variable's; the checker follows only a name
// written out.
bool ReadCall(Args& in, CallArgs& a) {
  bool variable = false;
  if (!in.WordOrValue(a.name, true, false, &variable)) {
    return in.Syntax(kCallNameBox, "Call <jméno-souboru>");
  }
  if (variable) {
    in.CallsUnknownFile();
  } else {
    in.Calls(a.name);
  }
  return true;
}

Flow RunCall(ScriptContext& ctx, CallArgs& a, ScriptFileStack& stack) {
  if (stack.Full()) {
    ctx.ReportError("Přetečení interního zásobníku souborů-scriptů");
    ctx.LogPrintf("Příliš velká hloubka vnoření příkazů Call\n");
    return Flow::Fail;
  }
  const Bytes path = ResolveScriptRelativePath(ctx.host.files, a.name, stack.Top().FullPath());
  ScriptRefusal why = ScriptRefusal::Unreadable;
  std::unique_ptr<ScriptFile> file = ctx.host.files.OpenScript(path, &why);
  if (!file) {
    ScriptNotOpened(ctx, path, why);
    return Flow::Abandon;
  }
  stack.Push(std::move(file));
  return Flow::Next;
}

Flow RunReturn(ScriptContext&, NoArgs&, ScriptFileStack& stack) {
  if (stack.Depth() == 1) return Flow::Stop;
  stack.Pop();
  return Flow::Next;
}

bool ReadStop(Args& in, NoArgs&) {
  in.EndsFlow("Stop");
  return true;
}

Flow RunStop(ScriptContext&, NoArgs&, ScriptFileStack&) {
  return Flow::Stop;
}

bool ReadEnd(Args& in, NoArgs&) {
  in.EndsFlow("End");
  return true;
}

// The quit is requested first; the program ends once the run is over and
// back in the main window's loop.
Flow RunEnd(ScriptContext& ctx, NoArgs&, ScriptFileStack&) {
  ctx.host.queue.PostQuit(0);
  return Flow::Stop;
}

struct TimeoutArgs {
  int32_t ms = 0;
  Bytes label;
};

// Timeout <ms> [<label>]. The label is looked for only when a limit above 0
// runs out.
bool ReadTimeout(Args& in, TimeoutArgs& a) {
  Bytes word;
  if (!in.Word(word) || !ParseNumber(word, a.ms)) {
    return in.Syntax(kTimeoutSyntaxBox, "Timeout <milisekundy> [<návěští>]");
  }
  if (in.Word(a.label) && a.ms > 0) in.LabelUsed(a.label);
  return true;
}

// The limit of every later command of the run that waits; 0 or less lifts
// it.
Flow RunTimeout(ScriptContext& ctx, TimeoutArgs& a, ScriptFileStack&) {
  ctx.timeLimit.ms = a.ms > 0 ? a.ms : 0;
  ctx.timeLimit.label = a.ms > 0 ? a.label : Bytes();
  return Flow::Next;
}

struct FailArgs {
  Bytes text;
};

bool ReadFail(Args& in, FailArgs& a) {
  in.EndsFlow("Fail");
  return in.Text(a.text);
}

// The run ends as after a failed command, with the script's own text.
Flow RunFail(ScriptContext& ctx, FailArgs& a, ScriptFileStack&) {
  if (a.text.empty()) {
    ctx.ReportError("Script ohlásil chybu");
    ctx.LogPrintf("Script ukončen příkazem Fail.\n");
  } else {
    ctx.ReportError(a.text);
    ctx.LogData("Script ukončen příkazem Fail: ", a.text.data(), a.text.size());
  }
  return Flow::Fail;
}

}  // namespace

const CommandDef kIfDef = DefineCommand<IfArgs, ReadIfDef, RunIf>();
const CommandDef kIfNotDef = DefineCommand<IfArgs, ReadIfNotDef, RunIf>();
const CommandDef kGoTo = DefineCommand<LabelArgs, ReadGoTo, RunGoTo>();
const CommandDef kLabel = DefineCommand<NoArgs, ReadNoArgs, RunNothing>();
const CommandDef kCall = DefineCommand<CallArgs, ReadCall, RunCall>();
const CommandDef kReturn = DefineCommand<NoArgs, ReadNoArgs, RunReturn>();
const CommandDef kStop = DefineCommand<NoArgs, ReadStop, RunStop>();
const CommandDef kEnd = DefineCommand<NoArgs, ReadEnd, RunEnd>();
const CommandDef kComment = DefineCommand<NoArgs, ReadNoArgs, RunNothing>();
const CommandDef kTimeout = DefineCommand<TimeoutArgs, ReadTimeout, RunTimeout>();
const CommandDef kFail = DefineCommand<FailArgs, ReadFail, RunFail>();

Flow JumpToLabel(ScriptContext& ctx, const Bytes& label, ScriptFileStack& stack) {
  for (;;) {
    ScriptText& file = stack.Top();
    const ScriptText::Read found = file.FindLabel(label);
    if (found == ScriptText::Read::Line) return Flow::Next;
    if (found != ScriptText::Read::End) return LineReadFailure(ctx, file, found);
    if (stack.Depth() == 1) {
      ctx.ReportError("Návěští za GoTo nenalezeno za žádným Label");
      ctx.LogPrintf("Návěští %s nenalezeno za žádným příkazem Label !\n", label.c_str());
      return Flow::Fail;
    }
    stack.Pop();
  }
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
