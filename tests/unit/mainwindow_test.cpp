#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace tv::test {
namespace {

class RecordingSockets : public FakeSockets {
 public:
  std::vector<Bytes> calls;
  void Shutdown(Socket s) override { calls.push_back("shutdown " + std::to_string(s)); }
  void Close(Socket s) override { calls.push_back("close " + std::to_string(s)); }
};

class SlidingWindow : public FakeWindow {
 public:
  std::vector<int> moves;
  std::function<void()> slidUp;  // runs when the slide up has finished
  int PrepareSlideUp() override { return 3; }
  void MoveRunButton(int dy) override { moves.push_back(dy); }
  void FinishSlide(bool down) override {
    if (!down && slidUp) slidUp();
  }
};

struct MainHost {
  FakeQueue queue;
  RecordingSockets sockets;
  SlidingWindow window;
  FakeProfile profile;
  FakeFiles files;
  ScriptContext ctx{Host{queue, sockets, window, profile, files}};

  explicit MainHost(const Bytes& commandLine = "-p t.log s.tvl") {
    queue.dispatch = [this](const Msg& m) { DispatchMainWindowMessage(ctx, m); };
    profile.values["ScriptName"] = "remembered.tvl";
    initialised = InitFromCommandLine(ctx, commandLine);
  }
  Bytes Log() {
    Bytes out;
    for (char c : files.files["t.log"]) {
      if (c != '\r') out.push_back(c);
    }
    return out;
  }
  // Dispatches until the queue is empty, as the main window's loop would.
  void Loop() {
    while (queue.Pending() > 0 && queue.DispatchOne()) {
    }
  }
  bool initialised;
};

TEST(MainWindow, InitialisationFromTheCommandLine) {
  MainHost h;
  EXPECT_TRUE(h.initialised);
  EXPECT_EQ(h.window.scriptName, "s.tvl");
  EXPECT_EQ(h.Log(), "Program zahájen.\n");
  EXPECT_EQ(h.window.lower, "Program odstartován, čekám na spuštění scriptu.");
  EXPECT_EQ(h.window.title, "Tarvelin 1.10");
  PostAutomaticStart(h.ctx);
  Msg m;
  ASSERT_TRUE(h.queue.Peek(m));
  EXPECT_EQ(m.id, kWmCommand);
  EXPECT_EQ(m.wParam, static_cast<uintptr_t>(kIdRunButton));

  MainHost connect("-c host 110 -p t.log s.tvl");
  PostAutomaticStart(connect.ctx);
  ASSERT_TRUE(connect.queue.Peek(m));
  EXPECT_EQ(m.id, WM_STARTUP_CONNECT);
  EXPECT_EQ(connect.queue.Pending(), 1u);

  MainHost none("-p -");
  PostAutomaticStart(none.ctx);
  EXPECT_EQ(none.queue.Pending(), 0u);
  EXPECT_EQ(none.window.scriptName, "remembered.tvl");
  EXPECT_FALSE(none.ctx.log.IsOpen());
  EXPECT_TRUE(none.window.transcript.empty());

  MainHost noFolder("-p missing/");
  EXPECT_EQ(noFolder.window.transcript,
            (std::vector<Bytes>{"[*** VAROVÁNÍ ***] Nelze vytvářet protokol missing/"}));
  EXPECT_FALSE(noFolder.ctx.log.IsOpen());

  MainHost bad("-p t.log -x");
  EXPECT_FALSE(bad.initialised);
  EXPECT_EQ(bad.window.transcript,
            (std::vector<Bytes>{"[Chyba v argumentech programu] Neznámý parametr: x"}));
  EXPECT_EQ(bad.files.files.count("t.log"), 0u);
}

TEST(MainWindow, RunEndsWithScriptEndedAndSlides) {
  MainHost h;
  h.files.files["s.tvl"] = "Comment\n";
  PostAutomaticStart(h.ctx);
  h.Loop();
  EXPECT_EQ(h.Log(),
            "Program zahájen.\nInterpretuji soubor s.tvl\n$$ Comment\n"
            "Soubor interpretován a uzavřen.\n");
  EXPECT_EQ(h.window.lower, "Script ukončen.");
  EXPECT_FALSE(h.ctx.running);
  EXPECT_EQ(h.window.title, "Tarvelin 1.10");
  EXPECT_EQ(h.window.runCaption, "&Spuštění scriptu");
  EXPECT_EQ(h.window.moves, (std::vector<int>{-4, -4, -4, 4, 4, 4}));
  EXPECT_EQ(h.window.showCommands, (std::vector<int>{9}));
  EXPECT_EQ(h.queue.now, 6 * 20);
  // The edit still shows the command line's script: the profile keeps its value.
  EXPECT_EQ(h.profile.values["ScriptName"], "remembered.tvl");

  h.window.scriptName = "other.tvl";
  h.files.files["other.tvl"] = "";
  RunButtonClicked(h.ctx);
  EXPECT_EQ(h.profile.values["ScriptName"], "other.tvl");
}

TEST(MainWindow, InterruptionKeepsTheLastStatusAndTheSlideDownStillPauses) {
  MainHost h;
  h.files.files["s.tvl"] = "Comment\nDefine never\n";
  // A click while the button slides up is ignored; one after it interrupts
  // at the run's first pump.
  h.window.slidUp = [&] {
    h.window.slidUp = nullptr;
    h.queue.PostToMain(kWmCommand, kIdRunButton, 0);
  };
  h.queue.PostToMain(kWmCommand, kIdRunButton, 0);
  h.queue.PostToMain(kWmCommand, kIdRunButton, 0);
  h.queue.DispatchOne();
  EXPECT_EQ(h.Log(),
            "Program zahájen.\nInterpretuji soubor s.tvl\n$$ Comment\n"
            "Akce přerušena obsluhou.\nSoubor interpretován a uzavřen.\n");
  EXPECT_EQ(h.window.lower, "Akce přerušena obsluhou.");
  EXPECT_FALSE(h.ctx.symbols.IsDefined("never"));
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);
  EXPECT_FALSE(h.ctx.running);
  // Up: the pumps ran with the flag set; down: three 20 ms pauses although
  // the run was interrupted.
  EXPECT_EQ(h.queue.now, 6 * 20);
}

TEST(MainWindow, CancelIsRefusedWhileRunningThenEndsTheProgram) {
  MainHost h;
  h.ctx.connection = h.sockets.OpenStream(5);
  h.ctx.running = true;
  OnCancel(h.ctx);
  EXPECT_FALSE(h.ctx.dialogEnded);
  EXPECT_TRUE(h.ctx.log.IsOpen());

  h.ctx.running = false;
  h.window.scriptName = "chosen.tvl";
  OnCancel(h.ctx);
  EXPECT_TRUE(h.ctx.dialogEnded);
  EXPECT_EQ(h.Log(), "Program zahájen.\nKonec programu.\n");
  h.ctx.LogPrintf("dropped\n");
  EXPECT_EQ(h.Log(), "Program zahájen.\nKonec programu.\n");
  EXPECT_EQ(h.sockets.calls, (std::vector<Bytes>{"shutdown 5", "close 5"}));
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.profile.values["ScriptName"], "chosen.tvl");
  EXPECT_EQ(h.window.sounds, (std::vector<Bytes>{"<stop>"}));
  Msg m;
  EXPECT_TRUE(h.queue.Peek(m) && m.id == WM_SCRIPT_WAKEUP);
}

TEST(MainWindow, ClosingDuringARunEndsTheRunThenTheProgram) {
  MainHost h("-p t.log");
  h.window.scriptName = "s.tvl";
  h.files.files["s.tvl"] = "Comment\nDefine never\n";
  h.queue.PostToMain(kWmCommand, kIdRunButton, 0);
  h.queue.PostToMain(kWmSysCommand, kScClose, 0);
  h.Loop();
  // The close stopped the run during the slide up; its cancel command, met
  // during a pause of the slide down, still ended the program.
  EXPECT_TRUE(h.ctx.dialogEnded);
  EXPECT_EQ(h.Log(),
            "Program zahájen.\nInterpretuji soubor s.tvl\nSoubor interpretován a uzavřen.\n"
            "Konec programu.\n");
  EXPECT_EQ(h.window.lower, "Zahájena interpretace souboru s.tvl");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);
}

}  // namespace
}  // namespace tv::test
