// Wait, Signalize and ShowWindow over the fake host and its virtual clock.
#include <gtest/gtest.h>

#include "app/commands.h"
#include "operator/commands.h"
#include "support/fake_host.h"

namespace tv::test {
namespace {

using TimerLog = std::vector<std::pair<long long, unsigned>>;

Flow Call(Handler handler, FakeHost& h, Bytes rest) {
  ScriptFileStack stack(ScriptCommands());
  return handler(h.ctx, rest, stack);
}

TEST(WaitCommand, LongWaitGoesInOneSecondSlices) {
  FakeHost h;
  h.ctx.running = true;
  EXPECT_EQ(Call(kWait.run, h, "2500"), Flow::Next);
  EXPECT_EQ(h.queue.timersSet, (TimerLog{{0, 1000}, {1000, 1000}, {2000, 500}}));
  EXPECT_EQ(h.queue.now, 2500);
  EXPECT_FALSE(h.queue.TimerRunning());
  EXPECT_EQ(h.queue.Pending(), 0u);  // every tick was taken, none left behind
  EXPECT_TRUE(h.ctx.running);
  EXPECT_EQ(h.LogText(), "Program zahájen.\nZahájeno prodlení 2500 ms.\nČas prodlení završen.\n");
  EXPECT_EQ(h.window.lower, "Čas prodlení završen");
}

TEST(WaitCommand, ShowsTheStartInTheStatusLineWhileWaiting) {
  FakeHost h;
  h.ctx.running = true;
  Bytes seen;
  h.queue.At(10, [&] { seen = h.window.lower; });
  Call(kWait.run, h, "20");
  EXPECT_EQ(seen, "Zahájeno prodlení 20 ms");
}

TEST(WaitCommand, ExactMultipleHasNoEmptySlice) {
  FakeHost h;
  h.ctx.running = true;
  Call(kWait.run, h, "2000");
  EXPECT_EQ(h.queue.timersSet, (TimerLog{{0, 1000}, {1000, 1000}}));
}

TEST(WaitCommand, ZeroAndNegativeDoNotWaitButLogBothLines) {
  for (const char* arg : {"0", "-5", "-0"}) {
    FakeHost h;
    h.ctx.running = true;
    EXPECT_EQ(Call(kWait.run, h, arg), Flow::Next);
    EXPECT_TRUE(h.queue.timersSet.empty()) << arg;
    EXPECT_EQ(h.queue.now, 0) << arg;
    const long n = std::stol(arg);
    EXPECT_EQ(h.LogText(), "Program zahájen.\nZahájeno prodlení " + std::to_string(n) +
                               " ms.\nČas prodlení završen.\n");
  }
}

TEST(WaitCommand, ReadsTheNumberAtTheStartOfTheWord) {
  FakeHost h;
  h.ctx.running = true;
  Call(kWait.run, h, "250ms and more");
  EXPECT_EQ(h.queue.timersSet, (TimerLog{{0, 250}}));
  EXPECT_EQ(h.LogText(), "Program zahájen.\nZahájeno prodlení 250 ms.\nČas prodlení završen.\n");
  Call(kWait.run, h, "+7");
  EXPECT_EQ(h.queue.timersSet.back(), (std::pair<long long, unsigned>{250, 7}));
}

TEST(WaitCommand, OutOfRangeNumbersClamp) {
  FakeHost h;
  h.ctx.running = true;
  h.queue.At(3500, [&] { h.queue.PostToMain(kWmCommand, kIdRunButton, 0); });
  Call(kWait.run, h, "99999999999");
  EXPECT_NE(h.LogText().find("Zahájeno prodlení 2147483647 ms.\n"), Bytes::npos);
  // Slices of a second whatever the total.
  for (const auto& set : h.queue.timersSet) EXPECT_EQ(set.second, 1000u);

  FakeHost g;
  g.ctx.running = true;
  Call(kWait.run, g, "-99999999999");
  EXPECT_TRUE(g.queue.timersSet.empty());
  EXPECT_EQ(g.LogText(),
            "Program zahájen.\nZahájeno prodlení -2147483648 ms.\nČas prodlení završen.\n");
}

TEST(WaitCommand, MissingOrNonNumericArgumentIsAnError) {
  struct Case {
    const char* rest;
    const char* log;
  };
  const Case cases[] = {
      {"", "Špatný formát příkazu !\nSyntaxe: Wait <počet-milisekund>\n"},
      {"abc", "Argument příkazu není číslo !\nSyntaxe: Wait <počet-milisekund>\n"},
      {"ms250", "Argument příkazu není číslo !\nSyntaxe: Wait <počet-milisekund>\n"},
      {"-", "Argument příkazu není číslo !\nSyntaxe: Wait <počet-milisekund>\n"},
  };
  for (const Case& c : cases) {
    FakeHost h;
    h.ctx.running = true;
    EXPECT_EQ(Call(kWait.run, h, c.rest), Flow::Fail) << c.rest;
    ASSERT_EQ(h.window.transcript.size(), 1u);
    EXPECT_EQ(h.window.transcript[0], "[*** CHYBA ***] Za Wait musí být počet milisekund");
    EXPECT_EQ(h.LogText(), Bytes("Program zahájen.\n") + c.log);
    EXPECT_TRUE(h.queue.timersSet.empty());
  }
}

TEST(WaitCommand, InterruptionEndsTheWaitAtOnceAndThenTheRun) {
  FakeHost h;
  h.queue.At(1500, [&] { h.queue.PostToMain(kWmCommand, kIdRunButton, 0); });
  h.Run("Wait 5000\nWait 10\n");
  EXPECT_EQ(h.queue.now, 1500);  // not the end of the second slice
  EXPECT_FALSE(h.queue.TimerRunning());
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\nInterpretuji soubor /s/main.tvl\n"
            "$$ Wait 5000\n"
            "Zahájeno prodlení 5000 ms.\n"
            "Akce přerušena obsluhou.\n"
            "Program předčasně přerušen.\n"
            "Čas prodlení završen.\n"
            "Soubor interpretován a uzavřen.\n");
  EXPECT_TRUE(h.window.transcript.empty());  // no box
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);
}

TEST(WaitCommand, ClosingTheWindowStopsTheWaitAndLeavesTheCloseQueued) {
  FakeHost h;
  h.ctx.running = true;
  h.queue.At(400, [&] { h.queue.PostToMain(kWmSysCommand, kScClose, 0); });
  EXPECT_EQ(Call(kWait.run, h, "1000"), Flow::Next);
  EXPECT_FALSE(h.ctx.running);
  EXPECT_EQ(h.queue.now, 400);
  EXPECT_FALSE(h.queue.TimerRunning());
  Msg first;
  ASSERT_TRUE(h.queue.Peek(first));
  EXPECT_EQ(first.id, kWmSysCommand);
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\nZahájeno prodlení 1000 ms.\nProgram předčasně přerušen.\n"
            "Čas prodlení završen.\n");
}

TEST(WaitCommand, OtherMessagesAreDispatchedMeanwhile) {
  FakeHost h;
  h.ctx.running = true;
  int others = 0;
  h.queue.dispatch = [&](const Msg& m) {
    if (m.id == WM_SOCKET_EVENT) ++others;
  };
  h.queue.At(300, [&] { h.queue.PostToMain(WM_SOCKET_EVENT, 1, 1); });
  h.queue.At(1300, [&] { h.queue.PostToMain(WM_SOCKET_EVENT, 1, 1); });
  Call(kWait.run, h, "1500");
  EXPECT_EQ(others, 2);
  EXPECT_EQ(h.queue.now, 1500);
  EXPECT_TRUE(h.ctx.running);
}

TEST(SignalizeCommand, PlaysTheFileBesideTheRunningScript) {
  FakeHost h;
  h.files.files["/s/sub/inner.tvl"] = "";
  ScriptFileStack stack(ScriptCommands());
  stack.Push(h.files.OpenScript("/s/sub/inner.tvl", nullptr));
  Bytes rest = "ring.wav";
  EXPECT_EQ(kSignalize.run(h.ctx, rest, stack), Flow::Next);
  rest = "/abs/bell.wav";
  kSignalize.run(h.ctx, rest, stack);
  EXPECT_EQ(h.window.sounds, (std::vector<Bytes>{"/s/sub/ring.wav", "/abs/bell.wav"}));
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\nPřehrávám soubor /s/sub/ring.wav\nPřehrávám soubor /abs/bell.wav\n");
  EXPECT_EQ(h.window.lower, "Přehrávám soubor pro signalizaci");
}

TEST(SignalizeCommand, QuotedNameIsTakenLiterally) {
  FakeHost h;
  h.Run("Signalize \"a\\n \"\"b\"\".wav\" more\nSignalize missing.wav\n");
  // Backslashes stay, a doubled quote is one quote, blanks are kept.
  EXPECT_EQ(h.window.sounds, (std::vector<Bytes>{"/s/a\\n \"b\".wav", "/s/missing.wav"}));
  // A file that is not there is no error: the run ends normally.
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
  EXPECT_TRUE(h.window.transcript.empty());
}

TEST(SignalizeCommand, MissingNameIsAnError) {
  for (const char* rest : {"", "\"\""}) {
    FakeHost h;
    EXPECT_EQ(Call(kSignalize.run, h, rest), Flow::Fail);
    EXPECT_EQ(h.window.transcript.at(0), "[*** CHYBA ***] Za Signalize musí být název souboru");
    EXPECT_EQ(h.LogText(),
              "Program zahájen.\nŠpatný formát příkazu !\nSyntaxe: Signalize <jméno-souboru>\n");
    EXPECT_TRUE(h.window.sounds.empty());
  }
}

TEST(ShowWindowCommand, MinimisesAndRestores) {
  FakeHost h;
  EXPECT_EQ(Call(kShowWindow.run, h, "0"), Flow::Next);
  EXPECT_EQ(Call(kShowWindow.run, h, "1 extra"), Flow::Next);
  EXPECT_EQ(h.window.showCommands, (std::vector<int>{6, 9}));
  EXPECT_EQ(h.LogText(), "Program zahájen.\n");  // nothing logged
}

TEST(ShowWindowCommand, AnythingButZeroOrOneIsAnError) {
  for (const char* rest : {"", "2", "01", "1x", "-1"}) {
    FakeHost h;
    EXPECT_EQ(Call(kShowWindow.run, h, rest), Flow::Fail) << rest;
    EXPECT_TRUE(h.window.showCommands.empty());
    EXPECT_EQ(h.window.transcript.at(0),
              "[*** CHYBA ***] Očekávána číslice 0 nebo 1 za ShowWindow");
    EXPECT_EQ(h.LogText(),
              "Program zahájen.\nŠpatný formát příkazu !\nSyntaxe: ShowWindow [ 0 | 1 ]\n");
  }
}

}  // namespace
}  // namespace tv::test
