// StartTls: the open connection goes on encrypted. The handshake is driven
// from here, one step per socket notification; the socket layer does the
// rest, so reading, sending, the capture file and the close paths work on
// the decrypted bytes unchanged.
#include "engine/commands.h"
#include "engine/tokenizer.h"
#include "net/connection.h"
#include "net/receive.h"

namespace tv {

namespace {

// Every text of the command.
constexpr char kSyntaxBox[] = "Nesprávná syntaxe příkazu StartTls ve scriptu";
constexpr char kClientSyntax[] = "StartTls [Name <jméno-serveru>] [Trust <soubor.pem>] [NoVerify]";
constexpr char kServerSyntax[] = "StartTls Cert <soubor.p12> [<heslo>]";
constexpr char kNoConnectionBox[] = "Nelze provést StartTls, pokud není otevřeno spojení";
constexpr char kNoConnectionLog[] = "StartTls nelze provést, spojení není otevřené.\n";
constexpr char kAlreadyBox[] = "Spojení již používá TLS";
constexpr char kAlreadyLog[] = "StartTls nelze provést, spojení již používá TLS.\n";
constexpr char kStartClientNameLog[] = "Zahajuji TLS jako klient, jméno serveru %s\n";
constexpr char kStartClientAddressLog[] = "Zahajuji TLS jako klient, adresa serveru %s\n";
constexpr char kStartServerLog[] = "Zahajuji TLS jako server, certifikát %s\n";
constexpr char kStartStatus[] = "Navazuji spojení TLS";
constexpr char kNoVerifyLog[] = "VAROVÁNÍ: certifikát serveru se neověřuje (NoVerify).\n";
constexpr char kDoneLog[] = "Spojení TLS navázáno: %s, šifra %s\n";
constexpr char kDoneStatus[] = "Spojení TLS navázáno v pořádku.";
constexpr char kFailedLog[] = "TLS nelze navázat: %s\n";
constexpr char kFailedReasonLog[] = "TLS nelze navázat: %s (%s)\n";
constexpr char kClosedLog[] = "Spojení ukončeno.\n";
constexpr char kFailedBox[] = "Příkaz StartTls nelze provést, TLS nenavázáno: ";
constexpr char kCheckUnknownWord[] = "Neznámé slovo za StartTls: ";
constexpr char kCheckMissingName[] = "Za Name chybí jméno serveru";
constexpr char kCheckMissingTrust[] = "Za Trust chybí název souboru";
constexpr char kCheckMissingCert[] = "Za Cert chybí název souboru";
constexpr char kCheckMixed[] = "Cert nelze spojit s Name, Trust ani NoVerify";
constexpr char kCheckAfterPassword[] = "Za heslem nesmí nic následovat";

const char* FailureText(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::NotAvailable:
      return "tento program TLS nepodporuje";
    case TlsFailure::TrustFile:
      return "soubor důvěryhodných certifikátů nelze použít";
    case TlsFailure::CertFile:
      return "soubor s certifikátem nelze použít";
    case TlsFailure::Password:
      return "chybné heslo souboru s certifikátem";
    case TlsFailure::NotTrusted:
      return "certifikát partnera není důvěryhodný";
    case TlsFailure::NameMismatch:
      return "certifikát nepatří jménu serveru";
    case TlsFailure::PeerClosed:
      return "partner ukončil spojení během navazování TLS";
    case TlsFailure::Handshake:
      return "navazování TLS selhalo";
    case TlsFailure::None:
    case TlsFailure::Other:
      break;
  }
  return "chyba knihovny TLS";
}

// The words of the command line, as the command and its check read them.
struct Arguments {
  bool hasName = false, hasTrust = false, noVerify = false, hasCert = false;
  Bytes name, trust, cert, password;
  bool extra = false;  // words after the password
};

enum class Problem { None, UnknownWord, MissingName, MissingTrust, MissingCert, Mixed, Extra };

// problemAt, when given, gets what was left of the line where the problem
// lies (so that the check can tell its column).
Problem ReadArguments(Bytes& rest, Arguments& a, Bytes& badWord, Bytes* problemAt, Bytes* trustAt,
                      Bytes* certAt) {
  Bytes word, before;
  Problem problem = Problem::None;
  for (;;) {
    before = rest;
    if (!GetNextWord(rest, word, true, false)) return Problem::None;
    if (a.hasCert) {
      // Cert takes its file and one password, nothing else.
      problem = Problem::Extra;
      break;
    }
    if (word == "NAME") {
      before = rest;
      if (!GetNextWord(rest, a.name, false, true)) {
        problem = Problem::MissingName;
        break;
      }
      a.hasName = true;
    } else if (word == "TRUST") {
      before = rest;
      if (trustAt) *trustAt = rest;
      if (!GetNextWord(rest, a.trust, false, true)) {
        problem = Problem::MissingTrust;
        break;
      }
      a.hasTrust = true;
    } else if (word == "NOVERIFY") {
      a.noVerify = true;
    } else if (word == "CERT") {
      if (a.hasName || a.hasTrust || a.noVerify) {
        problem = Problem::Mixed;
        break;
      }
      before = rest;
      if (certAt) *certAt = rest;
      if (!GetNextWord(rest, a.cert, false, true)) {
        problem = Problem::MissingCert;
        break;
      }
      a.hasCert = true;
      GetNextWord(rest, a.password, false, true);
    } else {
      badWord = word;
      problem = Problem::UnknownWord;
      break;
    }
  }
  if (problemAt) *problemAt = before;
  return problem;
}

// An address written as one ("10.0.0.1", "::1", "[::1]"): no name to send
// or to check the certificate against. Its text for the check of the
// certificate goes to address.
bool AddressLiteral(const Bytes& host, Bytes& address) {
  int numbers[4];
  if (ParseDottedAddress(host, numbers)) {
    address = FormatText("%d.%d.%d.%d", numbers[0] & 0xFF, numbers[1] & 0xFF, numbers[2] & 0xFF,
                         numbers[3] & 0xFF);
    return true;
  }
  if (host.find(':') == Bytes::npos) return false;
  address = host;
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  return true;
}

// The handshake could not be made: the connection is of no further use.
Flow Failed(ScriptContext& ctx, const char* words, const Bytes& reason, bool expired,
            ScriptFileStack& stack) {
  if (reason.empty()) {
    ctx.LogPrintf(kFailedLog, words);
  } else {
    ctx.LogPrintf(kFailedReasonLog, words, reason.c_str());
  }
  CloseConnection(ctx);
  ctx.LogPrintf("%s", kClosedLog);
  ctx.SetLowerStatus("Spojení ukončeno.");
  if (expired) return TimeLimitExpired(ctx, "StartTls", stack);
  ctx.ReportError(Bytes(kFailedBox) + words);
  return Flow::Fail;
}

}  // namespace

Flow CmdStartTls(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  if (ctx.connection == kInvalidSocket) {
    return CommandError(ctx, kNoConnectionBox, kNoConnectionLog);
  }
  const bool client = ctx.connectedAsClient;
  const char* syntax = client ? kClientSyntax : kServerSyntax;
  Arguments args;
  Bytes badWord;
  if (ReadArguments(rest, args, badWord, nullptr, nullptr, nullptr) != Problem::None ||
      args.hasCert == client) {
    return SyntaxError(ctx, kSyntaxBox, syntax);
  }
  if (ctx.tlsActive) return CommandError(ctx, kAlreadyBox, kAlreadyLog);

  FileSystem& files = ctx.host.files;
  const Bytes& base = stack.Top().FullPath();
  TlsOptions options;
  if (client) {
    options.role = TlsRole::Client;
    Bytes address;
    if (args.hasName) {
      options.serverName = args.name;
    } else if (AddressLiteral(ctx.connectHost, address)) {
      options.peerAddress = address;
    } else {
      options.serverName = ctx.connectHost;
    }
    if (args.hasTrust) options.trustFile = files.ResolveScriptRelativePath(args.trust, base);
    options.noVerify = args.noVerify;
    if (options.serverName.empty()) {
      ctx.LogPrintf(kStartClientAddressLog, options.peerAddress.c_str());
    } else {
      ctx.LogPrintf(kStartClientNameLog, options.serverName.c_str());
    }
    if (options.noVerify) ctx.LogPrintf("%s", kNoVerifyLog);
  } else {
    options.role = TlsRole::Server;
    options.certFile = files.ResolveScriptRelativePath(args.cert, base);
    options.password = args.password;
    ctx.LogPrintf(kStartServerLog, options.certFile.c_str());
  }
  ctx.SetLowerStatus(kStartStatus);

  // Bytes read before the handshake came unencrypted: they must not pass
  // for what the encrypted connection brings.
  ReportUnreadData(ctx);
  ctx.fillCount = 0;

  Sockets& sockets = ctx.host.sockets;
  const Socket s = ctx.connection;
  TlsError error;
  ctx.StartTimeLimit();
  TlsStatus status = sockets.StartTls(s, options, error);
  bool stopped = false;
  while (status == TlsStatus::Pending) {
    if (!WaitForMessageAbout(ctx, WM_SOCKET_EVENT, static_cast<uintptr_t>(s))) {
      stopped = true;
      break;
    }
    status = sockets.TlsStep(s, error);
  }
  const bool expired = ctx.EndTimeLimit();
  if (stopped) return Failed(ctx, StoppedWaitReason(ctx), Bytes(), expired, stack);
  if (status == TlsStatus::Failed) {
    return Failed(ctx, FailureText(error.failure), error.reason, false, stack);
  }

  ctx.tlsActive = true;
  Bytes protocol, cipher;
  if (!sockets.TlsDescribe(s, protocol, cipher)) protocol = cipher = "?";
  ctx.LogPrintf(kDoneLog, protocol.c_str(), cipher.c_str());
  ctx.SetLowerStatus(kDoneStatus);
  return Flow::Next;
}

void CheckStartTls(LineCheck& lc, Bytes& rest) {
  Arguments args;
  Bytes badWord, problemAt, trustAt, certAt;
  const Problem problem = ReadArguments(rest, args, badWord, &problemAt, &trustAt, &certAt);
  const int column = problem == Problem::None ? 0 : lc.Column(problemAt);
  switch (problem) {
    case Problem::None:
      break;
    case Problem::UnknownWord:
      return lc.Error(column, kCheckUnknownWord + badWord);
    case Problem::MissingName:
      return lc.Error(column, kCheckMissingName);
    case Problem::MissingTrust:
      return lc.Error(column, kCheckMissingTrust);
    case Problem::MissingCert:
      return lc.Error(column, kCheckMissingCert);
    case Problem::Mixed:
      return lc.Error(column, kCheckMixed);
    case Problem::Extra:
      return lc.Error(column, kCheckAfterPassword);
  }
  if (args.hasTrust) lc.FileRead(args.trust, lc.Column(trustAt));
  if (args.hasCert) lc.FileRead(args.cert, lc.Column(certAt));
}

}  // namespace tv
