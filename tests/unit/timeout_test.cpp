// The time limit of Connect where the log cannot show it: a host lookup that
// never answers, and a lookup and a connect that share one limit.
#include <gtest/gtest.h>

#include "app/commands.h"
#include "engine/runner.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

Flow RunConnect(NetHost& h, const char* args) {
  ScriptFileStack stack(ScriptCommands());
  Bytes rest = args;
  return DispatchCommand(h.ctx, "CONNECT", rest, stack);
}

TEST(TimeLimit, LookupThatNeverAnswersIsCancelledWhenTheLimitRunsOut) {
  NetHost h;
  h.sockets.lookupMs = -1;
  h.ctx.timeLimit.ms = 300;
  EXPECT_EQ(RunConnect(h, "silent.test 25"), Flow::Fail);
  EXPECT_EQ(h.queue.now, 300);
  EXPECT_EQ(h.sockets.Calls(),
            "lookup silent.test\n"
            "cancel 100\n");
  EXPECT_EQ(h.ctx.hostLookup, 0u);
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno silent.test\n"
            "Vypršel časový limit 300 ms.\n");
  EXPECT_EQ(h.window.transcript,
            std::vector<Bytes>{"[*** CHYBA ***] Vypršel časový limit příkazu Connect"});
  EXPECT_TRUE(h.ctx.running);
  EXPECT_TRUE(h.ctx.timeLimit.endedRun);
  EXPECT_FALSE(h.queue.TimerRunning());
}

TEST(TimeLimit, LookupAndConnectShareOneLimit) {
  NetHost h;
  h.sockets.hosts["slow.test"] = {Ip(10, 0, 0, 7)};
  h.sockets.lookupMs = 200;
  h.sockets.connectAnswerMs = 200;
  h.ctx.timeLimit.ms = 300;
  EXPECT_EQ(RunConnect(h, "slow.test 25"), Flow::Fail);
  EXPECT_EQ(h.queue.now, 300);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_EQ(h.LogText(),
            "Táži se serveru DNS na jméno slow.test\n"
            "Čekám na připojení k 10.0.0.7, port 25\n"
            "Vypršel časový limit 300 ms.\n");
  EXPECT_FALSE(h.queue.TimerRunning());
}

TEST(TimeLimit, ConnectWithinTheLimitKillsItsTimer) {
  NetHost h;
  h.sockets.connectAnswerMs = 100;
  h.ctx.timeLimit.ms = 300;
  EXPECT_EQ(RunConnect(h, "10.0.0.7 25"), Flow::Next);
  EXPECT_EQ(h.queue.now, 100);
  EXPECT_FALSE(h.queue.TimerRunning());
  EXPECT_FALSE(h.ctx.timeLimit.endedRun);
  EXPECT_TRUE(h.window.transcript.empty());
}

}  // namespace
}  // namespace tv::test
