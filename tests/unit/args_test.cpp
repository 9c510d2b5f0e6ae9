// One reader serves a command's run and its check: a command defined here,
// outside the program's table, is checked without a check of its own, and
// the run and the checker refuse the same lines, each in its own words.
#include <gtest/gtest.h>

#include "engine/args.h"
#include "engine/check.h"
#include "engine/commands.h"
#include "support/fake_host.h"

namespace tv::test {
namespace {

// Repeat <count> <label> [<text>]: a made-up command with a number, a label
// and a text, enough to exercise each kind of argument.
struct RepeatArgs {
  int32_t count = 0;
  Bytes label;
  Bytes text;
};

int ran = 0;

bool ReadRepeat(Args& in, RepeatArgs& a) {
  Bytes word;
  in.Word(word);
  if (!in.NumberOrCounter(word, a.count)) return in.Syntax("Počet?", "Repeat <n> <návěští>");
  const int countColumn = in.Column();
  if (!in.Word(a.label)) return in.Syntax("Návěští?", "Repeat <n> <návěští>", "Chybí návěští");
  in.LabelUsed(a.label);
  if (in.Text(a.text) && a.text == "!") return in.At(countColumn).Error("Vykřičník", "Vykřičník\n");
  if (a.count < 0) in.At(countColumn).Warning("Záporný počet");
  return true;
}

Flow RunRepeat(ScriptContext& ctx, RepeatArgs& a, ScriptFileStack&) {
  ++ran;
  ctx.LogPrintf("Repeat %d %s [%s]\n", static_cast<int>(a.count), a.label.c_str(), a.text.c_str());
  return Flow::Next;
}

const CommandDef kRepeat = DefineCommand<RepeatArgs, ReadRepeat, RunRepeat>();

const CommandTable& Table() {
  static const CommandTable table(
      {{"REPEAT", &kRepeat}, {"LABEL", &kLabel}, {"SETCOUNTER", &kSetCounter}, {"STOP", &kStop}},
      {});
  return table;
}

std::vector<Bytes> Findings(FakeFiles& fs, const Bytes& script) {
  fs.files["/s/main.tvl"] = script;
  std::vector<Bytes> texts;
  for (const CheckFinding& f : CheckScript(fs, "/s/main.tvl", Table())) {
    texts.push_back(FormatFinding(f));
  }
  return texts;
}

// The run's log after the run of script, and whether its box came.
Bytes RunLog(FakeHost& h, const Bytes& script) {
  h.files.files["/s/main.tvl"] = script;
  h.files.files["test.log"].clear();
  h.window.transcript.clear();
  h.ctx.running = true;
  RunScript(h.ctx, "/s/main.tvl", Table());
  h.ctx.running = false;
  return h.LogText();
}

TEST(Args, ACommandOutsideTheTableIsCheckedByItsReader) {
  FakeFiles fs;
  EXPECT_EQ(Findings(fs, "Repeat 3 here \"x\"\nLabel here\n"), std::vector<Bytes>{});
  EXPECT_EQ(Findings(fs, "Repeat x here\nLabel here\n"),
            std::vector<Bytes>{"/s/main.tvl:1:8: chyba: Počet?"});
  EXPECT_EQ(Findings(fs, "Repeat  3\n"),
            std::vector<Bytes>{"/s/main.tvl:1:10: chyba: Chybí návěští"});
  EXPECT_EQ(Findings(fs, "Repeat 3 nowhere\n"),
            std::vector<Bytes>{"/s/main.tvl:1:10: chyba: Návěští nowhere nenalezeno za žádným "
                               "příkazem Label tohoto souboru ani souborů, které jej volají"});
  // Columns set by At() point back at the count.
  EXPECT_EQ(Findings(fs, "Repeat -1 here \"!\"\nLabel here\n"),
            std::vector<Bytes>{"/s/main.tvl:1:8: chyba: Vykřičník"});
  EXPECT_EQ(Findings(fs, "Repeat -1 here\nLabel here\n"),
            std::vector<Bytes>{"/s/main.tvl:1:8: varování: Záporný počet"});
  // A counter set somewhere in the files may stand for the number; a text
  // that depends on the run is not judged.
  EXPECT_EQ(Findings(fs, "SetCounter n 2\nRepeat n here n\nLabel here\n"), std::vector<Bytes>{});
}

TEST(Args, TheRunRefusesTheSameLinesWithBoxAndLog) {
  FakeHost h;
  ran = 0;
  EXPECT_NE(RunLog(h, "Repeat x here\n")
                .find("Špatný formát příkazu !\nSyntaxe: Repeat <n> "
                      "<návěští>\n"),
            Bytes::npos);
  EXPECT_EQ(h.window.transcript, std::vector<Bytes>{"[*** CHYBA ***] Počet?"});
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);

  RunLog(h, "Repeat 3\n");
  EXPECT_EQ(h.window.transcript, std::vector<Bytes>{"[*** CHYBA ***] Návěští?"});
  RunLog(h, "Repeat 3 here \"!\"\n");
  EXPECT_EQ(h.window.transcript, std::vector<Bytes>{"[*** CHYBA ***] Vykřičník"});
  EXPECT_EQ(ran, 0);

  // A counter's value, the text expanded; the checker's warning is not the
  // run's concern.
  const Bytes log = RunLog(h, "SetCounter n -2\nRepeat n here \"a\" n\n");
  EXPECT_NE(log.find("Repeat -2 here [a-2]\n"), Bytes::npos) << log;
  EXPECT_EQ(h.window.transcript, std::vector<Bytes>{});
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
}

TEST(Args, WordsReadOverALongLineAreTakenOffOnlyWhenTheRestIsAskedFor) {
  Bytes rest = "  one \"two words\" three " + Bytes(100000, 'x');
  FakeHost h;
  ScriptFileStack stack(Table());
  Args in(h.ctx, rest, stack);
  Bytes word;
  ASSERT_TRUE(in.Word(word));
  EXPECT_EQ(word, "one");
  ASSERT_TRUE(in.Word(word));
  EXPECT_EQ(word, "\"two words\"");
  EXPECT_EQ(rest.size(), 24u + 100000u);  // nothing moved yet
  ASSERT_TRUE(in.Keyword(word));
  EXPECT_EQ(word, "THREE");
  EXPECT_EQ(in.Rest(), Bytes(100000, 'x'));
}

}  // namespace
}  // namespace tv::test
