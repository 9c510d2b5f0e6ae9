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

}  // namespace

Flow CmdDefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, "Očekáváno jméno symbolu za Define", "Define <symbol>");
  }
  ctx.symbols.Define(name);
  return Flow::Next;
}

Flow CmdUndefine(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, "Očekáváno jméno symbolu za Undefine", "Undefine <symbol>");
  }
  ctx.symbols.Undefine(name);
  return Flow::Next;
}

Flow CmdSetCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, "Očekáváno jméno čítače za SetCounter", kSetCounterSyntax);
  }
  Bytes word;
  GetNextWord(rest, word, false, false);
  int32_t value = 0;
  if (!ParseNumber(word, value)) {
    return SyntaxError(ctx, "Očekávána iniciální hodnota čítače za SetCounter", kSetCounterSyntax);
  }
  *ctx.counters.Find(name, true) = value;
  return Flow::Next;
}

Flow CmdIncrementCounter(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes name;
  if (!GetNextWord(rest, name, false, false)) {
    return SyntaxError(ctx, "Očekáváno jméno čítače za IncrementCounter", kIncrementSyntax);
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
    return SyntaxError(ctx, "Očekáváno jméno čítače za TestCounter", kTestCounterSyntax);
  }
  Bytes op;
  Bytes word;
  GetNextWord(rest, op, false, false);
  GetNextWord(rest, word, false, false);
  int32_t n = 0;
  if (!ParseNumber(word, n)) {
    return SyntaxError(ctx, "Příkaz TestCounter je neúplný", kTestCounterSyntax);
  }
  const int32_t* value = ctx.counters.Find(name, false);
  if (!value) return UndefinedCounter(ctx, name);
  bool known = false;
  const bool holds = Compare(op, *value, n, known);
  if (!known) {
    return CommandError(
        ctx, "Příkaz TestCounter má nesprávný operátor",
        "Špatný formát operátoru příkazu !\nSyntaxe: TestCounter <čítač> <operátor> <číslo>\n");
  }
  if (holds) {
    ctx.symbols.Define("TRUE");
  } else {
    ctx.symbols.Undefine("TRUE");
  }
  return Flow::Next;
}

}  // namespace tv
