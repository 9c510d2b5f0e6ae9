#include <gtest/gtest.h>

#include "net/receive.h"
#include "support/fake_sockets.h"

namespace tv::test {
namespace {

// The handshake's options as the command hands them to the sockets: the
// name or address from Connect, the words, files from the script's folder.
TEST(NetStartTls, ClientOptionsFromConnectAndWords) {
  struct Case {
    const char* script;
    const char* call;
  } cases[] = {
      {"Connect mail.example 25\nStartTls\n",
       "starttls 3 client name=mail.example address= trust="},
      {"Connect 10.0.0.1 25\nStartTls Trust ca.pem\n",
       "starttls 3 client name= address=10.0.0.1 trust=/s/ca.pem"},
      {"Connect 10.0.0.1 25\nStartTls name \"other name\" NOVERIFY trust sub/ca.pem\n",
       "starttls 3 client name=other name address= trust=/s/sub/ca.pem noverify"},
      {"Connect 010.0.0.1 25\nStartTls Trust /etc/ca.pem\n",
       "starttls 3 client name= address=10.0.0.1 trust=/etc/ca.pem"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    NetHost h;
    h.sockets.connectAtOnce = true;
    h.sockets.hosts["mail.example"] = {Ip(10, 0, 0, 1)};
    h.sockets.tlsSteps = {TlsStatus::Done};
    h.Run(c.script);
    ASSERT_EQ(h.ctx.lastOutcome, RunOutcome::Normal) << h.LogText() << h.Boxes();
    bool found = false;
    for (const Bytes& call : h.sockets.calls) found = found || call == c.call;
    EXPECT_TRUE(found) << h.sockets.Calls();
  }
}

TEST(NetStartTls, ServerTakesCertAndQuotedPassword) {
  NetHost h;
  h.sockets.ClientArrives(10);
  h.sockets.tlsSteps = {TlsStatus::Pending, TlsStatus::Pending, TlsStatus::Done};
  h.sockets.Notify(20, kFdRead);
  h.sockets.Notify(30, kFdRead);
  h.Run("Accept 443\nStartTls CERT keys/server.p12 \"tajné heslo\"\n");
  ASSERT_EQ(h.ctx.lastOutcome, RunOutcome::Normal) << h.LogText() << h.Boxes();
  EXPECT_EQ(h.sockets.tlsOptions.role, TlsRole::Server);
  EXPECT_EQ(h.sockets.tlsOptions.certFile, "/s/keys/server.p12");
  EXPECT_EQ(h.sockets.tlsOptions.password, "tajné heslo");
  // One step for each notification, none without one.
  int steps = 0;
  for (const Bytes& call : h.sockets.calls) steps += call.rfind("tlsstep", 0) == 0;
  EXPECT_EQ(steps, 2);
  EXPECT_NE(h.LogText().find("Spojení TLS navázáno: TLSv1.3, šifra TLS_AES_128_GCM_SHA256\n"),
            Bytes::npos);
}

TEST(NetStartTls, SecondStartTlsIsRefusedAndANewConnectionStartsPlain) {
  NetHost h;
  h.sockets.connectAtOnce = true;
  h.sockets.tlsSteps = {TlsStatus::Done};
  h.Run("Connect 10.0.0.1 25\nStartTls NoVerify\nStartTls NoVerify\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
  EXPECT_NE(h.Boxes().find("Spojení již používá TLS"), Bytes::npos);
  EXPECT_NE(h.LogText().find("StartTls nelze provést, spojení již používá TLS.\n"), Bytes::npos);

  h.window.answers = {kIdNo};
  h.sockets.tlsSteps = {TlsStatus::Done};
  h.Run("Connect 10.0.0.1 25\n");
  EXPECT_EQ(h.ctx.tls, nullptr);
}

// A failed handshake leaves nothing usable: the connection is closed, and
// the commands after it find none.
TEST(NetStartTls, FailureClosesTheConnection) {
  NetHost h;
  h.sockets.connectAtOnce = true;
  h.sockets.tlsSteps = {TlsStatus::Pending, TlsStatus::Failed};
  h.sockets.tlsError = TlsError{TlsFailure::NotTrusted, "certificate has expired"};
  h.sockets.Notify(10, kFdRead);
  h.Run("Connect 10.0.0.1 25\nStartTls\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
  EXPECT_EQ(ConnectionId(h.ctx), kInvalidSocket);
  EXPECT_EQ(h.ctx.tls, nullptr);
  EXPECT_TRUE(h.sockets.IsClosed(3));
  EXPECT_NE(h.LogText().find("TLS nelze navázat: certifikát partnera není důvěryhodný "
                             "(certificate has expired)\nSpojení ukončeno.\n"),
            Bytes::npos)
      << h.LogText();
  EXPECT_EQ(h.Boxes(),
            "[*** CHYBA ***] Příkaz StartTls nelze provést, TLS nenavázáno: certifikát partnera "
            "není důvěryhodný\n");
}

// The end of the peer's data as the TLS stream tells it: cut without the close
// alert, the read fails with the stream's own words; with it, the peer closed.
TEST(NetStartTls, EndOfDataAsTheTlsStreamTellsIt) {
  for (const bool cut : {true, false}) {
    SCOPED_TRACE(cut ? "cut" : "close alert");
    NetHost h;
    h.sockets.connectAtOnce = true;
    h.sockets.tlsSteps = {TlsStatus::Done};
    if (cut) h.sockets.tlsFault = TlsError{TlsFailure::Truncated, "unexpected eof while reading"};
    h.window.answers = {kIdNo};  // the connection stays open after the script
    h.Run("Connect 10.0.0.1 25\nStartTls\n");
    ASSERT_NE(h.ctx.tls, nullptr) << h.LogText() << h.Boxes();
    h.ForgetLog();
    h.ctx.running = true;
    h.sockets.Arrive(10, "abc");
    h.sockets.PeerCloses(20);
    EXPECT_FALSE(ReadUntil(h.ctx, '\n'));
    EXPECT_EQ(h.ctx.tls, nullptr);
    EXPECT_TRUE(h.sockets.IsClosed(3));
    const Bytes first = h.LogText().substr(0, h.LogText().find('\n') + 1);
    if (cut) {
      EXPECT_STREQ(h.ctx.failureReason, kReasonTlsBroken);
      EXPECT_EQ(first,
                "Spojení TLS porušeno: spojení skončilo bez zprávy close_notify "
                "(unexpected eof while reading)\n");
    } else {
      EXPECT_STREQ(h.ctx.failureReason, kReasonPeerClosed);
      EXPECT_EQ(first, "Ukončení spojení ze strany partnerského počítače.\n");
    }
    EXPECT_NE(h.LogText().find("abc"), Bytes::npos) << h.LogText();
  }
}

// A Timeout with a label ends the handshake and jumps: the run goes on
// without the connection.
TEST(NetStartTls, TimeLimitWithLabelJumpsWithoutTheConnection) {
  NetHost h;
  h.sockets.connectAtOnce = true;
  h.Run(
      "Connect 10.0.0.1 25\nTimeout 100 slow\nStartTls\nComment not reached\n"
      "Label slow\nSend \"x\"\n");
  EXPECT_EQ(h.ctx.lastOutcome, RunOutcome::Failed);
  EXPECT_EQ(h.queue.now, 100);
  const Bytes log = h.LogText();
  EXPECT_NE(log.find("TLS nelze navázat: Vypršel časový limit.\nSpojení ukončeno.\n"
                     "Vypršel časový limit 100 ms.\n"),
            Bytes::npos)
      << log;
  EXPECT_EQ(log.find("not reached"), Bytes::npos);
  EXPECT_NE(log.find("Send nelze provést, spojení není otevřené.\n"), Bytes::npos);
}

}  // namespace
}  // namespace tv::test
