// The script's check boxes over the fake host.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/commands.h"
#include "operator/commands.h"
#include "operator/checkboxes.h"
#include "support/fake_host.h"

namespace tv::test {
namespace {

Flow Call(Handler handler, ScriptContext& ctx, Bytes rest) {
  ScriptFileStack stack(ScriptCommands());
  return handler(ctx, rest, stack);
}

// Operator clicks that arrive as messages at given virtual times, the way the
// headless program's operator channel delivers them.
template <typename AnyHost>
class Clicks {
 public:
  explicit Clicks(AnyHost& h) : h_(h) {
    h_.queue.dispatch = [this](const Msg& m) {
      if (m.forMainWindow && m.id == WM_OPERATOR_CLICK) {
        ClickCheckBox(h_.ctx, marks_.at(m.wParam));
      } else {
        DispatchMainWindowMessage(h_.ctx, m);
      }
    };
  }
  void At(long long ms, const Bytes& mark) {
    marks_.push_back(mark);
    const uintptr_t index = marks_.size() - 1;
    h_.queue.At(ms, [this, index] { h_.queue.PostToMain(WM_OPERATOR_CLICK, index, 0); });
  }
  void Now(const Bytes& mark) {
    marks_.push_back(mark);
    h_.queue.PostToMain(WM_OPERATOR_CLICK, marks_.size() - 1, 0);
  }

 private:
  AnyHost& h_;
  std::vector<Bytes> marks_;
};

// A window that fails the test when the box state is read over and over: a
// wait that polls instead of sleeping would otherwise hang the fake clock.
class CountingWindow : public FakeWindow {
 public:
  int reads = 0;
  int GetCheck(int slot) override {
    if (++reads > 1000) throw std::runtime_error("the box state is polled without sleeping");
    return FakeWindow::GetCheck(slot);
  }
};

// The fake host with that window; every test that waits for a box uses it.
struct CountingHost {
  FakeQueue queue;
  FakeSockets sockets;
  CountingWindow window;
  FakeProfile profile;
  FakeFiles files;
  ScriptContext ctx{Host{queue, sockets, window, profile, files}};
  CountingHost() {
    queue.dispatch = [this](const Msg& m) { DispatchMainWindowMessage(ctx, m); };
    ctx.log.Open(files, "test.log");
    ctx.running = true;
  }
  Bytes LogText() {
    Bytes out;
    for (char c : files.files["test.log"]) {
      if (c != '\r') out.push_back(c);
    }
    return out;
  }
  void Run(const Bytes& script) {
    files.files["/s/main.tvl"] = script;
    ctx.running = true;
    RunScript(ctx, "/s/main.tvl");
    ctx.running = false;
  }
};

TEST(CheckBoxRect, TwoColumnsOfFiveRowsBelowTheRunButton) {
  const Rect run{26, 10, 606, 33};  // 23 pixels high
  const Rect expected[MAX_CHECKBOXES] = {
      {26, 65, 306, 88},   {326, 65, 606, 88},   {26, 96, 306, 119},  {326, 96, 606, 119},
      {26, 127, 306, 150}, {326, 127, 606, 150}, {26, 158, 306, 181}, {326, 158, 606, 181},
      {26, 189, 306, 212}, {326, 189, 606, 212},
  };
  for (int slot = 0; slot < MAX_CHECKBOXES; ++slot) {
    const Rect r = CheckBoxRect(slot, run);
    EXPECT_EQ(r.left, expected[slot].left) << slot;
    EXPECT_EQ(r.top, expected[slot].top) << slot;
    EXPECT_EQ(r.right, expected[slot].right) << slot;
    EXPECT_EQ(r.bottom, expected[slot].bottom) << slot;
  }
}

TEST(CheckBoxRect, FollowsTheButtonsBottomAndHeightButNotItsLeftEdge) {
  const Rect r = CheckBoxRect(3, Rect{10, 100, 50, 140});  // 40 pixels high
  EXPECT_EQ(r.left, 326);
  EXPECT_EQ(r.right, 606);
  EXPECT_EQ(r.top, 140 + 32 + 48);
  EXPECT_EQ(r.bottom, 140 + 32 + 48 + 40);
}

TEST(ShowCheckBox, TakesTheLowestFreeSlotAndPlacesTheBoxThere) {
  FakeHost h;
  EXPECT_EQ(Call(kShowCheckBox.run, h.ctx, "A \"Alpha\" nl"), Flow::Next);
  EXPECT_EQ(Call(kShowCheckBox.run, h.ctx, "B"), Flow::Next);
  EXPECT_EQ(h.window.captions[0], "Alpha\n");
  EXPECT_EQ(h.window.captions[1], "B");  // only a mark: the mark is the caption
  EXPECT_EQ(h.ctx.checkBoxMarks[0], "A");
  EXPECT_EQ(h.ctx.checkBoxMarks[1], "B");
  const Rect expected = CheckBoxRect(1, h.window.RunButtonRect());
  EXPECT_EQ(h.window.boxRects[1].left, expected.left);
  EXPECT_EQ(h.window.boxRects[1].top, expected.top);
  EXPECT_EQ(h.window.boxRects[1].bottom, expected.bottom);
  EXPECT_EQ(FindCheckBox(h.ctx, "B"), 1);
  EXPECT_EQ(FindCheckBox(h.ctx, "C"), -1);
  EXPECT_EQ(FindCheckBox(h.ctx, ""), 2);
  EXPECT_EQ(h.LogText(), "Program zahájen.\n");  // success writes nothing
}

TEST(ShowCheckBox, CaptionThatExpandsToNothingIsTheMark) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "ok plainword");
  EXPECT_EQ(h.window.captions[0], "ok");
}

TEST(ShowCheckBox, ShowingAShownMarkChangesNothing) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "A \"first\"");
  h.window.checks[0] = 1;
  EXPECT_EQ(Call(kShowCheckBox.run, h.ctx, "A \"second\""), Flow::Next);
  EXPECT_EQ(h.window.captions[0], "first");
  EXPECT_EQ(h.window.checks[0], 1);
  EXPECT_EQ(h.window.transcript.size(), 1u);
  EXPECT_EQ(FindCheckBox(h.ctx, ""), 1);
}

TEST(ShowCheckBox, MarksDifferingOnlyInCaseAreTwoBoxes) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "ok");
  Call(kShowCheckBox.run, h.ctx, "OK");
  EXPECT_EQ(FindCheckBox(h.ctx, "ok"), 0);
  EXPECT_EQ(FindCheckBox(h.ctx, "OK"), 1);
  Call(kSetCheck.run, h.ctx, "OK 1");
  Call(kTestCheck.run, h.ctx, "ok");
  EXPECT_FALSE(h.ctx.symbols.IsDefined("CHECKED"));
  Call(kTestCheck.run, h.ctx, "OK");
  EXPECT_TRUE(h.ctx.symbols.IsDefined("CHECKED"));
}

TEST(ShowCheckBox, AnEleventhBoxEndsTheRunWithTheLimitInTheLog) {
  FakeHost h;
  Bytes script;
  for (int i = 0; i < 11; ++i) script += "ShowCheckBox m" + std::to_string(i) + "\n";
  h.Run(script);
  const Bytes log = h.LogText();
  EXPECT_NE(log.find("$$ ShowCheckBox m10\nPříliš mnoho viditelných check-boxů (max. 10)\n"
                     "Soubor interpretován a uzavřen.\n"),
            Bytes::npos)
      << log;
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
  int errors = 0;
  for (const Bytes& line : h.window.transcript) {
    if (line == "[*** CHYBA ***] Příliš mnoho viditelných check-boxů") ++errors;
  }
  EXPECT_EQ(errors, 1);
  // The end of the run freed all ten slots.
  EXPECT_EQ(FindCheckBox(h.ctx, ""), 0);
  for (bool shown : h.window.boxShown) EXPECT_FALSE(shown);
}

TEST(ShowCheckBox, AHiddenBoxesPlaceGoesToTheNextBox) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "A");
  Call(kShowCheckBox.run, h.ctx, "B");
  Call(kShowCheckBox.run, h.ctx, "C");
  EXPECT_EQ(Call(kHideCheckBox.run, h.ctx, "A"), Flow::Next);
  EXPECT_FALSE(h.window.boxShown[0]);
  Call(kShowCheckBox.run, h.ctx, "D");
  EXPECT_EQ(FindCheckBox(h.ctx, "D"), 0);
  EXPECT_EQ(h.window.boxRects[0].left, 26);
  EXPECT_EQ(h.window.transcript.back(), "+box 0 D D");
}

TEST(HideCheckBox, UnknownMarkDoesNothing) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "A");
  EXPECT_EQ(Call(kHideCheckBox.run, h.ctx, "Z"), Flow::Next);
  EXPECT_EQ(Call(kHideCheckBox.run, h.ctx, "a"), Flow::Next);
  EXPECT_TRUE(h.window.boxShown[0]);
  EXPECT_EQ(h.window.transcript.size(), 1u);
}

TEST(SetCheck, SetsClearsAndToggles) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "A");
  EXPECT_EQ(Call(kSetCheck.run, h.ctx, "A 1"), Flow::Next);
  EXPECT_EQ(h.window.checks[0], 1);
  EXPECT_EQ(Call(kSetCheck.run, h.ctx, "A 0"), Flow::Next);
  EXPECT_EQ(h.window.checks[0], 0);
  Call(kSetCheck.run, h.ctx, "A 2");
  EXPECT_EQ(h.window.checks[0], 1);
  Call(kSetCheck.run, h.ctx, "A 2");
  EXPECT_EQ(h.window.checks[0], 0);
  // A state other than checked counts as unchecked, so a toggle checks it.
  h.window.checks[0] = 2;
  Call(kSetCheck.run, h.ctx, "A 2");
  EXPECT_EQ(h.window.checks[0], 1);
}

TEST(SetCheck, ModeMustBeExactlyOneDigitOfZeroToTwo) {
  for (const char* rest : {"A", "A 3", "A 01", "A 1x", "A \"1\""}) {
    FakeHost h;
    Call(kShowCheckBox.run, h.ctx, "A");
    EXPECT_EQ(Call(kSetCheck.run, h.ctx, rest), Flow::Fail) << rest;
    EXPECT_EQ(h.window.transcript.back(),
              "[*** CHYBA ***] Očekávána číslice - způsob nastavení za SetCheck");
    EXPECT_EQ(h.LogText(),
              "Program zahájen.\nŠpatný formát příkazu !\nSyntaxe: SetCheck <značka> [ 0 | 1 | 2 "
              "]\n");
    EXPECT_EQ(h.window.checks[0], 0);
  }
}

TEST(SetCheck, InvisibleBoxIsAnErrorNamingTheMark) {
  FakeHost h;
  EXPECT_EQ(Call(kSetCheck.run, h.ctx, "ghost 1"), Flow::Fail);
  EXPECT_EQ(h.window.transcript.at(0),
            "[*** CHYBA ***] SetCheck pracuje s neviditelným check-boxem");
  EXPECT_EQ(h.LogText(), "Program zahájen.\nSetCheck pracuje s neviditelným check-boxem ghost\n");
}

TEST(TestCheck, ReportsThroughTheCheckedSymbol) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "A");
  h.window.checks[0] = 1;
  EXPECT_EQ(Call(kTestCheck.run, h.ctx, "A"), Flow::Next);
  EXPECT_TRUE(h.ctx.symbols.IsDefined("CHECKED"));
  h.window.checks[0] = 2;  // indeterminate is not checked
  Call(kTestCheck.run, h.ctx, "A");
  EXPECT_FALSE(h.ctx.symbols.IsDefined("CHECKED"));
  h.ctx.symbols.Define("CHECKED");
  EXPECT_EQ(Call(kTestCheck.run, h.ctx, "never-shown"), Flow::Next);
  EXPECT_FALSE(h.ctx.symbols.IsDefined("CHECKED"));
  EXPECT_EQ(h.window.transcript.size(), 1u);  // no error box
}

TEST(CheckBoxCommands, MissingMarkErrors) {
  struct Case {
    Handler handler;
    const char* box;
    const char* syntax;
  };
  const Case cases[] = {
      {kShowCheckBox.run, "ShowCheckBox", "ShowCheckBox <značka> [<řetězec>]"},
      {kHideCheckBox.run, "HideCheckBox", "HideCheckBox <značka>"},
      {kSetCheck.run, "SetCheck", "SetCheck <značka> [ 0 | 1 | 2 ]"},
      {kTestCheck.run, "TestCheck", "TestCheck <značka>"},
      {kWaitCheck.run, "WaitCheck", "WaitCheck <značka> [0 | 1]"},
  };
  for (const Case& c : cases) {
    FakeHost h;
    h.ctx.running = true;
    EXPECT_EQ(Call(c.handler, h.ctx, "  "), Flow::Fail) << c.box;
    ASSERT_EQ(h.window.transcript.size(), 1u) << c.box;
    EXPECT_EQ(h.window.transcript[0], Bytes("[*** CHYBA ***] Očekáváno jméno značky za ") + c.box);
    EXPECT_EQ(h.LogText(),
              Bytes("Program zahájen.\nŠpatný formát příkazu !\nSyntaxe: ") + c.syntax + "\n");
  }
}

TEST(CheckBoxCommands, BothKeywordsOfEachCommandWork) {
  CountingHost h;
  Clicks<CountingHost> clicks(h);
  clicks.At(500, "B");
  h.Run(
      "CheckBox A\n"
      "showcheckbox B\n"
      "SetCheckBox A 1\n"
      "Checked A\n"
      "WaitForCheck B 1\n"
      "DestroyCheckBox A\n"
      "ShowCheckBox C\n");
  EXPECT_TRUE(h.ctx.symbols.IsDefined("CHECKED"));
  EXPECT_EQ(h.queue.now, 500);
  // A was destroyed, so C took its slot before the end of the run.
  EXPECT_EQ(h.window.transcript, (std::vector<Bytes>{"+box 0 A A", "+box 1 B B", "-box 0",
                                                     "+box 0 C C", "-box 0", "-box 1"}));
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
}

TEST(WaitCheck, InvisibleBoxIsAnErrorNamingTheMark) {
  CountingHost h;
  h.ctx.running = true;
  EXPECT_EQ(Call(kWaitCheck.run, h.ctx, "ghost"), Flow::Fail);
  EXPECT_EQ(h.window.transcript.at(0),
            "[*** CHYBA ***] WaitCheck pracuje s neviditelným check-boxem");
  EXPECT_EQ(h.LogText(), "Program zahájen.\nWaitCheck pracuje s neviditelným check-boxem ghost\n");
}

TEST(WaitCheck, SleepsUntilTheOperatorsClickInsteadOfPolling) {
  CountingHost h;
  Clicks<CountingHost> clicks(h);
  Call(kShowCheckBox.run, h.ctx, "A");
  clicks.At(60LL * 60 * 1000, "A");  // an hour later
  EXPECT_EQ(Call(kWaitCheck.run, h.ctx, "A 1"), Flow::Next);
  EXPECT_EQ(h.queue.now, 60LL * 60 * 1000);
  EXPECT_EQ(h.window.checks[0], 1);
  EXPECT_TRUE(h.ctx.running);
  EXPECT_FALSE(h.queue.blockedForever);
  // One look before the wait, one by the click's toggle, one after it.
  EXPECT_EQ(h.window.reads, 3);
}

TEST(WaitCheck, AnyWordButZeroWaitsForChecked) {
  for (const char* state : {"", "5", "x", "1"}) {
    CountingHost h;
    Clicks<CountingHost> clicks(h);
    Call(kShowCheckBox.run, h.ctx, "A");
    clicks.At(100, "A");
    EXPECT_EQ(Call(kWaitCheck.run, h.ctx, Bytes("A ") + state), Flow::Next) << state;
    EXPECT_EQ(h.window.checks[0], 1) << state;
    EXPECT_EQ(h.queue.now, 100) << state;
  }
}

TEST(WaitCheck, ReadsTheStateOnlyAfterAPumpStep) {
  CountingHost h;
  Clicks<CountingHost> clicks(h);
  Call(kShowCheckBox.run, h.ctx, "A");
  // The box is unchecked, as wanted, but a click is already queued: the pump
  // step comes first, so the wait must go on until the box is cleared again.
  clicks.Now("A");
  clicks.At(700, "A");
  EXPECT_EQ(Call(kWaitCheck.run, h.ctx, "A 0"), Flow::Next);
  EXPECT_EQ(h.queue.now, 700);
  EXPECT_EQ(h.window.checks[0], 0);
}

TEST(WaitCheck, AlreadyInStateReturnsAfterOnePumpStep) {
  CountingHost h;
  Call(kShowCheckBox.run, h.ctx, "A");
  EXPECT_EQ(Call(kWaitCheck.run, h.ctx, "A 0"), Flow::Next);
  EXPECT_EQ(h.queue.now, 0);
  EXPECT_EQ(h.window.reads, 1);
  EXPECT_FALSE(h.queue.blockedForever);
}

TEST(WaitCheck, InterruptionEndsTheRunAndRemovesTheBoxes) {
  CountingHost h;
  h.queue.At(2000, [&] { h.queue.PostToMain(kWmCommand, kIdRunButton, 0); });
  h.Run("ShowCheckBox A\nShowCheckBox B\nWaitCheck A\nShowCheckBox never\n");
  EXPECT_EQ(h.queue.now, 2000);
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\nInterpretuji soubor /s/main.tvl\n"
            "$$ ShowCheckBox A\n$$ ShowCheckBox B\n$$ WaitCheck A\n"
            "Akce přerušena obsluhou.\n"
            "Soubor interpretován a uzavřen.\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);
  EXPECT_FALSE(h.window.boxShown[0]);
  EXPECT_FALSE(h.window.boxShown[1]);
  EXPECT_EQ(FindCheckBox(h.ctx, ""), 0);
}

TEST(WaitCheck, ClosingTheWindowEndsTheRun) {
  CountingHost h;
  h.queue.At(300, [&] { h.queue.PostToMain(kWmSysCommand, kScClose, 0); });
  h.Run("ShowCheckBox A\nWaitCheck A 1\nShowCheckBox never\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);
  EXPECT_FALSE(h.window.boxShown[0]);
  EXPECT_EQ(h.window.transcript, (std::vector<Bytes>{"+box 0 A A", "-box 0"}));
}

TEST(ClickCheckBox, TogglesOnlyAShownBox) {
  FakeHost h;
  Call(kShowCheckBox.run, h.ctx, "A");
  ClickCheckBox(h.ctx, "A");
  EXPECT_EQ(h.window.checks[0], 1);
  ClickCheckBox(h.ctx, "A");
  EXPECT_EQ(h.window.checks[0], 0);
  ClickCheckBox(h.ctx, "a");
  ClickCheckBox(h.ctx, "");  // must not reach the free slot 1
  EXPECT_EQ(h.window.checks[0], 0);
  EXPECT_EQ(h.window.checks[1], 0);
}

TEST(CheckBoxLifetime, EveryEndOfRunRemovesTheBoxes) {
  // Normal end of file, a failed command, Cancel in a dialog, interruption.
  struct Case {
    const char* tail;
    int answer;
    RunOutcome outcome;
  };
  const Case cases[] = {
      {"", kIdOk, RunOutcome::Normal},
      {"SetCheck A\n", kIdOk, RunOutcome::Failed},
      {"Message \"?\"\n", kIdCancel, RunOutcome::Cancelled},
      {"Wait 5000\n", kIdOk, RunOutcome::Interrupted},
  };
  for (const Case& c : cases) {
    FakeHost h;
    h.window.answers = {c.answer};
    h.queue.At(10, [&] { h.queue.PostToMain(kWmCommand, kIdRunButton, 0); });
    h.Run(Bytes("ShowCheckBox A\nShowCheckBox B\n") + c.tail);
    EXPECT_EQ(h.ctx.lastOutcome, c.outcome) << c.tail;
    for (int slot = 0; slot < MAX_CHECKBOXES; ++slot) {
      EXPECT_TRUE(h.ctx.checkBoxMarks[static_cast<size_t>(slot)].empty()) << c.tail;
      EXPECT_FALSE(h.window.boxShown[slot]) << c.tail;
    }
  }
}

TEST(CheckBoxLifetime, AnAbruptEndLeavesTheBoxesForTheNextRunToRemove) {
  FakeHost h;
  // The script file becomes unreadable while the run waits.
  h.queue.At(50, [&] { h.files.unreadable.insert("/s/main.tvl"); });
  h.Run("ShowCheckBox A \"first\"\nWait 100\nComment never\n");
  EXPECT_TRUE(h.window.boxShown[0]);
  EXPECT_EQ(h.ctx.checkBoxMarks[0], "A");

  h.files.unreadable.clear();
  h.Run("ShowCheckBox A \"second\"\n", "/s/next.tvl");
  EXPECT_EQ(h.window.captions[0], "first");  // the old box stayed as it was
  EXPECT_FALSE(h.window.boxShown[0]);
  EXPECT_EQ(FindCheckBox(h.ctx, ""), 0);
  EXPECT_EQ(h.window.transcript, (std::vector<Bytes>{"+box 0 A first",
                                                     "[*** CHYBA ***] Chyby čtení souboru, soubor "
                                                     "nelze interpretovat až do konce",
                                                     "-box 0"}));
}

}  // namespace
}  // namespace tv::test
