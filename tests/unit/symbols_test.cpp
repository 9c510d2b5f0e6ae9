#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace tv::test {
namespace {

// Runs one line and returns the box texts and the log lines it caused.
struct OneLine {
  Bytes box, log;
};
OneLine RunLine(FakeHost& h, const Bytes& line) {
  h.window.transcript.clear();
  const size_t before = h.LogText().size();
  h.Run(line + "\n");
  Bytes log = h.LogText().substr(before);
  // Drop the run's own lines around the command's.
  log = log.substr(log.find('\n', log.find("$$ ")) + 1);
  log.erase(log.rfind("Soubor interpretován a uzavřen.\n"));
  return {h.window.transcript.empty() ? Bytes() : h.window.transcript[0], log};
}

TEST(Symbols, DefineUndefineAreExactAndIdempotent) {
  FakeHost h;
  h.Run("Define ok\nDefine OK\nDefine ok\nUndefine missing\nDefine \"q\"\nUndefine OK\n");
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{"ok", "\"q\""}));
  EXPECT_TRUE(h.window.transcript.empty());
  EXPECT_EQ(RunLine(h, "Define").box, "[*** CHYBA ***] Očekáváno jméno symbolu za Define");
  EXPECT_EQ(RunLine(h, "Undefine").log, "Špatný formát příkazu !\nSyntaxe: Undefine <symbol>\n");
}

TEST(Symbols, SetAndIncrementCounters) {
  FakeHost h;
  h.Run(
      "SetCounter a 12abc\nSetCounter b -5\nSetCounter A 1\n"
      "IncrementCounter a\nIncrementCounter a abc\nIncrementCounter b -3\n"
      "SetCounter max 2147483647\nIncrementCounter max\n"
      "SetCounter huge 99999999999\nIncrementCounter b -99999999999\n");
  auto value = [&](const char* n) { return *h.ctx.counters.Find(n, false); };
  EXPECT_EQ(value("a"), 14);
  EXPECT_EQ(value("A"), 1);
  // -8 plus the clamped step -2147483648, wrapped around.
  EXPECT_EQ(value("b"), 2147483640);
  EXPECT_EQ(value("max"), INT32_MIN);
  EXPECT_EQ(value("huge"), INT32_MAX);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);

  const OneLine noValue = RunLine(h, "SetCounter fresh abc");
  EXPECT_EQ(noValue.box, "[*** CHYBA ***] Očekávána iniciální hodnota čítače za SetCounter");
  EXPECT_EQ(noValue.log, "Špatný formát příkazu !\nSyntaxe: SetCounter <čítač> <číslo>\n");
  EXPECT_EQ(h.ctx.counters.Find("fresh", false), nullptr);
  EXPECT_EQ(RunLine(h, "SetCounter").box, "[*** CHYBA ***] Očekáváno jméno čítače za SetCounter");

  EXPECT_EQ(RunLine(h, "IncrementCounter").log,
            "Špatný formát příkazu !\nSyntaxe: IncrementCounter <čítač> [<číslo>]\n");
  const OneLine undefined = RunLine(h, "IncrementCounter never 1");
  EXPECT_EQ(undefined.box, "[*** CHYBA ***] Čítač nebyl dosud definován");
  EXPECT_EQ(undefined.log, "Čítač never nebyl dosud definován\n");
  EXPECT_EQ(h.ctx.counters.Find("never", false), nullptr);
}

TEST(Symbols, TestCounterOperators) {
  FakeHost h;
  *h.ctx.counters.Find("c", true) = -2;
  const struct {
    const char* line;
    bool holds;
  } cases[] = {
      {"c < -1", true},   {"c < -2", false},          {"c > -3", true},  {"c > -2", false},
      {"c <= -2", true},  {"c <= -3", false},         {"c >= -2", true}, {"c >= -1", false},
      {"c == -2", true},  {"c = -2x", true},          {"c = 2", false},  {"c <> 2", true},
      {"c != -2", false}, {"c > -99999999999", true},
  };
  for (const auto& c : cases) {
    h.ctx.symbols.Clear();
    if (!c.holds) h.ctx.symbols.Define("TRUE");
    h.Run(Bytes("TestCounter ") + c.line + "\n");
    EXPECT_EQ(h.ctx.symbols.IsDefined("TRUE"), c.holds) << c.line;
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal) << c.line;
  }
}

TEST(Symbols, TestCounterChecksInOrder) {
  const Bytes syntax = "Syntaxe: TestCounter <čítač> <operátor> <číslo>\n";
  const Bytes wrongFormat = "Špatný formát příkazu !\n" + syntax;
  const struct {
    const char* line;
    Bytes box, log;
  } cases[] = {
      {"TestCounter", "Očekáváno jméno čítače za TestCounter", wrongFormat},
      {"TestCounter nope", "Příkaz TestCounter je neúplný", wrongFormat},
      {"TestCounter c <", "Příkaz TestCounter je neúplný", wrongFormat},
      {"TestCounter nope => x", "Příkaz TestCounter je neúplný", wrongFormat},
      {"TestCounter nope => 1", "Čítač nebyl dosud definován",
       "Čítač nope nebyl dosud definován\n"},
      {"TestCounter c => 1", "Příkaz TestCounter má nesprávný operátor",
       "Špatný formát operátoru příkazu !\n" + syntax},
      {"TestCounter c =< 1", "Příkaz TestCounter má nesprávný operátor",
       "Špatný formát operátoru příkazu !\n" + syntax},
  };
  for (const auto& c : cases) {
    FakeHost h;
    *h.ctx.counters.Find("c", true) = 0;
    h.ctx.symbols.Define("TRUE");
    const OneLine got = RunLine(h, c.line);
    EXPECT_EQ(got.box, "[*** CHYBA ***] " + c.box) << c.line;
    EXPECT_EQ(got.log, c.log) << c.line;
    EXPECT_EQ(h.window.transcript.size(), 1u) << c.line;
    EXPECT_TRUE(h.ctx.symbols.IsDefined("TRUE")) << c.line;
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed) << c.line;
  }
}

}  // namespace
}  // namespace tv::test
