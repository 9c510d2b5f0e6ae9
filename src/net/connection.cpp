#include "net/connection.h"

#include <cstdint>

#include <vector>

#include "net/address.h"
#include "net/receive.h"

namespace tv {

namespace {

constexpr long kConnectedEvents = kFdRead | kFdWrite | kFdClose;

constexpr char kNoDnsRecordBox[] = "Pro daný počítač nebyl nalezen záznam DNS";
constexpr char kNoSocketBox[] = "Nelze získat socket pro spojení";
constexpr char kConnectFailedBox[] = "Selhání funkce connect, zřejmě přetížení knihovny WinSock";
constexpr char kUnreachableBox[] = "Spojení nelze navázat, počítač zřejmě není dostupný";
constexpr char kPortBox[] = "Nelze použít port";
constexpr char kAcceptFailedBox[] = "Spojení nelze navázat";
constexpr char kLeftoverLogLine[] = "Socket zůstal otevřený - ukončuji předchozí spojení.\n";

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool Fail(ScriptContext& ctx, const char* cause) {
  ctx.failureReason = cause;
  return false;
}

bool NoDnsRecord(ScriptContext& ctx, const Bytes& server) {
  ctx.hostLookup = 0;
  ctx.LogPrintf("Nenalezen záznam DNS pro počítač %s\n", server.c_str());
  ctx.ReportError(kNoDnsRecordBox);
  return Fail(ctx, kNoDnsRecordBox);
}

bool NoSocket(ScriptContext& ctx) {
  ctx.LogPrintf("Chyby WinSock - není další socket pro spojení nebo není nainstalováno TCP/IP\n");
  ctx.ReportError(kNoSocketBox);
  return Fail(ctx, kNoSocketBox);
}

bool PortUnusable(ScriptContext& ctx, int port) {
  ctx.LogPrintf("Port %d nelze použít, zřejmě jej používá jiný program.\n", port);
  ctx.ReportError(kPortBox);
  CloseConnection(ctx);
  return Fail(ctx, kPortBox);
}

// A fresh connection starts with an empty buffer and no failure reason, and
// reports reading, room to send and the peer's close.
// The socket set up becomes the connection's stream.
void StartConnected(ScriptContext& ctx) {
  ctx.fillCount = 0;
  ctx.capturedCount = 0;
  ctx.tls = nullptr;
  ctx.failureReason = kReasonUnknown;
  ctx.connection = ctx.host.sockets.OpenStream(ctx.pendingSocket);
  ctx.pendingSocket = kInvalidSocket;
  ctx.connection->Watch(WM_SOCKET_EVENT, kConnectedEvents);
}

// Looks the name up; false after its log line and box, or after an
// interruption (request cancelled, nothing reported).
bool LookUpHost(ScriptContext& ctx, const Bytes& server, std::vector<IpAddress>& addresses) {
  Sockets& sockets = ctx.host.sockets;
  ctx.SetLowerStatus("Táži se serveru DNS na jméno " + server);
  ctx.LogPrintf("Táži se serveru DNS na jméno %s\n", server.c_str());
  ctx.hostLookup = sockets.StartHostLookup(server, WM_HOST_LOOKUP);
  if (ctx.hostLookup == 0) return NoDnsRecord(ctx, server);
  if (!WaitForMessageAbout(ctx, WM_HOST_LOOKUP, ctx.hostLookup)) {
    sockets.CancelAsyncRequest(ctx.hostLookup);
    ctx.hostLookup = 0;
    return Fail(ctx, StoppedWaitReason(ctx));
  }
  addresses.clear();
  if (HighWord(ctx.lastMessageLParam) != 0 ||
      !sockets.HostLookupAddresses(ctx.hostLookup, addresses)) {
    return NoDnsRecord(ctx, server);
  }
  OrderForConnect(addresses);
  if (addresses.empty()) return NoDnsRecord(ctx, server);
  ctx.hostLookup = 0;
  return true;
}

enum class Attempt { Connected, Failed, Stopped };

// One connection attempt to one address, shown as shown. A failure writes its
// log line and box only when it is the last address left; otherwise the
// caller says that the next address is tried.
Attempt TryAddress(ScriptContext& ctx, const IpAddress& address, const Bytes& shown, int port,
                   bool last) {
  Sockets& sockets = ctx.host.sockets;
  const Socket s = sockets.Create(address.family);
  if (s == kInvalidSocket) {
    if (last) NoSocket(ctx);
    return Attempt::Failed;
  }
  ctx.pendingSocket = s;
  ctx.LogPrintf("Čekám na připojení k %s, port %d\n", shown.c_str(), port);
  sockets.AsyncSelect(s, WM_SOCKET_SETUP, kFdConnect);
  ctx.SetLowerStatus(FormatText("Připojuji se k %s, port %d", shown.c_str(), port));

  if (!sockets.Connect(s, address, static_cast<uint16_t>(port))) {
    if (sockets.LastError() != kWsaeWouldBlock) {
      if (last) {
        ctx.LogPrintf("Připojení se nezdařilo vinou přetížení knihovny WinSock\n");
        ctx.ReportError(kConnectFailedBox);
        Fail(ctx, kConnectFailedBox);
      }
      CloseConnection(ctx);
      return Attempt::Failed;
    }
    if (!WaitForMessageAbout(ctx, WM_SOCKET_SETUP, static_cast<uintptr_t>(s))) {
      CloseConnection(ctx);
      Fail(ctx, StoppedWaitReason(ctx));
      return Attempt::Stopped;
    }
    if (HighWord(ctx.lastMessageLParam) != 0) {
      if (last) {
        ctx.LogPrintf("Nelze se připojit k serveru, zřejmě není dostupný po síti\n");
        ctx.ReportError(kUnreachableBox);
        Fail(ctx, kUnreachableBox);
      }
      CloseConnection(ctx);
      return Attempt::Failed;
    }
  }
  return Attempt::Connected;
}

}  // namespace

bool WaitForMessageAbout(ScriptContext& ctx, uint32_t id, uintptr_t about) {
  do {
    if (!ctx.WaitForWindowMessage(id)) return false;
  } while (ctx.lastMessageWParam != about);
  return true;
}

bool ParseDottedAddress(const Bytes& text, int numbers[4]) {
  const char* p = text.c_str();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') return false;
      ++p;
    }
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    // Numbers beyond 32 bits wrap around.
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    numbers[i] = static_cast<int>(value);
  }
  return true;
}

void CloseConnection(ScriptContext& ctx) {
  if (ctx.pendingSocket != kInvalidSocket) {
    ctx.host.sockets.Close(ctx.pendingSocket);
    ctx.pendingSocket = kInvalidSocket;
  }
  if (!ctx.connection) return;
  ctx.connection->Close();
  ctx.connection.reset();
  ctx.tls = nullptr;
}

void CloseConnectionLogged(ScriptContext& ctx, const char* status, const char* logLine) {
  ctx.SetLowerStatus(status);
  ctx.LogPrintf("%s", logLine);
  CloseConnection(ctx);
  ctx.SetLowerStatus("Spojení ukončeno.");
  ctx.LogPrintf("Spojení ukončeno.\n");
}

void CloseLeftoverConnection(ScriptContext& ctx) {
  if (!ctx.connection) return;
  CloseConnectionLogged(ctx, "Ukončuji spojení.", kLeftoverLogLine);
}

bool ConnectToServer(ScriptContext& ctx, const Bytes& server, int port) {
  CloseLeftoverConnection(ctx);

  // A dotted address is shown with its numbers as read, before they are cut
  // to bytes; every other address as the program writes it.
  int numbers[4];
  std::vector<IpAddress> addresses(1);
  Bytes dottedShown;
  if (ParseDottedAddress(server, numbers)) {
    for (int i = 0; i < 4; ++i) addresses[0].b[i] = static_cast<uint8_t>(numbers[i] & 0xFF);
    dottedShown = FormatText("%d.%d.%d.%d", numbers[0], numbers[1], numbers[2], numbers[3]);
  } else if (!ParseIpv6Literal(server, addresses[0])) {
    if (!LookUpHost(ctx, server, addresses)) return false;
  }

  for (size_t i = 0; i < addresses.size(); ++i) {
    const bool last = i + 1 == addresses.size();
    const Bytes shown = dottedShown.empty() ? FormatAddress(addresses[i]) : dottedShown;
    const Attempt attempt = TryAddress(ctx, addresses[i], shown, port, last);
    if (attempt == Attempt::Stopped) return false;
    if (attempt == Attempt::Connected) break;
    if (last) return false;
    ctx.LogPrintf("Spojení s %s nelze navázat, zkouším další adresu.\n", shown.c_str());
  }

  StartConnected(ctx);
  ctx.connectedAsClient = true;
  ctx.connectHost = server;
  ctx.SetLowerStatus("Spojení navázáno v pořádku.");
  ctx.LogPrintf("Spojení navázáno v pořádku.\n");
  return true;
}

bool AcceptConnection(ScriptContext& ctx, int port, const IpAddress* only) {
  Sockets& sockets = ctx.host.sockets;
  CloseLeftoverConnection(ctx);

  const IpAddress address = only ? *only : IpAddress();
  const Socket listening = sockets.Create(address.family);
  if (listening == kInvalidSocket) return NoSocket(ctx);
  ctx.pendingSocket = listening;
  if (only) {
    const Bytes shown = FormatAddress(address);
    ctx.LogPrintf("Čekám na připojení na adrese %s, port %d\n", shown.c_str(), port);
    ctx.SetLowerStatus(FormatText("Čekám na připojení na adrese %s, port %d", shown.c_str(), port));
  } else {
    ctx.LogPrintf("Čekám na připojení na portu %d\n", port);
    ctx.SetLowerStatus(FormatText("Čekám na připojení na portu %d", port));
  }
  if (!sockets.Bind(listening, address, static_cast<uint16_t>(port))) {
    return PortUnusable(ctx, port);
  }
  sockets.AsyncSelect(listening, WM_SOCKET_SETUP, kFdAccept);
  if (!sockets.Listen(listening, 1)) return PortUnusable(ctx, port);

  if (!WaitForMessageAbout(ctx, WM_SOCKET_SETUP, static_cast<uintptr_t>(listening))) {
    if (!ctx.timeLimit.expired) {
      ctx.LogPrintf("Program předčasně přerušen.\n");
      ctx.SetLowerStatus("Program předčasně přerušen");
    }
    CloseConnection(ctx);
    return Fail(ctx, StoppedWaitReason(ctx));
  }
  IpAddress peer;
  const Socket accepted = sockets.Accept(listening, peer);
  if (accepted == kInvalidSocket) {
    ctx.LogPrintf("Partner nepoužívá kompatibilní protokol\n");
    ctx.host.window.MessageBox(kAcceptFailedBox, "CHYBA", kMbOk);
    CloseConnection(ctx);
    return Fail(ctx, kAcceptFailedBox);
  }
  // One peer only: nobody else can connect to this port afterwards.
  CloseConnection(ctx);
  ctx.pendingSocket = accepted;
  const Bytes peerShown = FormatAddress(peer);
  ctx.LogPrintf("Navázáno spojení s počítačem %s na portu %d.\n", peerShown.c_str(), port);
  ctx.SetLowerStatus(FormatText("Spojení s %s navázáno v pořádku", peerShown.c_str()));
  StartConnected(ctx);
  ctx.connectedAsClient = false;
  return true;
}

void OnStartupConnect(ScriptContext& ctx) {
  Window& window = ctx.host.window;
  window.EnableScriptChoice(false);
  ctx.running = true;
  window.SetRunButtonCaption("&Přerušení spojování");
  window.FocusRunButton();
  window.SetTitle("Tarvelin - zahajuji spojení");

  // -a may name the one address to listen on.
  IpAddress address;
  const bool oneAddress =
      ctx.options.connectMode == 2 && ParseIpLiteral(ctx.options.server, address);
  const bool connected =
      ctx.options.connectMode == 1
          ? ConnectToServer(ctx, ctx.options.server, ctx.options.port)
          : AcceptConnection(ctx, ctx.options.port, oneAddress ? &address : nullptr);

  window.SetTitle(kIdleTitle);
  ctx.running = false;
  window.SetRunButtonCaption("&Spuštění scriptu");
  window.EnableScriptChoice(true);
  if (!connected) {
    ctx.SetLowerStatus("Spojení se nepodařilo navázat");
    ctx.startupFailed = true;
    return;
  }
  ctx.SetLowerStatus("Spojení navázáno v pořádku.");
  if (!ctx.options.scriptName.empty()) ctx.host.queue.PostToMain(kWmCommand, kIdRunButton, 0);
}

void EndOfRunConnectionQuestion(ScriptContext& ctx) {
  if (!ctx.connection) return;
  const int answer = ctx.host.window.MessageBox("Spojení zůstalo otevřeno - mám jej uzavřít?",
                                                "Script ukončen", kMbYesNo | kMbIconQuestion);
  if (answer != kIdYes) return;
  CloseConnectionLogged(ctx, "Ukončuji předchozí spojení.", kLeftoverLogLine);
}

}  // namespace tv
