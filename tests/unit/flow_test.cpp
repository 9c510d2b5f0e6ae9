#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace tv::test {
namespace {

const char kHead[] = "Program zahájen.\nInterpretuji soubor /s/main.tvl\n";
const char kTail[] = "Soubor interpretován a uzavřen.\n";

// The log lines after the head that are not "$$" lines.
Bytes Events(FakeHost& h) {
  Bytes out, log = h.LogText().substr(sizeof kHead - 1);
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos) + 1;
    if (log.compare(pos, 3, "$$ ") != 0) out += log.substr(pos, end - pos);
    pos = end;
  }
  return out;
}

TEST(Flow, IfDefChainsOnOneLine) {
  FakeHost h;
  h.ctx.symbols.Define("A");
  h.Run(
      "IfDef A IfNotDef B Define AB\n"
      "IFNDEF B IfDef A IFDEF ok Define never\n"
      "IfDef A\n"
      "IfDef A //comment\n"
      "IfNotDef A Bogus\n"
      "ifdef a Define lower\n"
      "IfDef A IfNotDef \"A\" Define quoted\n");
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{"A", "AB", "quoted"}));
  EXPECT_EQ(Events(h), kTail);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
}

TEST(Flow, UnknownCommandAfterPassedTestEndsTheRun) {
  FakeHost h;
  h.Run("IfNotDef X bogus 1\nDefine after\n");
  EXPECT_EQ(Events(h),
            Bytes("Příkaz BOGUS nerozpoznán, předčasně ukončuji interpretaci souboru.\n") + kTail);
  EXPECT_FALSE(h.ctx.symbols.IsDefined("after"));
}

TEST(Flow, GoToFindsTheFirstLabelFromTheTop) {
  FakeHost h;
  h.Run(
      "SetCounter i 0\n"
      "Label top\n"
      "IncrementCounter i\n"
      "TestCounter i < 3\n"
      "IfDef TRUE GoTo top\n"
      "GoTo \"q l\"\n"
      "Define skipped\n"
      "IfDef TRUE Label \"q l\"\n"
      "Label \"q l\"\n"
      "Label \"q l\"\n"
      "Define reached\n");
  EXPECT_EQ(*h.ctx.counters.Find("i", false), 3);
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{"reached"}));
  // Lines read while searching are not logged: one "$$ Label top" per pass.
  EXPECT_EQ(h.LogText().find("$$ Define skipped"), Bytes::npos);
  EXPECT_EQ(Events(h), kTail);
}

TEST(Flow, GoToErrorsAndLabelsInsideConditions) {
  FakeHost h;
  h.Run("GoTo\n");
  EXPECT_EQ(h.window.transcript.at(0), "[*** CHYBA ***] Očekáváno jméno návěští za GoTo");
  EXPECT_EQ(Events(h), Bytes("Špatný formát příkazu !\nSyntaxe: GoTo <návěští>\n") + kTail);

  FakeHost g;
  g.Run("GoTo x\nIfDef TRUE Label x\nlabel X\nComment Label x\n");
  EXPECT_EQ(g.window.transcript.at(0),
            "[*** CHYBA ***] Návěští za GoTo nenalezeno za žádným Label");
  EXPECT_EQ(Events(g), Bytes("Návěští x nenalezeno za žádným příkazem Label !\n") + kTail);
  EXPECT_EQ(g.ctx.lastOutcome, RunOutcome::Failed);
}

TEST(Flow, CallReturnAndGoToIntoTheCaller) {
  FakeHost h;
  h.files.files["/s/sub.tvl"] = "Define in-sub\nGoTo back\nDefine never\n";
  h.files.files["/s/d/two.tvl"] = "Define two\nReturn\nDefine never\n";
  h.Run(
      "Call \"d/two.tvl\"\n"
      "Call sub.tvl\n"
      "Define never\n"
      "Label back\n"
      "IfDef done Return\n"
      "Define done\n"
      "Call \"sub.tvl\"\n"
      "Define never\n");
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{"two", "in-sub", "done"}));
  EXPECT_EQ(Events(h), kTail);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
}

TEST(Flow, EndOfACalledFileGoesOnInTheCaller) {
  FakeHost h;
  h.files.files["/s/sub.tvl"] = "Define a";
  h.Run("Call sub.tvl\nDefine b\n");
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{"a", "b"}));
}

TEST(Flow, SelfRecursiveCallStopsAtTheEightiethFile) {
  // The main script and 79 nested calls run; the 80th Call is refused.
  FakeHost g;
  *g.ctx.counters.Find("depth", true) = 0;
  g.Run("IncrementCounter depth\nCall main.tvl\n");
  EXPECT_EQ(*g.ctx.counters.Find("depth", false), MAX_SCRIPT_FILES);
  EXPECT_EQ(g.window.transcript,
            (std::vector<Bytes>{"[*** CHYBA ***] Přetečení interního zásobníku souborů-scriptů"}));
  EXPECT_EQ(Events(g), Bytes("Příliš velká hloubka vnoření příkazů Call\n") + kTail);
}

TEST(Flow, CallErrors) {
  FakeHost h;
  h.Run("Call \"\"\n");
  EXPECT_EQ(h.window.transcript.at(0), "[*** CHYBA ***] Za Call musí být název souboru");
  EXPECT_EQ(Events(h), Bytes("Špatný formát příkazu !\nSyntaxe: Call <jméno-souboru>\n") + kTail);

  // A file that cannot be opened abandons the run: no end of run at all.
  FakeHost g;
  g.ctx.checkBoxMarks[0] = "kept";
  g.Run("Call missing.tvl\nDefine never\n");
  EXPECT_EQ(g.window.transcript.at(0),
            "[*** CHYBA ***] Nelze otevřít pro čtení soubor /s/missing.tvl");
  EXPECT_EQ(Events(g), "Soubor /s/missing.tvl nelze otevřít pro čtení.\n");
  EXPECT_EQ(g.ctx.checkBoxMarks[0], "kept");
  EXPECT_EQ(g.ctx.lastOutcome, RunOutcome::Failed);
}

TEST(Flow, StopReturnAndEnd) {
  for (const char* ending : {"Stop", "Return", "END"}) {
    FakeHost h;
    h.Run(Bytes(ending) + "\nDefine never\n");
    EXPECT_TRUE(h.ctx.symbols.Items().empty()) << ending;
    EXPECT_EQ(Events(h), kTail) << ending;
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
    // Only End asks to quit, and the quit is still queued after the run.
    Msg first;
    EXPECT_EQ(h.queue.Peek(first) && first.id == kWmQuit, Bytes(ending) == "END") << ending;
  }
}

}  // namespace
}  // namespace tv::test
