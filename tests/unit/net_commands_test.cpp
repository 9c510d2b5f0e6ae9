#include <gtest/gtest.h>

#include "net/capture.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

const char kStart[] = "Interpretuji soubor /s/main.tvl\n";
const char kEnd[] = "Soubor interpretován a uzavřen.\n";

TEST(NetCommands, ClientDialogueWithEveryCommand) {
  NetHost h;
  h.sockets.Arrive(10, "220 ready\r\n");
  h.sockets.Arrive(20, "250 OK\r\nOK\r\nxyzkey:value\n\nrest");
  h.Run(
      "connect 127.0.0.1 25\n"
      "WaitFor LineStarting \"220\"\n"
      "Send \"HELO \" \"me\" cr lf\n"
      "waitfor exactmatch \"OK\"\n"
      "OutputFile cap.txt\n"
      "Receive 3\n"
      "SkipTo \":\"\n"
      "WaitFor EmptyLine\n"
      "CloseOutput\n"
      "Send line nl\n"
      "Disconnect\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ connect 127.0.0.1 25\n"
                             "Čekám na připojení k 127.0.0.1, port 25\n"
                             "Spojení navázáno v pořádku.\n"
                             "$$ WaitFor LineStarting \"220\"\n"
                             "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku "
                             "začínající textem 220\n"
                             "Načtena řádka 220 ready\\r\\n\n"
                             "Koncová podmínka splněna.\n"
                             "$$ Send \"HELO \" \"me\" cr lf\n"
                             "Odesílám řádku HELO me\\r\\n\n"
                             "$$ waitfor exactmatch \"OK\"\n"
                             "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku se "
                             "samotným textem OK\n"
                             "Načtena řádka 250 OK\\r\\n\n"
                             "Načtena řádka OK\\r\\n\n"
                             "Koncová podmínka splněna.\n"
                             "$$ OutputFile cap.txt\n"
                             "Otevírám pro zápis soubor /s/cap.txt\n"
                             "Soubor v pořádku otevřen.\n"
                             "$$ Receive 3\n"
                             "Zahájeno čtení bloku o délce 3 ze socketu\n"
                             "Načten blok dat xyz\n"
                             "Blok dat v pořádku načten.\n"
                             "$$ SkipTo \":\"\n"
                             "Zahájeno čtení bloku až do znaku 58 ze socketu\n"
                             "Načtena řádka key:\n"
                             "Blok dat v pořádku načten.\n"
                             "$$ WaitFor EmptyLine\n"
                             "Zahájeno čtení řádek ze socketu, dokud nenarazím na prázdnou řádku\n"
                             "Načtena řádka value\\n\n"
                             "Načtena řádka \\n\n"
                             "Koncová podmínka splněna.\n"
                             "$$ CloseOutput\n"
                             "Uzavírám soubor pro opis přijímaných dat.\n"
                             "Soubor uzavřen.\n"
                             "$$ Send line nl\n"
                             "Odesílám řádku \\n\n"
                             "$$ Disconnect\n"
                             "Ukončuji spojení.\n"
                             "Spojení ukončeno.\n" +
                             kEnd);
  EXPECT_EQ(h.sockets.socks[3].sent, "HELO me\r\n\n");
  EXPECT_EQ(h.files.files["/s/cap.txt"], "xyzkey:value\n\n");
  EXPECT_TRUE(h.window.transcript.empty()) << h.Boxes();
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal);
  EXPECT_EQ(h.Buffer(), "rest") << "Disconnect leaves the buffer alone";
  EXPECT_EQ(h.window.lower, "Spojení ukončeno.");
}

TEST(NetCommands, ServerSideWithAccept) {
  NetHost h;
  h.sockets.ClientArrives(10);
  h.sockets.Arrive(20, "hello\n");
  h.Run(
      "Accept 7000\n"
      "WaitFor ExactMatch \"hello\"\n"
      "Send line lf\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ Accept 7000\n"
                             "Čekám na připojení na portu 7000\n"
                             "Navázáno spojení s počítačem 127.0.0.1 na portu 7000.\n"
                             "$$ WaitFor ExactMatch \"hello\"\n"
                             "Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku se "
                             "samotným textem hello\n"
                             "Načtena řádka hello\\n\n"
                             "Koncová podmínka splněna.\n"
                             "$$ Send line lf\n"
                             "Odesílám řádku hello\\n\n"
                             "Socket zůstal otevřený - ukončuji předchozí spojení.\n"
                             "Spojení ukončeno.\n" +
                             kEnd);
  EXPECT_EQ(h.Boxes(), "[Script ukončen] Spojení zůstalo otevřeno - mám jej uzavřít?\n");
  EXPECT_EQ(h.sockets.socks[4].sent, "hello\n");
}

TEST(NetCommands, SyntaxErrorsAndMissingConnection) {
  struct Case {
    const char* line;
    const char* box;
    const char* log;
  };
  const Case cases[] = {
      {"Connect host", "Očekávány 2 parametry příkazu Connect: server a port",
       "Špatný formát příkazu !\nSyntaxe: Connect <server> <port>\n"},
      {"Connect", "Očekávány 2 parametry příkazu Connect: server a port",
       "Špatný formát příkazu !\nSyntaxe: Connect <server> <port>\n"},
      {"Accept", "Očekáván parametr příkazu Accept: port",
       "Špatný formát příkazu !\nSyntaxe: Accept <port>\n"},
      {"Send \"x\"", "Nelze provést Send, pokud není otevřeno spojení",
       "Send nelze provést, spojení není otevřené.\n"},
      {"WaitFor End", "Nelze provést Receive, pokud není otevřeno spojení",
       "Příkaz nelze provést, spojení není otevřené.\n"},
      {"Receive 5", "Nelze provést Receive, pokud není otevřeno spojení",
       "Příkaz nelze provést, spojení není otevřené.\n"},
      {"SkipTo \":\"", "Nelze provést Receive, pokud není otevřeno spojení",
       "Příkaz nelze provést, spojení není otevřené.\n"},
      {"OutputFile", "Za OutputFile musí být název souboru",
       "Špatný formát příkazu !\nSyntaxe: OutputFile <jméno-souboru>\n"},
  };
  for (const Case& c : cases) {
    NetHost h;
    h.Run(Bytes(c.line) + "\nComment not reached\n");
    EXPECT_EQ(h.LogText(), Bytes(kStart) + "$$ " + c.line + "\n" + c.log + kEnd) << c.line;
    EXPECT_EQ(h.Boxes(), Bytes("[*** CHYBA ***] ") + c.box + "\n") << c.line;
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed) << c.line;
  }
}

TEST(NetCommands, SyntaxErrorsOnAnOpenConnection) {
  struct Case {
    const char* line;
    const char* box;
    const char* log;
  };
  const char* waitForSyntax =
      "Špatný formát příkazu !\nSyntaxe: WaitFor [End | LineStarting | ExactMatch | "
      "EmptyLine] [<retězec>]\n";
  const char* waitForText =
      "Špatný formát příkazu !\nZa WaitFor LineStarting nebo WaitFor ExactMatch musí být "
      "řetězec znaků.\n";
  const Case cases[] = {
      {"Send unknownword", "Není co odesílat - řetězec je prázdný",
       "Špatný formát příkazu !\nSyntaxe: Send <řetězec>\n"},
      {"WaitFor", "Nesprávná syntaxe příkazu WaitFor ve scriptu", waitForSyntax},
      {"WaitFor Forever", "Nesprávná syntaxe příkazu WaitFor ve scriptu", waitForSyntax},
      {"WaitFor LineStarting", "Nesprávná syntaxe příkazu WaitFor ve scriptu", waitForText},
      {"WaitFor ExactMatch \"\"", "Nesprávná syntaxe příkazu WaitFor ve scriptu", waitForText},
      {"Receive", "Nesprávná syntaxe příkazu Receive ve scriptu",
       "Špatný formát příkazu !\nSyntaxe: Receive <počet-bytů>\n"},
      {"Receive x12", "Nesprávná syntaxe příkazu Receive ve scriptu",
       "Špatný formát příkazu !\nSyntaxe: Receive <počet-bytů>\n"},
      {"SkipTo \"ab\"", "Není dobře udán koncový znak pro SkipTo",
       "Špatný formát příkazu !\nSyntaxe: SkipTo <znak>\n"},
      {"SkipTo", "Není dobře udán koncový znak pro SkipTo",
       "Špatný formát příkazu !\nSyntaxe: SkipTo <znak>\n"},
  };
  for (const Case& c : cases) {
    NetHost h;
    h.Open();
    h.window.answers = {kIdOk, kIdNo};
    h.Run(Bytes(c.line) + "\n");
    EXPECT_EQ(h.LogText(), Bytes(kStart) + "$$ " + c.line + "\n" + c.log + kEnd) << c.line;
    EXPECT_EQ(h.Boxes(), Bytes("[*** CHYBA ***] ") + c.box +
                             "\n[Script ukončen] Spojení zůstalo otevřeno - mám jej uzavřít?\n")
        << c.line;
    EXPECT_EQ(h.sockets.recvSizes.size(), 0u) << c.line;
  }
}

TEST(NetCommands, WaitForMatchingRules) {
  struct Case {
    const char* command;
    const char* lines;
    const char* matched;  // the line the wait stops at
  };
  const Case cases[] = {
      {"WaitFor ExactMatch \"OK\"", "ok\nOK \nOKAY\nOK\n", "OK"},
      {"WaitFor LineStarting \"OK\"", "ok\nO\nOKAY\nOK\n", "OKAY"},
      {"WaitFor LineStarting \"OK\"", "ok\nOK\r\n", "OK"},
      {"WAITFOR emptyline trailing words ignored", "a\r\n \r\n\r\nz\n", ""},
  };
  for (const Case& c : cases) {
    NetHost h;
    h.Open();
    h.sockets.Arrive(10, c.lines);
    h.window.answers = {kIdNo};
    h.Run(Bytes(c.command) + "\n");
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal) << c.command << h.Boxes();
    EXPECT_EQ(h.ctx.lastLine, c.matched) << c.command;
  }
}

TEST(NetCommands, LineWithAZeroByteIsComparedUpToIt) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, Bytes("OK\0junk\n", 8));
  h.window.answers = {kIdNo};
  h.Run("WaitFor ExactMatch \"OK\"\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Normal) << h.Boxes();
}

TEST(NetCommands, PeerCloseDuringWaitFor) {
  for (const char* mode : {"End", "EmptyLine", "LineStarting \"x\"", "ExactMatch \"x\""}) {
    NetHost h;
    h.Open();
    h.sockets.Arrive(10, "a\npart");
    h.sockets.PeerCloses(20);
    h.Run(Bytes("WaitFor ") + mode + "\nComment after\n");
    const bool end = Bytes(mode) == "End";
    const Bytes log = h.LogText();
    EXPECT_NE(log.find("Načtena řádka a\\n\n"
                       "Ukončení spojení ze strany partnerského počítače.\n"
                       "V bufferu pro čtení zůstává: part\n"),
              Bytes::npos)
        << mode;
    if (end) {
      EXPECT_NE(log.find("Koncová podmínka splněna.\n$$ Comment after\n"), Bytes::npos) << log;
      EXPECT_TRUE(h.window.transcript.empty());
      EXPECT_EQ(h.window.lower, "Dočteno, koncová podmínka splněna.");
    } else {
      EXPECT_NE(log.find("Předčasné uzavření spojení ze strany partnerského počítače.\n"
                         "Koncové podmínky nebylo dosaženo.\n" +
                         Bytes(kEnd)),
                Bytes::npos)
          << log;
      EXPECT_EQ(h.Boxes(),
                "[*** CHYBA ***] Předčasný pád spojení, koncové podmínky nebylo "
                "dosaženo\n");
    }
    EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket) << mode;
  }
}

// The overlong line is a failure for WaitFor End too; the connection stays open.
TEST(NetCommands, WaitForEndOverALineTooLongFails) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "a\n" + Bytes(5000, 'x'));
  h.window.answers = {kIdOk, kIdNo};
  h.Run("WaitFor End\nSend \"never\"\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ WaitFor End\n"
                             "Zahájeno čtení řádek ze socketu až do ukončení spojení\n"
                             "Načtena řádka a\\n\n"
                             "V bufferu pro čtení zůstává: " +
                             Bytes(kReceiveBufferSize, 'x') +
                             "\n"
                             "Řádka je delší než vyrovnávací paměť (4096 bytů).\n"
                             "Koncové podmínky nebylo dosaženo.\n" +
                             kEnd);
  // The peer has not closed: neither the log nor the box says so.
  EXPECT_EQ(h.window.transcript.at(0),
            "[*** CHYBA ***] Řádka je delší než vyrovnávací paměť, koncové podmínky nebylo "
            "dosaženo");
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetCommands, ReceiveAndSkipToReportTheReason) {
  {
    NetHost h;
    h.Open();
    h.window.answers = {kIdOk, kIdNo};
    h.Run("Receive 0\nReceive -1\n");
    EXPECT_EQ(h.LogText(), Bytes(kStart) +
                               "$$ Receive 0\n"
                               "Zahájeno čtení bloku o délce 0 ze socketu\n"
                               "Načten blok dat \n"
                               "Blok dat v pořádku načten.\n"
                               "$$ Receive -1\n"
                               "Zahájeno čtení bloku o délce -1 ze socketu\n"
                               "Blok dat nelze načíst: Nelze načítat tak dlouhé bloky dat.\n" +
                               kEnd);
    EXPECT_EQ(h.window.transcript.at(0), "[*** CHYBA ***] Blok dat nelze v pořádku načíst");
  }
  {
    NetHost h;
    h.Open();
    h.sockets.Arrive(10, "no colon here");
    h.sockets.PeerCloses(20);
    h.Run("SkipTo 58\n");
    EXPECT_EQ(h.LogText(),
              Bytes(kStart) +
                  "$$ SkipTo 58\n"
                  "Zahájeno čtení bloku až do znaku 58 ze socketu\n"
                  "Ukončení spojení ze strany partnerského počítače.\n"
                  "V bufferu pro čtení zůstává: no colon here\n"
                  "Blok dat nelze načíst: Předčasné ukončení spojení ze strany partnerského "
                  "počítače.\n" +
                  kEnd);
    EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Blok dat nelze v pořádku načíst\n");
  }
}

TEST(NetCommands, SkipToAnEscapedControlCharacter) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "head\x1btail");
  h.window.answers = {kIdNo};
  h.Run("SkipTo \"\\e\"\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ SkipTo \"\\e\"\n"
                             "Zahájeno čtení bloku až do znaku 27 ze socketu\n"
                             "Načtena řádka head\\e\n"
                             "Blok dat v pořádku načten.\n" +
                             kEnd);
  EXPECT_EQ(h.ctx.lastLine, "head");
  EXPECT_EQ(h.Buffer(), "tail");
}

TEST(NetCommands, SkipToAByteAbove127IsLoggedUnsigned) {
  NetHost h;
  h.Open();
  h.sockets.Arrive(10, "a\xFF");
  h.window.answers = {kIdNo};
  h.Run("SkipTo 255\n");
  EXPECT_NE(h.LogText().find("Zahájeno čtení bloku až do znaku 255 ze socketu\n"
                             "Načtena řádka a\\255\n"),
            Bytes::npos);
}

TEST(NetCommands, SendFailureLogsTheReasonAfterTheBox) {
  NetHost h;
  h.Open();
  h.sockets.Live().sendRoom = 2;
  h.sockets.PeerCloses(10);
  h.Run("Send \"abcdef\"\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ Send \"abcdef\"\n"
                             "Odesílám řádku abcdef\n"
                             "Předčasné ukončení spojení ze strany partnerského počítače.\n"
                             "Dosud zapsáno 2 znaků.\n"
                             "Send nelze provést: Předčasné ukončení spojení ze strany "
                             "partnerského počítače.\n" +
                             kEnd);
  EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Příkaz Send nelze provést, spojení bylo přerušeno\n");
}

TEST(NetCommands, InterruptedReadEndsTheRunAndAskedConnectionIsKept) {
  NetHost h;
  h.Open();
  h.ctx.capture = h.files.CreateCapture("/cap");
  h.sockets.Arrive(10, "partial");
  h.InterruptAt(20);
  h.window.answers = {kIdOk, kIdNo};
  h.Run("Receive 100\nComment never\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ Receive 100\n"
                             "Zahájeno čtení bloku o délce 100 ze socketu\n"
                             "Akce přerušena obsluhou.\n"
                             "V bufferu pro čtení zůstává: partial\n"
                             "Blok dat nelze načíst: Obsluha přerušila akci.\n" +
                             kEnd);
  EXPECT_NE(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Interrupted);

  // The next run goes on with the same connection and reads the same bytes.
  h.ForgetLog();
  h.sockets.Arrive(h.queue.now + 10, "\n\n");
  h.window.answers = {kIdYes};
  h.Run("WaitFor EmptyLine\nSend \"bye\"\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ WaitFor EmptyLine\n"
                             "Zahájeno čtení řádek ze socketu, dokud nenarazím na prázdnou řádku\n"
                             "Načtena řádka partial\\n\n"
                             "Načtena řádka \\n\n" +
                             "Koncová podmínka splněna.\n"
                             "$$ Send \"bye\"\n"
                             "Odesílám řádku bye\n"
                             "Socket zůstal otevřený - ukončuji předchozí spojení.\n"
                             "Spojení ukončeno.\n" +
                             kEnd)
      << h.Boxes();
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
}

TEST(NetCommands, DisconnectTwice) {
  NetHost h;
  h.Open();
  h.Run("Disconnect\nDISCONNECT extra words\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ Disconnect\n"
                             "Ukončuji spojení.\n"
                             "Spojení ukončeno.\n"
                             "$$ DISCONNECT extra words\n"
                             "Disconnect: Spojení již bylo ukončeno dříve.\n" +
                             kEnd);
  EXPECT_EQ(h.window.lower, "Spojení již bylo ukončeno dříve.");
  EXPECT_TRUE(h.window.transcript.empty());
}

TEST(NetCommands, ConnectFailureBoxNamesTheCause) {
  struct Case {
    const char* script;
    std::function<void(NetHost&)> setUp;
    const char* boxes;
    RunOutcome outcome = RunOutcome::Failed;
  };
  const Case cases[] = {
      {"Connect nowhere.invalid 23\n", [](NetHost&) {},
       "[*** CHYBA ***] Pro daný počítač nebyl nalezen záznam DNS\n"
       "[*** CHYBA ***] Příkaz Connect nelze provést, spojení nenavázáno: Pro daný počítač "
       "nebyl nalezen záznam DNS\n"},
      {"Connect 127.0.0.1 9\n",
       [](NetHost& h) {
         h.sockets.connectAnswerMs = -1;
         h.InterruptAt(50);
       },
       "[*** CHYBA ***] Příkaz Connect nelze provést, spojení nenavázáno: Obsluha přerušila "
       "akci.\n",
       RunOutcome::Interrupted},
      {"Accept 80\n", [](NetHost& h) { h.sockets.failBind = true; },
       "[*** CHYBA ***] Nelze použít port\n"
       "[*** CHYBA ***] Příkaz Accept nelze provést, spojení nenavázáno: Nelze použít port\n"},
      {"Accept 80\n", [](NetHost& h) { h.InterruptAt(50); },
       "[*** CHYBA ***] Příkaz Accept nelze provést, spojení nenavázáno: Obsluha přerušila "
       "akci.\n",
       RunOutcome::Interrupted},
  };
  for (const Case& c : cases) {
    NetHost h;
    c.setUp(h);
    h.Run(c.script);
    EXPECT_EQ(h.Boxes(), c.boxes) << c.script;
    EXPECT_EQ(h.ctx.lastOutcome, c.outcome) << c.script;
  }
}

TEST(NetCommands, ConnectDialogPrefillsAndStoresTheProfile) {
  NetHost h;
  h.profile.values["ConnectServer"] = "saved.test";
  h.profile.values["ConnectPort"] = "2121";
  h.sockets.connectAtOnce = true;
  h.window.answers = {kIdOk, kIdYes};
  h.Run("Connect ? 80\n");
  EXPECT_EQ(h.window.transcript.at(0), "[Parametry pro Connect] saved.test 80");
  EXPECT_EQ(h.profile.values["ConnectServer"], "saved.test");
  EXPECT_EQ(h.profile.values["ConnectPort"], "80");

  NetHost g;
  g.profile.values["ConnectPort"] = "2121";
  g.sockets.connectAtOnce = true;
  g.Run("Connect 10.9.8.7 ?\n");
  EXPECT_EQ(g.window.transcript.at(0), "[Parametry pro Connect] 10.9.8.7 2121");
  EXPECT_NE(g.sockets.Calls().find("connect 3 10.9.8.7:2121"), Bytes::npos);
  EXPECT_EQ(g.profile.values["ConnectServer"], "10.9.8.7");
}

TEST(NetCommands, ServerLongerThanTheProfileBufferIsCut) {
  NetHost h;
  h.profile.values["ConnectServer"] = Bytes(200, 'h');
  h.window.answers = {kIdCancel};
  h.Run("Connect ? ?\n");
  EXPECT_EQ(h.window.transcript.at(0), "[Parametry pro Connect] " + Bytes(118, 'h') + " 0");
}

TEST(NetCommands, CancelledDialogsEndTheRunSilently) {
  for (const char* line : {"Connect ? 1", "Accept ?"}) {
    NetHost h;
    h.window.answers = {kIdCancel};
    h.Run(Bytes(line) + "\nComment never\n");
    EXPECT_EQ(h.LogText(), Bytes(kStart) + "$$ " + line + "\n" + kEnd);
    EXPECT_EQ(h.window.transcript.size(), 1u);
    EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Cancelled);
    EXPECT_TRUE(h.sockets.calls.empty());
    EXPECT_TRUE(h.profile.values.empty());
  }
}

TEST(NetCommands, AcceptDialogUsesAndStoresAcceptPort) {
  NetHost h;
  h.profile.values["AcceptPort"] = "6001";
  h.sockets.ClientArrives(10);
  h.Run("Accept ?\n");
  EXPECT_EQ(h.window.transcript.at(0), "[Parametry pro Accept] 6001");
  EXPECT_EQ(h.profile.values["AcceptPort"], "6001");
  EXPECT_NE(h.sockets.Calls().find("bind 3 0.0.0.0:6001"), Bytes::npos);

  NetHost g;
  g.sockets.ClientArrives(10);
  g.Run("Accept 6002\n");
  EXPECT_TRUE(g.profile.values.empty()) << "a number never touches the profile";
}

TEST(NetCommands, ConnectWhileConnectedClosesTheOldConnectionFirst) {
  NetHost h;
  Socket old = h.Open();
  h.Run("Connect 127.0.0.1 8\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ Connect 127.0.0.1 8\n"
                             "Socket zůstal otevřený - ukončuji předchozí spojení.\n"
                             "Spojení ukončeno.\n"
                             "Čekám na připojení k 127.0.0.1, port 8\n"
                             "Spojení navázáno v pořádku.\n"
                             "Socket zůstal otevřený - ukončuji předchozí spojení.\n"
                             "Spojení ukončeno.\n" +
                             kEnd);
  EXPECT_TRUE(h.sockets.IsClosed(old));
}

TEST(NetCommands, StatusLineWhileWaitingAndAfter) {
  NetHost h;
  h.Open();
  std::vector<Bytes> seen;
  h.queue.At(5, [&] { seen.push_back(h.window.lower); });
  h.sockets.Arrive(10, "x\n");
  h.queue.At(15, [&] { seen.push_back(h.window.lower); });
  h.sockets.Arrive(20, "abc");
  h.window.answers = {kIdNo};
  h.Run("WaitFor LineStarting \"x\"\nReceive 3\n");
  EXPECT_EQ(seen, (std::vector<Bytes>{
                      "Čtu řádky ze socketu, dokud nenarazím na řádku začínající textem x",
                      "Čtu blok dat ze socketu"}));
  EXPECT_EQ(h.window.lower, "Blok dat v pořádku načten.");
}

TEST(NetCapture, OutputFileTwiceAndCloseOutputWithoutFile) {
  NetHost h;
  h.Run(
      "OutputFile \"one file.bin\"\n"
      "OutputFile /abs/two.bin\n"
      "CloseOutput\n"
      "CloseOutput\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ OutputFile \"one file.bin\"\n"
                             "Otevírám pro zápis soubor /s/one file.bin\n"
                             "Soubor v pořádku otevřen.\n"
                             "$$ OutputFile /abs/two.bin\n"
                             "Předchozí soubor je dosud otevřen - uzavírám jej.\n"
                             "Soubor uzavřen.\n"
                             "Otevírám pro zápis soubor /abs/two.bin\n"
                             "Soubor v pořádku otevřen.\n"
                             "$$ CloseOutput\n"
                             "Uzavírám soubor pro opis přijímaných dat.\n"
                             "Soubor uzavřen.\n"
                             "$$ CloseOutput\n"
                             "Žádný soubor není otevřen.\n" +
                             kEnd);
  EXPECT_EQ(h.window.lower, "Není co uzavírat");
  EXPECT_TRUE(h.files.files.count("/s/one file.bin"));
  EXPECT_TRUE(h.files.files.count("/abs/two.bin"));
}

TEST(NetCapture, FileNameIsRelativeToTheCallingScriptAndTruncated) {
  NetHost h;
  h.files.files["/s/sub/cap.txt"] = "old contents";
  h.files.files["/s/sub/called.tvl"] = "OutputFile cap.txt\n";
  h.Run("Call sub/called.tvl\n");
  EXPECT_NE(h.LogText().find("Otevírám pro zápis soubor /s/sub/cap.txt\n"), Bytes::npos)
      << h.LogText() << h.Boxes();
  EXPECT_EQ(h.files.files["/s/sub/cap.txt"], "");
}

TEST(NetCapture, FileThatCannotBeCreatedEndsTheRunAndAnOldOneIsClosedFirst) {
  NetHost h;
  h.files.locked.insert("/s/missing/cap.txt");
  h.Run("OutputFile ok.txt\nOutputFile missing/cap.txt\nComment never\n");
  EXPECT_EQ(h.LogText(), Bytes(kStart) +
                             "$$ OutputFile ok.txt\n"
                             "Otevírám pro zápis soubor /s/ok.txt\n"
                             "Soubor v pořádku otevřen.\n"
                             "$$ OutputFile missing/cap.txt\n"
                             "Předchozí soubor je dosud otevřen - uzavírám jej.\n"
                             "Soubor uzavřen.\n"
                             "Otevírám pro zápis soubor /s/missing/cap.txt\n"
                             "Soubor nelze vytvořit pro zápis !\n" +
                             kEnd);
  EXPECT_EQ(h.Boxes(), "[*** CHYBA ***] Nelze otevřít soubor\n");
  EXPECT_EQ(h.window.lower, "Soubor nelze otevřít pro zápis");
  EXPECT_FALSE(h.ctx.capture);
}

TEST(NetCapture, LeftOpenAfterTheRunIsClosedByTheRunButton) {
  NetHost h;
  h.files.files["/s/main.tvl"] = "OutputFile c.bin\n";
  h.window.scriptName = "/s/main.tvl";
  h.ctx.running = false;
  RunButtonClicked(h.ctx);
  EXPECT_FALSE(h.ctx.capture);
  const Bytes log = h.LogText();
  const Bytes tail = Bytes(kEnd) + "Soubor pro opisování dat zůstal otevřen - uzavírám jej.\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

}  // namespace
}  // namespace tv::test
