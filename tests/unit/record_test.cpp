// The recorder's scripts, made from recordings put together here: what each
// kind of data becomes in the script that sends it and in the one that waits
// for it, how the scripts end, and the recording's own storage.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "engine/pattern.h"
#include "engine/tokenizer.h"
#include "record/generate.h"
#include "record/program.h"
#include "record/recording.h"
#include "record/relay.h"

namespace tv::record {
namespace {

using Lines = std::vector<std::string>;

struct Scripts {
  std::string client;
  std::string server;
};

Scripts Make(Recording& rec, Match match = Match::Shape, bool timing = false, int timeout = 10000) {
  ScriptSettings settings;
  settings.match = match;
  settings.timing = timing;
  settings.timeoutMs = timeout;
  settings.server = "127.0.0.1";
  settings.port = "6379";
  settings.when = "2026-12-09 22:00:00 UTC";
  StringOutput client, server;
  WriteScripts(rec, settings, client, server);
  return {client.Text(), server.Text()};
}

// The script's commands after its comments and Timeout, each without CR LF.
Lines Body(const std::string& script) {
  Lines lines;
  size_t at = 0;
  while (at < script.size()) {
    const size_t end = script.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << "a line without CR LF";
    if (end == std::string::npos) break;
    const std::string line = script.substr(at, end - at);
    at = end + 2;
    if (line.rfind("//", 0) == 0 || line.rfind("Timeout ", 0) == 0 ||
        line.rfind("Connect ", 0) == 0)
      continue;
    lines.push_back(line);
  }
  return lines;
}

void Text(Recording& rec, Side side, uint64_t ms, const std::string& data) {
  rec.Data(side, ms, data.data(), data.size());
}

TEST(RecordScripts, HeadersEncodingAndLineEnds) {
  Recording rec;
  Text(rec, Side::Client, 0, "PING\r\n");
  Text(rec, Side::Server, 1, "+PONG \xe8\xc4\x8d\r\n");
  rec.Close(Side::Client, 2, false);
  rec.Close(Side::Server, 3, false);
  const Scripts s = Make(rec);
  EXPECT_EQ(s.client.rfind("Connect 127.0.0.1 6379\r\n", 0), 0u);
  EXPECT_NE(s.client.find("\r\nTimeout 10000\r\n"), std::string::npos);
  EXPECT_NE(s.server.find("tarvelin -a 6379 server.tvl"), std::string::npos);
  EXPECT_NE(s.client.find("2026-12-09 22:00:00 UTC"), std::string::npos);
  // The comments are Czech in Windows-1250; a line of commands is ASCII (high
  // bytes are escapes). CR LF only.
  EXPECT_NE(s.client.find("\r\n// Záznam programu tarvelin-record z 2026-12-09 22:00:00 UTC: "
                          "rozhovor se serverem 127.0.0.1, port 6379;\r\n"),
            std::string::npos);
  EXPECT_NE(s.server.find("\r\n// Tento script posílá přesně to, co poslal server.\r\n"),
            std::string::npos);
  for (const std::string* text : {&s.client, &s.server}) {
    bool comment = false;
    for (size_t i = 0; i < text->size(); ++i) {
      const unsigned char c = static_cast<unsigned char>((*text)[i]);
      if (i == 0 || (*text)[i - 1] == '\n') comment = text->compare(i, 2, "//") == 0;
      EXPECT_TRUE(c < 0x80 || comment) << "byte " << int(c) << " at " << i;
      if (c == '\n') {
        EXPECT_TRUE(i > 0 && (*text)[i - 1] == '\r');
      }
      if (c == '\r') {
        EXPECT_TRUE(i + 1 < text->size() && (*text)[i + 1] == '\n');
      }
    }
  }
  EXPECT_EQ(Body(s.client), (Lines{"Send \"PING\" cr lf",
                                   "WaitFor ExactMatch \"+PONG \\232\\196\\141\"", "Disconnect"}));
  EXPECT_EQ(Body(s.server), (Lines{"WaitFor ExactMatch \"PING\"",
                                   "Send \"+PONG \\232\\196\\141\" cr lf", "WaitFor End"}));
  // Taken on IPv6, the run line names the address (-a PORT alone is IPv4).
  ScriptSettings six;
  six.server = "::1";
  six.port = "8080";
  six.listenAddress = "::1";
  StringOutput client6, server6;
  WriteScripts(rec, six, client6, server6);
  EXPECT_EQ(client6.Text().rfind("Connect ::1 8080\r\n", 0), 0u);
  for (const std::string& text : {client6.Text(), server6.Text()})
    EXPECT_NE(text.find("tarvelin -a 8080 ::1 server.tvl\r\n"), std::string::npos) << text;
  // Without a limit there is no Timeout line.
  Recording quiet;
  Text(quiet, Side::Client, 0, "x\n");
  EXPECT_EQ(Make(quiet, Match::Shape, false, 0).client.find("Timeout"), std::string::npos);
}

TEST(RecordScripts, QuoteGivesBackEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  all += "\\0662\"";  // an escape followed by digits, a quote at the end
  const std::string quoted = Quote(all);
  size_t pos = 0;
  Bytes word;
  ASSERT_TRUE(GetNextWord(quoted, pos, word, false, false));
  EXPECT_EQ(pos, quoted.size());
  EXPECT_EQ(word, "\"" + all + "\"");
}

TEST(RecordScripts, TextLinesEachWay) {
  Recording rec;
  Text(rec, Side::Client, 0, "GET / HTTP/1.1\r\nHost: 127.0.0.1:40001\r\n\r\n");
  Text(rec, Side::Server, 5, "HTTP/1.1 200 OK\r\nDate: Wed, 09 Dec 2026 21:55:07 GMT\r\n");
  Text(rec, Side::Server, 6, "Content-Length: 3\r\n\r\nhi\n");
  rec.Close(Side::Server, 7, false);
  rec.Close(Side::Client, 8, false);
  const Scripts shape = Make(rec);
  EXPECT_EQ(
      Body(shape.client),
      (Lines{
          "Send \"GET / HTTP/1.1\" cr lf", "Send \"Host: 127.0.0.1:40001\" cr lf", "Send cr lf",
          "WaitFor Matching \"^HTTP/[0-9]+\\\\.[0-9]+ [0-9]+ OK$\"",
          "WaitFor Matching \"^Date: [A-Z][a-z]+, [0-9]+ [A-Z][a-z]+ [0-9]+ [0-9]+:[0-9]+:[0-9]+ "
          "GMT$\"",
          "WaitFor Matching \"^Content-Length: [0-9]+$\"", "WaitFor EmptyLine",
          "WaitFor ExactMatch \"hi\"", "WaitFor End"}));
  EXPECT_EQ(
      Body(shape.server),
      (Lines{"WaitFor Matching \"^GET / HTTP/[0-9]+\\\\.[0-9]+$\"",
             "WaitFor Matching \"^Host: [0-9]+\\\\.[0-9]+\\\\.[0-9]+\\\\.[0-9]+:[0-9]+$\"",
             "WaitFor EmptyLine", "Send \"HTTP/1.1 200 OK\" cr lf",
             "Send \"Date: Wed, 09 Dec 2026 21:55:07 GMT\" cr lf",
             "Send \"Content-Length: 3\" cr lf", "Send cr lf", "Send \"hi\" lf", "Disconnect"}));
  const Lines exact = Body(Make(rec, Match::Exact).client);
  EXPECT_EQ(exact[3], "WaitFor ExactMatch \"HTTP/1.1 200 OK\"");
  EXPECT_EQ(exact[4], "WaitFor ExactMatch \"Date: Wed, 09 Dec 2026 21:55:07 GMT\"");
  EXPECT_EQ(exact[6], "WaitFor EmptyLine");
  const Lines count = Body(Make(rec, Match::Count).client);
  EXPECT_EQ(
      Lines(count.begin() + 3, count.end()),
      (Lines{"SkipTo lf", "SkipTo lf", "SkipTo lf", "SkipTo lf", "SkipTo lf", "WaitFor End"}));
}

TEST(RecordScripts, BinaryPieces) {
  Recording rec;
  Text(rec, Side::Client, 0, std::string("\x10\x0c\x00\x04MQTT\x04\x02\x00\x3c\x00\x00", 14));
  Text(rec, Side::Server, 1, std::string("\x20\x02\x00\x00", 4));
  // 5000 bytes without a line end: more than one Receive takes.
  std::string big;
  for (int i = 0; i < 5000; ++i) big += static_cast<char>(i * 7 + 1);
  big[100] = '\n';  // a "line" of control bytes is binary too
  Text(rec, Side::Server, 2, big);
  const Scripts s = Make(rec, Match::Exact);
  EXPECT_EQ(Body(s.client), (Lines{"Send \"\\016\\012\\000\\004MQTT\\004\\002\\000<\\000\\000\"",
                                   "Receive 4096", "Receive 908", "Disconnect"}));
  const Lines server = Body(s.server);
  EXPECT_EQ(server[0], "Receive 14");
  // The server's reply is one piece: its first Send line holds 32 bytes.
  EXPECT_EQ(server[1].rfind("Send \" \\002\\000\\000\\001\\008", 0), 0u) << server[1];
}

TEST(RecordScripts, SendSlicesGiveTheBytes) {
  Recording rec;
  std::string big;
  for (int i = 0; i < 5000; ++i) big += static_cast<char>(i * 7 + 1);
  Text(rec, Side::Server, 0, big);
  const Lines server = Body(Make(rec).server);
  std::string sent;
  for (const std::string& line : server) {
    if (line.rfind("Send ", 0) != 0) continue;
    size_t pos = 5;
    Bytes word;
    ASSERT_TRUE(GetNextWord(line, pos, word, false, false));
    ASSERT_EQ(pos, line.size()) << line;
    sent += word.substr(1, word.size() - 2);
  }
  EXPECT_EQ(sent, big);
}

TEST(RecordScripts, PartialLinesAndLongLines) {
  Recording rec;
  Text(rec, Side::Server, 0, "login: ");
  Text(rec, Side::Client, 1, "karel\n");
  Text(rec, Side::Server, 2, "Session 4711> ");
  Text(rec, Side::Client, 3, std::string(5000, 'a') + "\n");
  const Scripts shape = Make(rec);
  const Lines client = Body(shape.client);
  EXPECT_EQ(Lines(client.begin(), client.begin() + 8),
            (Lines{"Receive 7", "TestLine ExactMatch \"login: \"", "IfNotDef TRUE Fail",
                   "Send \"karel\" lf", "Receive 14", "TestLine Matching \"^Session [0-9]+> $\"",
                   "IfNotDef TRUE Fail", "Send \"" + std::string(32, 'a') + "\""}));
  const Lines server = Body(shape.server);
  EXPECT_EQ(server[0], "Send \"login: \"");
  EXPECT_EQ(server[1], "WaitFor ExactMatch \"karel\"");
  EXPECT_EQ(server[2], "Send \"Session 4711> \"");
  // A line longer than the receive buffer is read as bytes.
  EXPECT_EQ(Lines(server.begin() + 3, server.end()),
            (Lines{"Receive 4096", "Receive 905", "Disconnect"}));
  EXPECT_EQ(Body(Make(rec, Match::Count).client)[1], "Send \"karel\" lf");
  EXPECT_EQ(Body(Make(rec, Match::Count).client)[0], "Receive 7");
}

TEST(RecordScripts, ShapesOfWords) {
  EXPECT_EQ(ShapeOf("ETag: \"6936a1b2-267\"").pattern, "^ETag: \"[0-9A-Fa-f]+-[0-9]+\"$");
  EXPECT_EQ(ShapeOf("id 0x1F and 12345678").pattern, "^id 0x[0-9A-Fa-f]+ and [0-9A-Fa-f]+$");
  EXPECT_EQ(ShapeOf("x86_64 v2").pattern, "^x[0-9]+_[0-9]+ v[0-9]+$");
  EXPECT_EQ(ShapeOf("Tuesday, 1 March").pattern, "^[A-Z][a-z]+, [0-9]+ [A-Z][a-z]+$");
  const Shape plain = ShapeOf("a.b(c)*[d]{e}|f?^$\\ add");
  EXPECT_FALSE(plain.variable);
  EXPECT_EQ(plain.pattern, "^a\\.b\\(c\\)\\*\\[d\\]\\{e\\}\\|f\\?\\^\\$\\\\ add$");
  EXPECT_EQ(ShapeOf("250-mail.example Hello [127.0.0.1]").prefix, "");
  EXPECT_EQ(ShapeOf("OK 17 items").prefix, "OK ");
  // Every shape matches its own line, and the line with other digits.
  for (const char* line : {"Date: Thu, 10 Dec 2026 01:02:03 GMT", "a.b(c) 12 ff00aa",
                           "Last-Modified: Mon, 30 Nov 2026 10:00:00 GMT"}) {
    Pattern p;
    Bytes reason;
    ASSERT_TRUE(p.Compile(ShapeOf(line).pattern, reason)) << line << ": " << reason;
    EXPECT_TRUE(p.Search(line, std::string(line).size())) << line;
  }
  Pattern date;
  Bytes reason;
  ASSERT_TRUE(date.Compile(ShapeOf("Date: Wed, 09 Dec 2026 21:55:07 GMT").pattern, reason));
  const std::string later = "Date: Fri, 1 Jan 2027 00:00:59 GMT";
  EXPECT_TRUE(date.Search(later.data(), later.size()));
}

TEST(RecordScripts, LongVariableLinesFallBack) {
  Recording rec;
  std::string line = "X:";
  for (int i = 0; i < 300; ++i) line += " " + std::to_string(i);
  Text(rec, Side::Server, 0, line + "\r\n");
  Text(rec, Side::Server, 0, "1" + line + "\r\n");
  const Lines client = Body(Make(rec).client);
  EXPECT_EQ(client[0], "WaitFor LineStarting \"X: \"");
  EXPECT_EQ(client[1], "SkipTo lf");
}

TEST(RecordScripts, EndingsAndResets) {
  Recording clientFirst;
  Text(clientFirst, Side::Client, 0, "QUIT\r\n");
  clientFirst.Close(Side::Client, 1, false);
  Text(clientFirst, Side::Server, 2, "+OK\r\n");
  clientFirst.Close(Side::Server, 3, false);
  Scripts s = Make(clientFirst);
  EXPECT_EQ(Body(s.client).back(), "Disconnect");
  EXPECT_EQ(Body(s.server),
            (Lines{"WaitFor ExactMatch \"QUIT\"", "Send \"+OK\" cr lf", "WaitFor End"}));

  Recording serverReset;
  Text(serverReset, Side::Client, 0, "x\n");
  serverReset.Close(Side::Server, 1, true);
  serverReset.Close(Side::Client, 2, false);  // a side closes once: the second is dropped
  serverReset.Close(Side::Server, 3, false);
  EXPECT_EQ(serverReset.Ending(Side::Server), EventKind::Reset);
  s = Make(serverReset);
  EXPECT_NE(s.client.find("// Zde server ukončil spojení resetem.\r\nWaitFor End\r\n"),
            std::string::npos);
  EXPECT_NE(s.server.find("// Zde server ukončil spojení resetem.\r\nDisconnect\r\n"),
            std::string::npos);
}

TEST(RecordScripts, TimingAddsWaitsAndSplitsPieces) {
  Recording rec;
  Text(rec, Side::Server, 250, "220 ready\r\n");
  Text(rec, Side::Client, 300, "HELO x\r\n");     // 50 ms: no Wait
  Text(rec, Side::Server, 700, "250 ok\r\n");     // 400 ms
  Text(rec, Side::Server, 1900, "250 more\r\n");  // 1200 ms later, same side
  rec.Close(Side::Client, 2500, false);           // 600 ms
  rec.Close(Side::Server, 2501, false);
  const Scripts timed = Make(rec, Match::Exact, true);
  EXPECT_EQ(
      Body(timed.server),
      (Lines{"Wait 250", "Send \"220 ready\" cr lf", "WaitFor ExactMatch \"HELO x\"", "Wait 400",
             "Send \"250 ok\" cr lf", "Wait 1200", "Send \"250 more\" cr lf", "WaitFor End"}));
  EXPECT_EQ(Body(timed.client),
            (Lines{"WaitFor ExactMatch \"220 ready\"", "Send \"HELO x\" cr lf",
                   "WaitFor ExactMatch \"250 ok\"", "WaitFor ExactMatch \"250 more\"", "Wait 600",
                   "Disconnect"}));
  EXPECT_EQ(Body(Make(rec, Match::Exact, false).client).size(), 5u);
}

TEST(RecordStorage, SpilledEventsComeBackInOrder) {
  for (bool spill : {true, false}) {
    Recording rec(spill);
    std::string big(3 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i);
    rec.Data(Side::Client, 5, big.data(), big.size());
    rec.Data(Side::Server, 9, "", 0);  // nothing: no event
    rec.Data(Side::Server, 10, "ab", 2);
    rec.Close(Side::Client, 11, true);
    EXPECT_EQ(rec.Bytes(Side::Client), big.size());
    rec.Rewind();
    Event e;
    std::string back;
    int events = 0;
    while (rec.Next(e) && e.side == Side::Client && e.kind == EventKind::Data) {
      EXPECT_EQ(e.ms, 5u);
      EXPECT_LE(e.data.size(), size_t{1} << 20);
      back += e.data;
      ++events;
    }
    EXPECT_EQ(back, big);
    EXPECT_EQ(events, 3);
    EXPECT_EQ(e.side, Side::Server);
    EXPECT_EQ(e.data, "ab");
    ASSERT_TRUE(rec.Next(e));
    EXPECT_EQ(e.kind, EventKind::Reset);
    EXPECT_EQ(e.ms, 11u);
    EXPECT_FALSE(rec.Next(e));
    EXPECT_TRUE(rec.Good());
  }
}

TEST(RecordOptions, CommandLine) {
  Options o;
  Bytes error;
  ASSERT_TRUE(ParseOptions({"-l", "[::1]:8080", "--match=exact", "--timing", "--timeout", "500",
                            "--client-script", "c.tvl", "localhost", "80"},
                           o, error))
      << error;
  EXPECT_EQ(o.plan.listenAddress, "::1");
  EXPECT_EQ(o.plan.listenPort, 8080);
  EXPECT_EQ(o.settings.match, Match::Exact);
  EXPECT_TRUE(o.settings.timing);
  EXPECT_EQ(o.settings.timeoutMs, 500);
  EXPECT_EQ(o.plan.acceptMs, 500);
  EXPECT_EQ(o.settings.clientFile, "c.tvl");
  EXPECT_EQ(o.settings.serverFile, "server.tvl");
  EXPECT_EQ(o.plan.server, "localhost");
  EXPECT_EQ(o.plan.port, 80);
  EXPECT_EQ(o.settings.listenAddress, "::1");

  // A bracketed IPv6 server: looked up bare, written as given.
  Options b;
  ASSERT_TRUE(ParseOptions({"[::1]", "80"}, b, error)) << error;
  EXPECT_EQ(b.plan.server, "::1");
  EXPECT_EQ(b.settings.server, "[::1]");
  EXPECT_EQ(b.settings.listenAddress, "127.0.0.1");

  Options d;
  ASSERT_TRUE(ParseOptions({"-l5000", "h", "1"}, d, error));
  EXPECT_EQ(d.plan.listenAddress, "127.0.0.1");
  EXPECT_EQ(d.plan.listenPort, 5000);
  EXPECT_EQ(d.plan.acceptMs, 0);  // no limit on the client unless --timeout is given
  EXPECT_EQ(d.settings.timeoutMs, 10000);
  EXPECT_EQ(d.settings.match, Match::Shape);

  for (const std::vector<std::string>& wrong :
       std::vector<std::vector<std::string>>{{"h"},
                                             {"h", "80", "x"},
                                             {"h", "0"},
                                             {"h", "65536"},
                                             {"--match", "fuzzy", "h", "1"},
                                             {"--timeout", "-1", "h", "1"},
                                             {"--timeout", "99999999999", "h", "1"},
                                             {"-l", "1.2.3.4:", "h", "1"},
                                             {"-l", "::1:80", "h", "1"},
                                             {"--frobnicate", "h", "1"},
                                             {"h", "1", "--timeout"}}) {
    Options w;
    EXPECT_FALSE(ParseOptions(wrong, w, error)) << wrong[0];
    EXPECT_FALSE(error.empty());
  }
}

// The relay's passing over two links played here: what each side sends
// comes in pieces, then its end; a link takes at most `takes` bytes a round;
// a link's hang-up is told as the system's poll tells it: once both its
// halves are closed, or when it was reset after its close.
class PlayedLinks : public Links {
 public:
  struct End {
    std::deque<std::string> pieces;
    bool resets = false;            // instead of an orderly close
    bool resetsAfterClose = false;  // an orderly close, then a reset
    bool holds = false;             // after its pieces it says nothing, and stays
    size_t takes = 1 << 20;         // bytes a round
    std::string got;                // what the relay sent to it
    bool closedToward = false;      // the relay closed its half towards it
    bool reset = false;             // the relay reset it
    bool closed = false;            // its close has been read
  };
  End ends[2];
  size_t mostHeld = 0;  // the most bytes on their way at once
  int rounds = 0;

  bool Wait(const Want want[2], Ready ready[2], std::string& detail) override {
    if (++rounds > 100000) {
      detail = "no end";
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      End& e = ends[i];
      budget_[i] = e.takes;
      ready[i].read = want[i].read && !e.closed && !(e.holds && e.pieces.empty());
      const bool hangUp = (e.closed && e.closedToward) || (e.closed && e.resetsAfterClose);
      ready[i].reset = want[i].reset && hangUp;
    }
    return true;
  }
  Io Receive(Side side, char* data, size_t size, size_t& got, std::string&) override {
    End& e = ends[static_cast<int>(side)];
    if (e.pieces.empty()) {
      if (e.holds) return Io::Later;
      if (e.resets) return Io::Reset;
      e.closed = true;
      return Io::Closed;
    }
    std::string& piece = e.pieces.front();
    got = std::min(size, piece.size());
    piece.copy(data, got);
    piece.erase(0, got);
    if (piece.empty()) e.pieces.pop_front();
    received_[static_cast<int>(side)] += got;
    Held();
    return Io::Moved;
  }
  Io Send(Side side, const char* data, size_t size, size_t& put) override {
    const int i = static_cast<int>(side);
    if (ends[i].reset || (ends[i].closed && ends[i].resetsAfterClose)) return Io::Reset;
    put = std::min(size, budget_[i]);
    if (put == 0) return Io::Later;
    budget_[i] -= put;
    ends[i].got.append(data, put);
    return Io::Moved;
  }
  void EndSending(Side side) override { ends[static_cast<int>(side)].closedToward = true; }
  void Reset(Side side) override { ends[static_cast<int>(side)].reset = true; }

 private:
  void Held() {
    const size_t held = received_[0] - ends[1].got.size() + received_[1] - ends[0].got.size();
    mostHeld = std::max(mostHeld, held);
  }
  size_t budget_[2] = {0, 0};
  size_t received_[2] = {0, 0};
};

class SilentReport : public RelayReport {
 public:
  void Listening(const std::string&, unsigned) override {}
  void ClientCame(const std::string&, unsigned) override {}
  void Connected(const std::string&, unsigned) override {}
  void Reset(Side side) override { resets.push_back(side); }
  std::vector<Side> resets;
};

TEST(RecordRelay, BothHalvesClosedWhileBytesAreHeldIsNoReset) {
  // The client closes at once; the server's 3 MB go to a client that takes
  // 4 KiB a round, so the server's link has both halves closed long before
  // the relay has passed everything on.
  PlayedLinks links;
  links.ends[0].pieces = {"GET\r\n"};
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  for (size_t at = 0; at < big.size(); at += 100000)
    links.ends[1].pieces.push_back(big.substr(at, 100000));
  links.ends[0].takes = 4096;
  Recording rec(false);
  SilentReport report;
  std::string detail;
  EXPECT_EQ(Pass(links, rec, report, detail, std::chrono::steady_clock::now()), RelayEnd::Done)
      << detail;
  EXPECT_TRUE(links.ends[0].got == big) << links.ends[0].got.size() << " of " << big.size();
  EXPECT_EQ(links.ends[1].got, "GET\r\n");
  EXPECT_TRUE(links.ends[0].closedToward && links.ends[1].closedToward);
  EXPECT_FALSE(links.ends[0].reset || links.ends[1].reset);
  EXPECT_TRUE(report.resets.empty());
  EXPECT_EQ(rec.Ending(Side::Server), EventKind::Close);
  EXPECT_EQ(rec.Bytes(Side::Server), big.size());
  // What is on its way stays bounded: the relay's buffer and one read.
  EXPECT_LE(links.mostHeld, size_t{(256 + 64) * 1024});
}

TEST(RecordRelay, ResetsArePassedOnAlsoAfterAClose) {
  for (bool afterClose : {false, true}) {
    PlayedLinks links;
    links.ends[0].pieces = {"quit\r\n"};
    links.ends[0].resets = !afterClose;
    links.ends[0].resetsAfterClose = afterClose;
    links.ends[1].holds = true;
    Recording rec(false);
    SilentReport report;
    std::string detail;
    EXPECT_EQ(Pass(links, rec, report, detail, std::chrono::steady_clock::now()), RelayEnd::Done)
        << detail;
    EXPECT_EQ(links.ends[1].got, "quit\r\n") << afterClose;
    EXPECT_TRUE(links.ends[1].reset) << afterClose;
    EXPECT_EQ(report.resets, std::vector<Side>{Side::Client}) << afterClose;
    // A side closes once in the recording: a reset after the close is
    // passed on, the close stays.
    EXPECT_EQ(rec.Ending(Side::Client), afterClose ? EventKind::Close : EventKind::Reset);
    EXPECT_LT(links.rounds, 100) << afterClose;
  }
}

}  // namespace
}  // namespace tv::record
