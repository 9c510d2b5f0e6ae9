// The script checker over files in memory: the command table, the Call
// graph (depth, recursion, once per file) and files that cannot be read.
#include <gtest/gtest.h>

#include "app/commands.h"
#include "engine/check.h"
#include "support/fake_host.h"

namespace tv {
namespace {

std::vector<Bytes> Texts(const std::vector<CheckFinding>& findings) {
  std::vector<Bytes> texts;
  for (const CheckFinding& f : findings) texts.push_back(FormatFinding(f));
  return texts;
}

TEST(Check, EveryKeywordOfTheCommandTableRunsAndChecks) {
  const CommandTable& table = ScriptCommands();
  ASSERT_GT(table.Commands().size(), 30u);
  for (const Command& c : table.Commands()) {
    ASSERT_NE(c.def, nullptr) << c.keyword;
    EXPECT_NE(c.def->run, nullptr) << c.keyword;
    EXPECT_NE(c.def->check, nullptr) << c.keyword;
    EXPECT_EQ(table.Find(c.keyword), c.def) << c.keyword;
  }
  EXPECT_EQ(table.Find("SEND2"), nullptr);
  EXPECT_EQ(table.Find("send"), nullptr);  // the runner upper-cases the word first
}

// A chain main -> c1 -> ... -> cN, each Call on line 2 of its file.
void Chain(test::FakeFiles& fs, int files) {
  fs.files["/s/main.tvl"] = "// main\nCall c1.tvl\n";
  for (int i = 1; i <= files; ++i) {
    fs.files["/s/c" + std::to_string(i) + ".tvl"] =
        "// nested\nCall c" + std::to_string(i + 1) + ".tvl\n";
  }
}

TEST(Check, EightyFilesNestAndACallFromTheEightiethIsAnError) {
  test::FakeFiles fs;
  Chain(fs, 78);  // main and 78 called files; the 78th calls a missing one
  std::vector<CheckFinding> findings = CheckScript(fs, "/s/main.tvl");
  EXPECT_EQ(Texts(findings),
            (std::vector<Bytes>{"/s/c78.tvl:2:6: varování: Soubor /s/c79.tvl nyní nelze otevřít "
                                "pro čtení"}));

  Chain(fs, 79);  // the 79th called file is the 80th open one: its Call fails
  findings = CheckScript(fs, "/s/main.tvl");
  EXPECT_EQ(Texts(findings),
            (std::vector<Bytes>{
                "/s/c79.tvl:2:6: chyba: Příliš velká hloubka vnoření příkazů Call (nejvýše 80 "
                "souborů)",
                "/s/c79.tvl:2:6: varování: Soubor /s/c80.tvl nyní nelze otevřít pro čtení"}));
}

TEST(Check, RecursiveCallsAreFollowedOnceAndNotCountedAsDepth) {
  test::FakeFiles fs;
  fs.files["/s/main.tvl"] = "Call a.tvl\nCall a.tvl\nIfDef X Call main.tvl\n";
  fs.files["/s/a.tvl"] = "Call b.tvl\nSedn\n";
  fs.files["/s/b.tvl"] = "IfDef X Call a.tvl\nIfDef X Call main.tvl\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl")),
            (std::vector<Bytes>{"/s/a.tvl:2:1: chyba: Neznámý příkaz scriptu: SEDN"}));
}

// A Call with nothing in front of it that leads back to its own file nests
// files until the stack overflows; one behind a condition, after an end of
// the flow or after a Return may never run.
TEST(Check, ASureCallBackToItsOwnFileIsAWarning) {
  test::FakeFiles fs;
  fs.files["/s/main.tvl"] = "Call a.tvl\nStop\nCall main.tvl\n";
  fs.files["/s/a.tvl"] = "Send \"x\"\nCall b.tvl\nIfDef X Call a.tvl\n";
  fs.files["/s/b.tvl"] = "Label top\nCall c.tvl\n";
  fs.files["/s/c.tvl"] = "Call main.tvl\nReturn\nCall c.tvl\n";
  const char* back = "vnořování skončí přetečením zásobníku souborů-scriptů";
  EXPECT_EQ(
      Texts(CheckScript(fs, "/s/main.tvl")),
      (std::vector<Bytes>{
          Bytes("/s/main.tvl:1:6: varování: Příkaz Call bez podmínky vede zpět do tohoto souboru "
                "(přes /s/a.tvl -> /s/b.tvl -> /s/c.tvl): ") +
              back,
          "/s/main.tvl:3:1: varování: Řádka je nedosažitelná: za příkazem Stop na řádce 2 "
          "není žádné návěští",
          Bytes("/s/a.tvl:2:6: varování: Příkaz Call bez podmínky vede zpět do tohoto souboru "
                "(přes /s/b.tvl -> /s/c.tvl -> /s/main.tvl): ") +
              back,
          Bytes("/s/b.tvl:2:6: varování: Příkaz Call bez podmínky vede zpět do tohoto souboru "
                "(přes /s/c.tvl -> /s/main.tvl -> /s/a.tvl): ") +
              back,
          Bytes("/s/c.tvl:1:6: varování: Příkaz Call bez podmínky vede zpět do tohoto souboru "
                "(přes /s/main.tvl -> /s/a.tvl -> /s/b.tvl): ") +
              back}));
  // Behind a condition the chain is broken.
  fs.files["/s/c.tvl"] = "IfNotDef DONE Call main.tvl\n";
  EXPECT_TRUE(CheckScript(fs, "/s/main.tvl").size() == 1u);
  fs.files["/s/main.tvl"] = "Send \"x\"\nCall main.tvl\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl")),
            (std::vector<Bytes>{
                Bytes("/s/main.tvl:2:6: varování: Příkaz Call bez podmínky volá znovu tento "
                      "soubor: ") +
                back}));
}

// What the command line sets is known from the first line: a counter or a
// text the script uses without setting it, and a name the script sets as
// the other kind.
TEST(Check, CountersAndTextsOfTheCommandLineAreKnown) {
  test::FakeFiles fs;
  fs.files["/s/main.tvl"] = "TestCounter i < max\nSend greeting\nSetCounter i 0\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl")),
            (std::vector<Bytes>{"/s/main.tvl:1:17: chyba: Příkaz TestCounter je neúplný",
                                "/s/main.tvl:2:6: chyba: Není co odesílat - řetězec je prázdný"}));
  CheckStart start;
  start.counters = {"max"};
  start.texts = {"greeting"};
  EXPECT_TRUE(CheckScript(fs, "/s/main.tvl", start).empty());
  fs.files["/s/main.tvl"] = "Calc greeting 1\nSetText max \"x\"\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl", start)),
            (std::vector<Bytes>{"/s/main.tvl:1:6: chyba: Jméno greeting patří textové proměnné z "
                                "příkazové řádky, čítač je mít nemůže",
                                "/s/main.tvl:2:9: chyba: Jméno max patří čítači z příkazové "
                                "řádky, textová proměnná je mít nemůže"}));
}

TEST(Check, GoToSeesTheLabelsOfEveryFileOnAChainToIt) {
  test::FakeFiles fs;
  fs.files["/s/main.tvl"] = "Call x.tvl\nCall shared.tvl\nLabel m\n";
  fs.files["/s/x.tvl"] = "Call shared.tvl\nLabel x\n";
  fs.files["/s/shared.tvl"] = "GoTo m\nLabel s\nIfDef A GoTo x\nIfDef A GoTo s\nIfDef A GoTo y\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl")),
            (std::vector<Bytes>{"/s/shared.tvl:5:14: chyba: Návěští y nenalezeno za žádným "
                                "příkazem Label tohoto souboru ani souborů, které jej volají"}));
  // A label of a file called by this one is out of GoTo's reach.
  fs.files["/s/main.tvl"] = "Call x.tvl\nGoTo x\n";
  EXPECT_TRUE(HasErrors(CheckScript(fs, "/s/main.tvl")));
}

TEST(Check, CountersCreatedAnywhereMakeAWordUnknownUntilTheRun) {
  test::FakeFiles fs;
  // "n" may be a counter: SkipTo n might expand to one character.
  fs.files["/s/main.tvl"] = "SkipTo n\nCall a.tvl\nSkipTo m\n";
  fs.files["/s/a.tvl"] = "SetCounter n 5\n";
  EXPECT_EQ(
      Texts(CheckScript(fs, "/s/main.tvl")),
      (std::vector<Bytes>{"/s/main.tvl:3:8: chyba: Není dobře udán koncový znak pro SkipTo"}));
}

TEST(Check, AScriptThatCannotBeOpenedOrReadIsAnError) {
  test::FakeFiles fs;
  EXPECT_EQ(
      Texts(CheckScript(fs, "/s/none.tvl")),
      (std::vector<Bytes>{"/s/none.tvl:1:1: chyba: Nelze otevřít pro čtení soubor /s/none.tvl"}));
  fs.files["/s/bad.tvl"] = "Send \"x\"\n";
  fs.unreadable.insert("/s/bad.tvl");
  EXPECT_EQ(Texts(CheckScript(fs, "/s/bad.tvl")),
            (std::vector<Bytes>{
                "/s/bad.tvl:1:1: chyba: Chyby při čtení souboru, soubor nelze dočíst do konce"}));
}

// A file the run refuses as a script (a device that never ends, a file over
// the size limit) is refused by the checker with the run's text: an error
// for the main script, a warning ("nyní") for a file a Call names; a file
// that grows past the limit while it is read is an error after its last line.
TEST(Check, ScriptFilesTheRunRefusesAreReportedAsTheRunReportsThem) {
  test::FakeFiles fs;
  fs.refused["/dev/zero"] = ScriptRefusal::NotRegular;
  fs.refused["/s/big.tvl"] = ScriptRefusal::TooLarge;
  EXPECT_EQ(Texts(CheckScript(fs, "/dev/zero")),
            (std::vector<Bytes>{"/dev/zero:1:1: chyba: Soubor /dev/zero nelze použít jako script: "
                                "není to obyčejný soubor"}));
  EXPECT_EQ(Texts(CheckScript(fs, "/s/big.tvl")),
            (std::vector<Bytes>{"/s/big.tvl:1:1: chyba: Soubor /s/big.tvl nelze použít jako "
                                "script: je větší než 16 MiB"}));
  fs.files["/s/main.tvl"] = "Call /dev/zero\nIfDef X Call big.tvl\nSedn\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl")),
            (std::vector<Bytes>{
                "/s/main.tvl:1:6: varování: Soubor /dev/zero nyní nelze použít jako script: není "
                "to obyčejný soubor",
                "/s/main.tvl:2:14: varování: Soubor /s/big.tvl nyní nelze použít jako script: je "
                "větší než 16 MiB",
                "/s/main.tvl:3:1: chyba: Neznámý příkaz scriptu: SEDN"}));

  // Two lines of a third of the limit fit; the third, line 4, takes the file
  // past it, and the checker reads no further (the last Sedn is not seen).
  const Bytes line = "Comment " + Bytes(kMaxScriptBytes / 3, 'x') + "\n";
  fs.files["/s/grows.tvl"] = "Sedn\n" + line + line + line + "Sedn\n";
  fs.files["/s/main.tvl"] = "Call grows.tvl\n";
  EXPECT_EQ(Texts(CheckScript(fs, "/s/main.tvl")),
            (std::vector<Bytes>{"/s/grows.tvl:1:1: chyba: Neznámý příkaz scriptu: SEDN",
                                "/s/grows.tvl:4:1: chyba: Soubor /s/grows.tvl nelze použít jako "
                                "script: je větší než 16 MiB"}));
}

}  // namespace
}  // namespace tv
