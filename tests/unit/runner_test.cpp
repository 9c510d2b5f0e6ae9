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

}  // namespace
}  // namespace tv::test
