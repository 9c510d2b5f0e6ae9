// Symbols and counters: Define, Undefine, SetCounter, IncrementCounter and
// TestCounter. Names are compared exactly, case-sensitive.
#include <cstdint>

#include "engine/args.h"
#include "engine/commands.h"
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
  *ctx.counters.Find(a.name, true) = a.value;
  return Flow::Next;
}

// A step that is no number counts as 1.
bool ReadIncrementCounter(Args& in, CounterArgs& a) {
  if (!in.Word(a.name)) {
    return in.Syntax(CounterNameBox("IncrementCounter"), kIncrementSyntax);
  }
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
  in.Word(a.op);
  const int opColumn = in.Column();
  Bytes word;
  in.Word(word);
  if (!ParseNumber(word, a.n)) return in.Syntax(kTestCounterIncompleteBox, kTestCounterSyntax);
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

}  // namespace

const CommandDef kDefine = DefineCommand<NameArgs, ReadDefine, RunDefine>();
const CommandDef kUndefine = DefineCommand<NameArgs, ReadUndefine, RunUndefine>();
const CommandDef kSetCounter = DefineCommand<CounterArgs, ReadSetCounter, RunSetCounter>();
const CommandDef kIncrementCounter =
    DefineCommand<CounterArgs, ReadIncrementCounter, RunIncrementCounter>();
const CommandDef kTestCounter = DefineCommand<TestCounterArgs, ReadTestCounter, RunTestCounter>();

}  // namespace tv
