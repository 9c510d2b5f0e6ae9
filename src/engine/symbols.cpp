// Symbols and counters: Define, Undefine, SetCounter, IncrementCounter and
// TestCounter. Names are compared exactly, case-sensitive.
#include <cstdint>

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

void CheckSymbolName(LineCheck& lc, Bytes& rest, const char* command) {
  const int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) lc.Error(column, SymbolNameBox(command));
}

}  // namespace

Flow CmdDefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, SymbolNameBox("Define"), "Define <symbol>");
  }
  ctx.symbols.Define(name);
  return Flow::Next;
}

Flow CmdUndefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, SymbolNameBox("Undefine"), "Undefine <symbol>");
  }
  ctx.symbols.Undefine(name);
  return Flow::Next;
}

Flow CmdSetCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, CounterNameBox("SetCounter"), kSetCounterSyntax);
  }
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t value = 0;
  if (!ParseNumber(word, value)) {
    return SyntaxError(ctx, kSetCounterValueBox, kSetCounterSyntax);
  }
  *ctx.counters.Find(name, true) = value;
  return Flow::Next;
}

Flow CmdIncrementCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, CounterNameBox("IncrementCounter"), kIncrementSyntax);
  }
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t step = 1;
  if (!ParseNumber(word, step)) step = 1;
  int32_t* value = ctx.counters.Find(name, false);
  if (!value) return UndefinedCounter(ctx, name);
  *value = WrappingAdd(*value, step);
  return Flow::Next;
}

Flow CmdTestCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, CounterNameBox("TestCounter"), kTestCounterSyntax);
  }
  Bytes op;
  Bytes word;
  GetNextWord(rest, op, false, false);
  GetNextWord(rest, word, false, false);
  int32_t n = 0;
  if (!ParseNumber(word, n)) {
    return SyntaxError(ctx, kTestCounterIncompleteBox, kTestCounterSyntax);
  }
  const int32_t* value = ctx.counters.Find(name, false);
  if (!value) return UndefinedCounter(ctx, name);
  bool known = false;
  const bool holds = Compare(op, *value, n, known);
  if (!known) {
    return CommandError(
        ctx, kTestCounterOperatorBox,
        "Špatný formát operátoru příkazu !\nSyntaxe: TestCounter <čítač> <operátor> <číslo>\n");
  }
  if (holds) {
    ctx.symbols.Define("TRUE");
  } else {
    ctx.symbols.Undefine("TRUE");
  }
  return Flow::Next;
}

void CheckDefine(LineCheck& lc, Bytes& rest) {
  CheckSymbolName(lc, rest, "Define");
}

void CheckUndefine(LineCheck& lc, Bytes& rest) {
  CheckSymbolName(lc, rest, "Undefine");
}

void CheckSetCounter(LineCheck& lc, Bytes& rest) {
  int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return lc.Error(column, CounterNameBox("SetCounter"));
  }
  lc.CounterNamed(name);
  column = lc.Column(rest);
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t value = 0;
  if (!ParseNumber(word, value)) lc.Error(column, kSetCounterValueBox);
}

void CheckIncrementCounter(LineCheck& lc, Bytes& rest) {
  int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return lc.Error(column, CounterNameBox("IncrementCounter"));
  }
  column = lc.Column(rest);
  Bytes word;
  int32_t step = 1;
  // The run takes a step that is no number as 1.
  if (GetNextWord(rest, word, false, false) && !ParseNumber(word, step)) {
    lc.Warning(column, "Krok za IncrementCounter není číslo, čítač se zvýší o 1");
  }
}

void CheckTestCounter(LineCheck& lc, Bytes& rest) {
  int column = lc.Column(rest);
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return lc.Error(column, CounterNameBox("TestCounter"));
  }
  const int opColumn = lc.Column(rest);
  Bytes op;
  GetNextWord(rest, op, false, false);
  column = lc.Column(rest);
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t n = 0;
  if (!ParseNumber(word, n)) return lc.Error(column, kTestCounterIncompleteBox);
  if (!KnownOperator(op)) lc.Error(opColumn, kTestCounterOperatorBox);
}

}  // namespace tv
