// The TLS layer of the Windows program: the certificate names, the files it
// refuses, and the handshake's notifications over a loopback connection
// whose theirs end the test plays with plain sockets.
#include "win32/winapi.h"

#include <gtest/gtest.h>

#include <string>

#include "win32/sockets.h"
#include "win32/text.h"
#include "win32/tls.h"

using tv::Bytes;
using namespace tv::win;

namespace {

TEST(Tls, CertificateNamesMatchWholeLabelsWithoutCase) {
  EXPECT_TRUE(CertificateNameMatches("localhost", "LocalHost"));
  EXPECT_TRUE(CertificateNameMatches("www.example.com", "www.example.com."));
  EXPECT_TRUE(!CertificateNameMatches("www.example.com", "example.com"));
  EXPECT_TRUE(!CertificateNameMatches("example.com", "www.example.com"));
  EXPECT_TRUE(!CertificateNameMatches("", ""));
  // A wildcard is one whole first label, of a name with two more.
  EXPECT_TRUE(CertificateNameMatches("*.example.com", "Mail.Example.com"));
  EXPECT_TRUE(!CertificateNameMatches("*.example.com", "example.com"));
  EXPECT_TRUE(!CertificateNameMatches("*.example.com", "a.b.example.com"));
  EXPECT_TRUE(!CertificateNameMatches("*.example.com", ".example.com"));
  EXPECT_TRUE(!CertificateNameMatches("*.com", "example.com"));
  EXPECT_TRUE(!CertificateNameMatches("w*.example.com", "www.example.com"));
  EXPECT_TRUE(!CertificateNameMatches("*.*.example.com", "a.b.example.com"));
}

std::wstring Folder() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  std::wstring folder =
      std::wstring(base) + L"tvtls" + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

Bytes FileWith(const char* name, const Bytes& content) {
  const std::wstring path = Folder() + ToWide(name);
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(f);
  return FromWide(path);
}

tv::TlsFailure FailureOf(const tv::TlsOptions& options, Bytes* reason = nullptr) {
  tv::TlsError error;
  std::unique_ptr<TlsChannel> channel = TlsChannel::Create(options, error);
  if (channel) return tv::TlsFailure::None;
  EXPECT_TRUE(error.reason.find('\n') == Bytes::npos);
  if (reason) *reason = error.reason;
  return error.failure;
}

TEST(Tls, FilesThatCannotBeUsedFailBeforeAnyHandshake) {
  tv::TlsOptions client;
  client.serverName = "localhost";
  client.trustFile = FromWide(Folder()) + "chybí.pem";
  Bytes reason;
  EXPECT_TRUE(FailureOf(client, &reason) == tv::TlsFailure::TrustFile);
  EXPECT_TRUE(!reason.empty());
  client.trustFile = FileWith("prázdný.pem", "no certificate here\n");
  EXPECT_TRUE(FailureOf(client) == tv::TlsFailure::TrustFile);
  client.trustFile =
      FileWith("rozbitý.pem", "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n");
  EXPECT_TRUE(FailureOf(client) == tv::TlsFailure::TrustFile);
  // Without verification the Trust file does not matter.
  client.noVerify = true;
  EXPECT_TRUE(FailureOf(client) == tv::TlsFailure::None);

  tv::TlsOptions server;
  server.role = tv::TlsRole::Server;
  server.certFile = FromWide(Folder()) + "chybí.p12";
  EXPECT_TRUE(FailureOf(server) == tv::TlsFailure::CertFile);
  server.certFile = FileWith("text.p12", "-----BEGIN CERTIFICATE-----\n");
  EXPECT_TRUE(FailureOf(server, &reason) == tv::TlsFailure::CertFile);
  EXPECT_EQ(reason, Bytes("not a PKCS#12 file"));
}

// A client whose first step has run: its hello waits to go out.
std::unique_ptr<TlsChannel> HelloReady(tv::TlsError& error) {
  tv::TlsOptions options;
  options.serverName = "localhost";
  options.noVerify = true;
  std::unique_ptr<TlsChannel> channel = TlsChannel::Create(options, error);
  EXPECT_TRUE(channel != nullptr);
  if (channel) {
    EXPECT_TRUE(channel->Handshake(error) == tv::TlsStatus::Pending);
  }
  return channel;
}

TEST(Tls, ClientHelloComesFirstAndBytesThatAreNoTlsFailTheHandshake) {
  tv::TlsError error;
  std::unique_ptr<TlsChannel> channel = HelloReady(error);
  if (!channel) return;
  // A handshake record of a TLS version.
  EXPECT_TRUE(channel->OutgoingSize() > 5);
  EXPECT_EQ(int(static_cast<unsigned char>(channel->OutgoingData()[0])), 22);
  EXPECT_EQ(int(channel->OutgoingData()[1]), 3);
  channel->TakeOutgoing(channel->OutgoingSize());
  EXPECT_TRUE(channel->Handshake(error) == tv::TlsStatus::Pending);  // nothing came
  channel->PutIncoming("HTTP/1.0 400 Bad Request\r\n\r\n", 28);
  EXPECT_TRUE(channel->Handshake(error) == tv::TlsStatus::Failed);
  EXPECT_TRUE(error.failure == tv::TlsFailure::Handshake);
  EXPECT_TRUE(!channel->Established());
  Bytes protocol, cipher;
  EXPECT_TRUE(!channel->Describe(protocol, cipher));
}

// A client whose hello is out gets this answer in the clear.
tv::TlsError AnswerToTheHello(const Bytes& answer) {
  tv::TlsError error;
  std::unique_ptr<TlsChannel> channel = HelloReady(error);
  if (!channel) return error;
  channel->TakeOutgoing(channel->OutgoingSize());
  channel->PutIncoming(answer.data(), answer.size());
  EXPECT_TRUE(channel->Handshake(error) == tv::TlsStatus::Failed);
  return error;
}

TEST(Tls, PeerThatSpeaksNoneOfOurProtocolsIsToldFromOtherRefusals) {
  // The fatal alerts protocol_version and handshake_failure.
  EXPECT_TRUE(AnswerToTheHello(Bytes("\x15\x03\x03\x00\x02\x02\x46", 7)).failure ==
              tv::TlsFailure::Version);
  EXPECT_TRUE(AnswerToTheHello(Bytes("\x15\x03\x03\x00\x02\x02\x28", 7)).failure ==
              tv::TlsFailure::Handshake);
}

TEST(Tls, OnlyTheCloseAlertEndsTheStreamInOrder) {
  EXPECT_TRUE(IsCloseAlert(SEC_I_CONTEXT_EXPIRED, true, true, false));
  EXPECT_TRUE(IsCloseAlert(SEC_I_CONTEXT_EXPIRED, false, true, true));
  // An alert record that yields nothing is a warning on the system, and the
  // close only under Wine, whose package fails the call on every other one.
  EXPECT_FALSE(IsCloseAlert(SEC_E_OK, true, true, false));
  EXPECT_TRUE(IsCloseAlert(SEC_E_OK, true, true, true));
  // Data, or an empty record of data, is no close anywhere.
  EXPECT_FALSE(IsCloseAlert(SEC_E_OK, false, true, true));
  EXPECT_FALSE(IsCloseAlert(SEC_E_OK, true, false, true));
  EXPECT_FALSE(IsCloseAlert(SEC_I_RENEGOTIATE, true, true, true));
  // Records that fail: altered ones are broken, the peer's refusals alerts.
  EXPECT_TRUE(ReadFailure(static_cast<unsigned long>(SEC_E_DECRYPT_FAILURE)) ==
              tv::TlsFailure::Broken);
  EXPECT_TRUE(ReadFailure(static_cast<unsigned long>(SEC_E_INTERNAL_ERROR)) ==
              tv::TlsFailure::Broken);
  EXPECT_TRUE(ReadFailure(static_cast<unsigned long>(SEC_E_ILLEGAL_MESSAGE)) ==
              tv::TlsFailure::Alert);
}

constexpr UINT kEvent = tv::WM_SOCKET_EVENT;

HWND EventWindow() {
  static HWND window = nullptr;
  if (!window) {
    WNDCLASSW c = {};
    c.lpfnWndProc = DefWindowProcW;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"TarvelinTlsTest";
    RegisterClassW(&c);
    window = CreateWindowW(L"TarvelinTlsTest", L"tls test", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                           nullptr, c.hInstance, nullptr);
  }
  return window;
}

// Dispatches everything else (the TLS layer's own window among it) until a
// socket notification for the event window comes.
bool NextEvent(MSG& m, DWORD limitMs = 5000) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < limitMs) {
    if (PeekMessageW(&m, EventWindow(), kEvent, kEvent, PM_REMOVE)) return true;
    MSG other;
    if (PeekMessageW(&other, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageW(&other);
      continue;
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return false;
}

// A connected pair: the program's socket, registered as the core registers
// it, and the theirs end as a plain blocking socket.
struct Pair {
  WinSockets sockets;
  tv::Socket ours = tv::kInvalidSocket;
  SOCKET theirs = INVALID_SOCKET;
  Pair() {
    sockets.SetWindow(EventWindow());
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    int length = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
    ours = sockets.Create(tv::IpFamily::V4);
    connect(static_cast<SOCKET>(ours), reinterpret_cast<sockaddr*>(&a), sizeof a);
    theirs = accept(listener, nullptr, nullptr);
    closesocket(listener);
    sockets.AsyncSelect(ours, kEvent, tv::kFdRead | tv::kFdWrite | tv::kFdClose);
  }
  ~Pair() {
    if (theirs != INVALID_SOCKET) closesocket(theirs);
    sockets.Close(ours);
  }
  // Starts a client's handshake that verifies nothing: its hello is out.
  tv::TlsStatus StartClient(tv::TlsOptions options, tv::TlsError& error) {
    options.noVerify = true;
    const tv::TlsStatus status = sockets.StartTls(ours, options, error);
    EXPECT_TRUE(status == tv::TlsStatus::Pending);
    return status;
  }
  // Steps the handshake on each notification until it is decided.
  tv::TlsStatus Drive(tv::TlsStatus status, tv::TlsError& error) {
    MSG m;
    while (status == tv::TlsStatus::Pending && NextEvent(m)) {
      if (m.wParam == static_cast<WPARAM>(ours)) status = sockets.TlsStep(ours, error);
    }
    return status;
  }
};

TEST(Tls, PeerThatClosesDuringTheHandshakeIsReportedAsSuch) {
  Pair pair;
  tv::TlsOptions options;
  options.serverName = "localhost";
  tv::TlsError error;
  const tv::TlsStatus status = pair.StartClient(options, error);
  char hello[5] = {};
  EXPECT_EQ(recv(pair.theirs, hello, sizeof hello, 0), 5);
  EXPECT_EQ(int(hello[0]), 22);
  closesocket(pair.theirs);
  pair.theirs = INVALID_SOCKET;
  EXPECT_TRUE(pair.Drive(status, error) == tv::TlsStatus::Failed);
  EXPECT_TRUE(error.failure == tv::TlsFailure::PeerClosed);
  Bytes protocol, cipher;
  EXPECT_TRUE(!pair.sockets.TlsDescribe(pair.ours, protocol, cipher));
}

TEST(Tls, GarbageFromThePeerFailsTheHandshakeAfterItsNotification) {
  Pair pair;
  tv::TlsOptions options;
  options.peerAddress = "127.0.0.1";
  tv::TlsError error;
  const tv::TlsStatus status = pair.StartClient(options, error);
  const char reply[] = "220 mail.test ESMTP\r\n";
  EXPECT_EQ(send(pair.theirs, reply, sizeof reply - 1, 0), int(sizeof reply - 1));
  EXPECT_TRUE(pair.Drive(status, error) == tv::TlsStatus::Failed);
  EXPECT_TRUE(error.failure == tv::TlsFailure::Handshake);
  // A socket whose handshake failed sends no close alert.
  pair.sockets.Shutdown(pair.ours);
  char rest[4096];
  int total = 0, n;
  while ((n = recv(pair.theirs, rest, sizeof rest, 0)) > 0) total += n;
  EXPECT_TRUE(total > 0);  // the hello only
  EXPECT_EQ(n, 0);
}

}  // namespace
