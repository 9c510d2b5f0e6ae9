// Symbols, counters and text variables: Define, Undefine, SetCounter,
// IncrementCounter, TestCounter, SetText, Calc and TestCalc. Names are
// compared exactly, case-sensitive; a name is a counter's or a text's, never
// both.
#include <cstdint>

#include "engine/args.h"
#include "engine/commands.h"
#include "engine/expand.h"
#include "engine/numbers.h"
#include "engine/tokenizer.h"

namespace tv {

namespace {

const char kSetCounterSyntax[] = "SetCounter <čítač> <číslo>";
const char kIncrementSyntax[] = "IncrementCounter <čítač> [<číslo>]";
const char kTestCounterSyntax[] = "TestCounter <čítač> <operátor> <číslo>";
const char kSetCounterValueBox[] = "Očekávána iniciální hodnota čítače za SetCounter";
const char kTestCounterIncompleteBox[] = "Příkaz TestCounter je neúplný";
const char kTestCounterOperatorBox[] = "Příkaz TestCounter má nesprávný operátor";
const char kTestCounterOperatorLog[] =
    "Špatný formát operátoru příkazu !\nSyntaxe: TestCounter <čítač> <operátor> <číslo>\n";

Bytes CounterNameBox(const char* command) {
  return Bytes("Očekáváno jméno čítače za ") + command;
}

Bytes SymbolNameBox(const char* command) {
  return Bytes("Očekáváno jméno symbolu za ") + command;
}

// A counter wanted where a text variable has the name, or the reverse.
Flow NameTaken(ScriptContext& ctx, const Bytes& name, bool byText) {
  if (byText) {
    ctx.ReportError("Jméno " + name + " již patří textové proměnné");
    ctx.LogPrintf("Jméno %s již patří textové proměnné, čítač je mít nemůže.\n", name.c_str());
  } else {
    ctx.ReportError("Jméno " + name + " již patří čítači");
    ctx.LogPrintf("Jméno %s již patří čítači, textová proměnná je mít nemůže.\n", name.c_str());
  }
  return Flow::Fail;
}

// The counter that a command sets, created when missing; null after the
// failure when a text variable has the name.
int32_t* SetCounterNamed(ScriptContext& ctx, const Bytes& name, Flow& failed) {
  if (ctx.texts.Find(name)) {
    failed = NameTaken(ctx, name, true);
    return nullptr;
  }
  return ctx.counters.Find(name, true);
}

Flow UndefinedCounter(ScriptContext& ctx, const Bytes& name) {
  ctx.ReportError("Čítač nebyl dosud definován");
  ctx.LogPrintf("Čítač %s nebyl dosud definován\n", name.c_str());
  return Flow::Fail;
}

// Whether the comparison named by op holds; false in known when op is not
// one of the operators.
bool Compare(const Bytes& op, int32_t v, int32_t n, bool& known) {
  known = true;
  if (op == "<") return v < n;
  if (op == ">") return v > n;
  if (op == "<=") return v <= n;
  if (op == ">=") return v >= n;
  if (op == "==" || op == "=") return v == n;
  if (op == "<>" || op == "!=") return v != n;
  known = false;
  return false;
}

bool KnownOperator(const Bytes& op) {
  bool known = false;
  Compare(op, 0, 0, known);
  return known;
}

struct NameArgs {
  Bytes name;
};

bool ReadSymbolName(Args& in, NameArgs& a, const char* command, const char* syntax) {
  if (!in.Word(a.name)) return in.Syntax(SymbolNameBox(command), syntax);
  return true;
}

bool ReadDefine(Args& in, NameArgs& a) {
  return ReadSymbolName(in, a, "Define", "Define <symbol>");
}

Flow RunDefine(ScriptContext& ctx, NameArgs& a, ScriptFileStack&) {
  ctx.symbols.Define(a.name);
  return Flow::Next;
}

bool ReadUndefine(Args& in, NameArgs& a) {
  return ReadSymbolName(in, a, "Undefine", "Undefine <symbol>");
}

Flow RunUndefine(ScriptContext& ctx, NameArgs& a, ScriptFileStack&) {
  ctx.symbols.Undefine(a.name);
  return Flow::Next;
}

struct CounterArgs {
  Bytes name;
  int32_t value = 0;
};

bool ReadSetCounter(Args& in, CounterArgs& a) {
  if (!in.Word(a.name)) return in.Syntax(CounterNameBox("SetCounter"), kSetCounterSyntax);
  in.CounterNamed(a.name);
  Bytes word;
  in.Word(word);
  if (!ParseNumber(word, a.value)) return in.Syntax(kSetCounterValueBox, kSetCounterSyntax);
  return true;
}

Flow RunSetCounter(ScriptContext& ctx, CounterArgs& a, ScriptFileStack&) {
  Flow failed = Flow::Fail;
  int32_t* counter = SetCounterNamed(ctx, a.name, failed);
  if (!counter) return failed;
  *counter = a.value;
  return Flow::Next;
}

// A step that is no number counts as 1.
bool ReadIncrementCounter(Args& in, CounterArgs& a) {
  if (!in.Word(a.name)) {
    return in.Syntax(CounterNameBox("IncrementCounter"), kIncrementSyntax);
  }
  in.CounterUsed(a.name);
  Bytes word;
  a.value = 1;
  if (in.Word(word) && !ParseNumber(word, a.value)) {
    in.Warning("Krok za IncrementCounter není číslo, čítač se zvýší o 1");
    a.value = 1;
  }
  return true;
}

Flow RunIncrementCounter(ScriptContext& ctx, CounterArgs& a, ScriptFileStack&) {
  int32_t* value = ctx.counters.Find(a.name, false);
  if (!value) return UndefinedCounter(ctx, a.name);
  *value = WrappingAdd(*value, a.value);
  return Flow::Next;
}

struct TestCounterArgs {
  Bytes name;
  Bytes op;
  int32_t n = 0;
};

bool ReadTestCounter(Args& in, TestCounterArgs& a) {
  if (!in.Word(a.name)) return in.Syntax(CounterNameBox("TestCounter"), kTestCounterSyntax);
  in.CounterUsed(a.name);
  in.Word(a.op);
  const int opColumn = in.Column();
  // The right side is a number or, as the left, a counter.
  Bytes word;
  in.Word(word);
  if (!in.NumberOrCounter(word, a.n)) {
    return in.Syntax(kTestCounterIncompleteBox, kTestCounterSyntax);
  }
  // The run finds an unknown counter before a wrong operator.
  if (in.Checking() && !KnownOperator(a.op)) {
    return in.At(opColumn).Error(kTestCounterOperatorBox, kTestCounterOperatorLog);
  }
  return true;
}

Flow RunTestCounter(ScriptContext& ctx, TestCounterArgs& a, ScriptFileStack&) {
  const int32_t* value = ctx.counters.Find(a.name, false);
  if (!value) return UndefinedCounter(ctx, a.name);
  bool known = false;
  const bool holds = Compare(a.op, *value, a.n, known);
  if (!known) {
    return CommandError(ctx, kTestCounterOperatorBox, kTestCounterOperatorLog);
  }
  if (holds) {
    ctx.symbols.Define("TRUE");
  } else {
    ctx.symbols.Undefine("TRUE");
  }
  return Flow::Next;
}

struct SetTextArgs {
  Bytes name;
  Bytes text;
};

bool ReadSetText(Args& in, SetTextArgs& a) {
  if (!in.Word(a.name)) {
    return in.Syntax("Očekáváno jméno textové proměnné za SetText", "SetText <jméno> <text>");
  }
  if (!UsableTextName(a.name)) {
    const Bytes box = "Jméno " + a.name + " nelze použít pro textovou proměnnou";
    return in.Error(box, (box + ".\n").c_str());
  }
  in.TextNamed(a.name);
  return in.Text(a.text);
}

Flow RunSetText(ScriptContext& ctx, SetTextArgs& a, ScriptFileStack&) {
  if (ctx.counters.Find(a.name, false)) return NameTaken(ctx, a.name, false);
  if (a.text.size() > kMaxTextBytes) {
    ctx.ReportError(
        FormatText("Text je delší než %lu bytů", static_cast<unsigned long>(kMaxTextBytes)));
    ctx.LogPrintf("Text pro proměnnou %s má %lu bytů, nejvýše lze %lu.\n", a.name.c_str(),
                  static_cast<unsigned long>(a.text.size()),
                  static_cast<unsigned long>(kMaxTextBytes));
    return Flow::Fail;
  }
  *ctx.texts.Find(a.name, true) = a.text;
  return Flow::Next;
}

const char kCalcSyntax[] = "Calc <čítač> <výraz>";
const char kTestCalcSyntax[] = "TestCalc <výraz>";

struct CalcArgs {
  Bytes name;
  ExprValue value;
};

bool ReadCalc(Args& in, CalcArgs& a) {
  if (!in.Word(a.name)) return in.Syntax(CounterNameBox("Calc"), kCalcSyntax);
  in.CounterNamed(a.name);
  if (in.AtEnd()) {
    return in.At(in.Here()).Syntax("Očekáván výraz za jménem čítače v Calc", kCalcSyntax);
  }
  return in.Expression(a.value);
}

Flow RunCalc(ScriptContext& ctx, CalcArgs& a, ScriptFileStack&) {
  Flow failed = Flow::Fail;
  int32_t* counter = SetCounterNamed(ctx, a.name, failed);
  if (!counter) return failed;
  *counter = a.value.value;
  return Flow::Next;
}

bool ReadTestCalc(Args& in, CalcArgs& a) {
  if (in.AtEnd()) return in.At(in.Here()).Syntax("Očekáván výraz za TestCalc", kTestCalcSyntax);
  return in.Expression(a.value);
}

Flow RunTestCalc(ScriptContext& ctx, CalcArgs& a, ScriptFileStack&) {
  if (a.value.value != 0) {
    ctx.symbols.Define("TRUE");
  } else {
    ctx.symbols.Undefine("TRUE");
  }
  return Flow::Next;
}

}  // namespace

const CommandDef kSetText = DefineCommand<SetTextArgs, ReadSetText, RunSetText>();
const CommandDef kCalc = DefineCommand<CalcArgs, ReadCalc, RunCalc>();
const CommandDef kTestCalc = DefineCommand<CalcArgs, ReadTestCalc, RunTestCalc>();

const CommandDef kDefine = DefineCommand<NameArgs, ReadDefine, RunDefine>();
const CommandDef kUndefine = DefineCommand<NameArgs, ReadUndefine, RunUndefine>();
const CommandDef kSetCounter = DefineCommand<CounterArgs, ReadSetCounter, RunSetCounter>();
const CommandDef kIncrementCounter =
    DefineCommand<CounterArgs, ReadIncrementCounter, RunIncrementCounter>();
const CommandDef kTestCounter = DefineCommand<TestCounterArgs, ReadTestCounter, RunTestCounter>();

}  // namespace tv
