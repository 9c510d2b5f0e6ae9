#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace tv::test {
namespace {

TEST(Runner, LogsEveryLineAndEndsTheRun) {
  FakeHost h;
  h.Run("\n  \n// note\n/x\nCOMMENT\n");
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\n"
            "Interpretuji soubor /s/main.tvl\n"
            "$$ \n$$   \n$$ // note\n$$ /x\n$$ COMMENT\n"
            "Soubor interpretován a uzavřen.\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
  EXPECT_EQ(h.window.upper, "COMMENT");
}

TEST(Runner, UnknownCommandIsNamedUpperCasedAndEndsTheRun) {
  FakeHost h;
  h.Run("sendx 1\nComment never\n");
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\n"
            "Interpretuji soubor /s/main.tvl\n"
            "$$ sendx 1\n"
            "Příkaz SENDX nerozpoznán, předčasně ukončuji interpretaci souboru.\n"
            "Soubor interpretován a uzavřen.\n");
  ASSERT_EQ(h.window.transcript.size(), 1u);
  EXPECT_EQ(h.window.transcript[0], "[*** CHYBA ***] Neznámý příkaz scriptu: SENDX");
  EXPECT_EQ(h.window.lower, "Příkaz nebyl rozpoznán");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
}

TEST(Runner, MissingScriptIsReportedWithoutEndOfRun) {
  FakeHost h;
  h.ctx.running = true;
  RunScript(h.ctx, "/nowhere.tvl");
  EXPECT_EQ(h.LogText(), "Program zahájen.\nSoubor /nowhere.tvl nelze otevřít pro čtení.\n");
  EXPECT_EQ(h.window.transcript.at(0),
            "[*** CHYBA ***] Nelze otevřít pro čtení soubor /nowhere.tvl");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::NotOpened);
}

TEST(Runner, ReadErrorAbandonsTheRunWithoutClosingLine) {
  FakeHost h;
  h.files.unreadable.insert("/s/main.tvl");
  h.Run("Comment\n");
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\n"
            "Interpretuji soubor /s/main.tvl\n"
            "Chyby při čtení souboru, soubor nelze dočíst do konce.\n");
  EXPECT_EQ(h.window.transcript.at(0),
            "[*** CHYBA ***] Chyby čtení souboru, soubor nelze interpretovat až do konce");
}

TEST(Runner, LongLinesAndOddBytesAreLoggedWhole) {
  FakeHost h;
  const Bytes longLine = "Comment " + Bytes(5000, 'x') + "\xFF\x81";
  h.Run(longLine + "\nDefine \"a\\0b\"\nStop");  // no line end after the last line
  EXPECT_EQ(h.LogText(), "Program zahájen.\nInterpretuji soubor /s/main.tvl\n$$ " + longLine +
                             "\n$$ Define \"a\\0b\"\n$$ Stop\nSoubor interpretován a uzavřen.\n");
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{Bytes("\"a\0b\"", 5)}));
  EXPECT_EQ(h.window.upper, "Stop");
}

TEST(Runner, CommentsBlankLinesAndFailedTestsDoNotPump) {
  FakeHost h;
  std::vector<uint32_t> dispatched;
  h.queue.dispatch = [&](const Msg& m) { dispatched.push_back(m.id); };
  h.queue.PostToMain(WM_SOCKET_EVENT, 0, 0);
  h.Run("\n \t\n// c\n/x y\nIfDef none Stop\nIfNotDef none\nIfNotDef none /x\n");
  EXPECT_TRUE(dispatched.empty());
  h.Run("LABEL l\n");
  EXPECT_EQ(dispatched, (std::vector<uint32_t>{WM_SOCKET_EVENT}));
}

TEST(Runner, InterruptionEndsTheRunAtTheNextLine) {
  FakeHost h;
  h.queue.PostToMain(WM_SCRIPT_WAKEUP, 0, 0);
  h.queue.dispatch = [&](const Msg&) { h.ctx.running = false; };
  h.Run("Define a\nDefine b\n");
  EXPECT_EQ(h.ctx.symbols.Items(), (std::vector<Bytes>{"a"}));
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);
  EXPECT_NE(h.LogText().find("$$ Define a\nSoubor interpretován a uzavřen.\n"), Bytes::npos);
}

TEST(Runner, ReadErrorWhileSearchingALabelAbandonsTheRun) {
  FakeHost h;
  h.files.files["/s/sub.tvl"] = "GoTo x\n";
  h.ctx.checkBoxMarks[3] = "kept";
  h.files.files["/s/main.tvl"] = "Call sub.tvl\n";
  h.ctx.running = true;
  // The caller becomes unreadable at the pump after the Call.
  h.queue.PostToMain(WM_SCRIPT_WAKEUP, 0, 0);
  h.queue.dispatch = [&](const Msg&) { h.files.unreadable.insert("/s/main.tvl"); };
  RunScript(h.ctx, "/s/main.tvl");
  EXPECT_EQ(h.window.transcript,
            (std::vector<Bytes>{
                "[*** CHYBA ***] Chyby čtení souboru, soubor nelze interpretovat až do konce"}));
  EXPECT_EQ(h.LogText(),
            "Program zahájen.\nInterpretuji soubor /s/main.tvl\n$$ Call sub.tvl\n$$ GoTo x\n"
            "Chyby při čtení souboru, soubor nelze dočíst do konce.\n");
  EXPECT_EQ(h.ctx.checkBoxMarks[3], "kept");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
}

}  // namespace
}  // namespace tv::test
