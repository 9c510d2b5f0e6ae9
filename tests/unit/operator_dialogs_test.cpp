// Message, Question and Input over the fake host.
#include <gtest/gtest.h>

#include "app/commands.h"
#include "operator/commands.h"
#include "support/fake_host.h"

namespace tv::test {
namespace {

const char kRunStart[] = "Program zahájen.\nInterpretuji soubor /s/main.tvl\n";
const char kRunEnd[] = "Soubor interpretován a uzavřen.\n";

Flow Call(Handler handler, FakeHost& h, Bytes rest) {
  ScriptFileStack stack(ScriptCommands());
  return handler(h.ctx, rest, stack);
}

TEST(MessageCommand, ShowsTheExpandedTextInAnInformationBoxWithOkAndCancel) {
  FakeHost h;
  *h.ctx.counters.Find("n", true) = -7;
  h.ctx.lastLine = "peer";
  EXPECT_EQ(Call(kMessage.run, h, "\"first\" nl \"second \" n tab line 65"), Flow::Next);
  ASSERT_EQ(h.window.transcript.size(), 1u);
  EXPECT_EQ(h.window.transcript[0], "[Zpráva scriptu] first\nsecond -7\tpeerA");
  EXPECT_EQ(h.window.boxTypes.at(0), 0x41u);
}

TEST(MessageCommand, CancelEndsTheRunQuietlyAndOkGoesOn) {
  FakeHost h;
  h.window.answers = {kIdOk, kIdCancel};
  h.Run("Message \"one\"\nMessage \"two\"\nMessage \"never\"\n");
  EXPECT_EQ(h.LogText(), Bytes(kRunStart) + "$$ Message \"one\"\n$$ Message \"two\"\n" + kRunEnd);
  EXPECT_EQ(h.window.transcript.size(), 2u);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Cancelled);
}

TEST(MessageCommand, EmptyExpansionIsAnError) {
  // Nothing at all, ordinary words that expand to nothing, an empty string.
  for (const char* rest : {"", "   ", "hello world", "\"\""}) {
    FakeHost h;
    EXPECT_EQ(Call(kMessage.run, h, rest), Flow::Fail) << rest;
    ASSERT_EQ(h.window.transcript.size(), 1u) << rest;
    EXPECT_EQ(h.window.transcript[0], "[*** CHYBA ***] Není co hlásit - řetězec je prázdný");
    EXPECT_EQ(h.window.boxTypes[0], kMbOk);
    EXPECT_EQ(h.LogText(),
              "Program zahájen.\nŠpatný formát příkazu !\nSyntaxe: Message <řetězec>\n");
    // Error boxes leave the foreground alone.
    EXPECT_TRUE(h.window.foregroundCalls.empty());
  }
}

TEST(MessageCommand, ZeroByteFromACodeIsShownNotEmpty) {
  FakeHost h;
  EXPECT_EQ(Call(kMessage.run, h, "0"), Flow::Next);
  EXPECT_EQ(h.window.transcript.at(0), Bytes("[Zpráva scriptu] ") + Bytes(1, '\0'));
}

TEST(QuestionCommand, YesDefinesAndNoUndefinesConsent) {
  FakeHost h;
  h.window.answers = {kIdYes};
  EXPECT_EQ(Call(kQuestion.run, h, "\"Pokračovat?\""), Flow::Next);
  EXPECT_TRUE(h.ctx.symbols.IsDefined("CONSENT"));
  EXPECT_EQ(h.window.transcript.at(0), "[Zpráva scriptu] Pokračovat?");
  EXPECT_EQ(h.window.boxTypes.at(0), 0x23u);

  h.window.answers = {kIdYes};
  EXPECT_EQ(Call(kQuestion.run, h, "\"again\""), Flow::Next);
  EXPECT_EQ(h.ctx.symbols.Items().size(), 1u);  // defined once only

  h.window.answers = {kIdNo};
  EXPECT_EQ(Call(kQuestion.run, h, "\"Pokračovat?\""), Flow::Next);
  EXPECT_FALSE(h.ctx.symbols.IsDefined("CONSENT"));
  // Case-sensitive: a differently spelt symbol is not touched.
  h.ctx.symbols.Define("consent");
  h.window.answers = {kIdNo};
  Call(kQuestion.run, h, "\"?\"");
  EXPECT_TRUE(h.ctx.symbols.IsDefined("consent"));
}

TEST(QuestionCommand, CancelEndsTheRunAndLeavesConsentAsItWas) {
  for (bool before : {false, true}) {
    FakeHost h;
    if (before) h.ctx.symbols.Define("CONSENT");
    h.window.answers = {kIdCancel};
    h.Run("Question \"Opravdu?\"\nMessage \"never\"\n");
    EXPECT_EQ(h.ctx.symbols.IsDefined("CONSENT"), before);
    EXPECT_EQ(h.LogText(), Bytes(kRunStart) + "$$ Question \"Opravdu?\"\n" + kRunEnd);
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Cancelled);
  }
}

TEST(QuestionCommand, EmptyExpansionIsAnErrorAndAsksNothing) {
  FakeHost h;
  h.ctx.symbols.Define("CONSENT");
  EXPECT_EQ(Call(kQuestion.run, h, "nothing here"), Flow::Fail);
  EXPECT_EQ(h.window.transcript.at(0), "[*** CHYBA ***] Není co hlásit - řetězec je prázdný");
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\nŠpatný formát příkazu !\nSyntaxe: Question <řetězec>\n");
  EXPECT_TRUE(h.ctx.symbols.IsDefined("CONSENT"));
}

TEST(InputCommand, OkCopiesTheTypedTextIntoTheLastLine) {
  FakeHost h;
  h.ctx.lastLine = "old";
  h.window.inputs = {{kIdOk, "typed text"}};
  EXPECT_EQ(Call(kInput.run, h, "\"Jméno:\""), Flow::Next);
  EXPECT_EQ(h.window.transcript.at(0), "[Jméno:]");
  EXPECT_EQ(h.ctx.lastLine, "typed text");
}

TEST(InputCommand, OkWithAnEmptyFieldEmptiesTheLastLine) {
  FakeHost h;
  h.ctx.lastLine = "from the peer";
  h.window.inputs = {{kIdOk, ""}};
  h.Run("Input\nMessage line\n");
  EXPECT_EQ(h.ctx.lastLine, "");
  ASSERT_EQ(h.window.transcript.size(), 2u);
  EXPECT_EQ(h.window.transcript[0], "[Zadejte řádku pro předání scriptu]");
  EXPECT_EQ(h.window.transcript[1], "[*** CHYBA ***] Není co hlásit - řetězec je prázdný");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
}

TEST(InputCommand, PromptOfOrdinaryWordsFallsBackToTheDefault) {
  FakeHost h;
  Call(kInput.run, h, "just words");
  EXPECT_EQ(h.window.transcript.at(0), "[Zadejte řádku pro předání scriptu]");
}

TEST(InputCommand, CancelEndsTheRunAndKeepsTheLastLine) {
  FakeHost h;
  h.ctx.lastLine = "from the peer";
  h.window.inputs = {{kIdCancel, "ignored"}};
  h.Run("Input \"Heslo\"\nMessage \"never\"\n");
  EXPECT_EQ(h.ctx.lastLine, "from the peer");
  EXPECT_EQ(h.LogText(), Bytes(kRunStart) + "$$ Input \"Heslo\"\n" + kRunEnd);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Cancelled);
}

TEST(InputCommand, TypedTextFeedsTheLineWordOfTheNextCommand) {
  FakeHost h;
  h.window.inputs = {{kIdOk, "abc"}};
  h.Run("Input\nMessage \"<\" line \">\"\n");
  EXPECT_EQ(h.window.transcript.at(1), "[Zpráva scriptu] <abc>");
}

TEST(OperatorDialogs, EveryModalWindowBringsTheMainWindowUpAndGivesTheForegroundBack) {
  const Handler handlers[] = {kMessage.run, kQuestion.run, kInput.run};
  for (Handler handler : handlers) {
    for (int answer : {kIdOk, kIdCancel}) {
      FakeHost h;
      h.window.foreground = 4242;
      h.window.answers = {answer == kIdOk && handler == kQuestion.run ? kIdYes : answer};
      h.window.inputs = {{answer, "x"}};
      Call(handler, h, "\"text\"");
      // The main window (1) comes up first; the remembered window comes back.
      ASSERT_EQ(h.window.foregroundCalls.size(), 2u);
      EXPECT_EQ(h.window.foregroundCalls[0], 1u);
      EXPECT_EQ(h.window.foregroundCalls[1], 4242u);
      EXPECT_EQ(h.window.foreground, 4242u);
    }
  }
}

}  // namespace
}  // namespace tv::test
