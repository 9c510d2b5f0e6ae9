// StartTls: the open connection goes on encrypted. The handshake is driven
// from here, one step per socket notification; the socket layer does the
// rest, so reading, sending, the capture file and the close paths work on
// the decrypted bytes unchanged.
#include <utility>

#include "engine/args.h"
#include "net/address.h"
#include "net/commands.h"
#include "net/connection.h"
#include "net/receive.h"
#include "shell/paths.h"

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
constexpr char kFileLog[] = "Soubor %s, úplná cesta %s\n";
constexpr char kFailedBox[] = "Příkaz StartTls nelze provést, TLS nenavázáno: ";
constexpr char kCheckUnknownWord[] = "Neznámé slovo za StartTls: ";
constexpr char kCheckMissingName[] = "Za Name chybí jméno serveru";
constexpr char kCheckMissingTrust[] = "Za Trust chybí název souboru";
constexpr char kCheckMissingCert[] = "Za Cert chybí název souboru";
constexpr char kCheckMissingClientCert[] = "Za ClientCert chybí název souboru";
constexpr char kCheckClientCertOnServer[] = "ClientCert patří jen klientovi";
constexpr char kClientCertLog[] = "Certifikát klienta: %s\n";
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
    case TlsFailure::Expired:
      return "platnost certifikátu partnera vypršela";
    case TlsFailure::NotYetValid:
      return "certifikát partnera ještě neplatí";
    case TlsFailure::Version:
      return "partner nepodporuje TLS 1.2 ani novější";
    case TlsFailure::PeerClosed:
      return "partner ukončil spojení během navazování TLS";
    case TlsFailure::Handshake:
      return "navazování TLS selhalo";
    case TlsFailure::None:
    case TlsFailure::Broken:
    case TlsFailure::Alert:
    case TlsFailure::Truncated:
    case TlsFailure::Other:
      break;
  }
  return "chyba knihovny TLS";
}

// The words of the command line.
struct TlsArgs {
  bool hasName = false, hasTrust = false, noVerify = false, hasCert = false;
  bool hasClientCert = false;
  Bytes name, trust, cert, password;
};

// The run needs an open connection, and knows whether it is the client's
// or the server's: the client's words and Cert exclude each other.
bool ReadStartTls(Args& in, TlsArgs& a) {
  ScriptContext* ctx = in.Run();
  if (ctx && !ctx->connection) return in.Error(kNoConnectionBox, kNoConnectionLog);
  const bool client = ctx && ctx->connectedAsClient;
  const char* syntax = client ? kClientSyntax : kServerSyntax;
  int trustColumn = 0, certColumn = 0;
  Bytes word;
  while (in.Keyword(word)) {
    if (a.hasCert || a.hasClientCert) {
      // Cert and ClientCert take their file and one password, nothing else.
      return in.Syntax(kSyntaxBox, syntax, kCheckAfterPassword);
    }
    if (word == "NAME") {
      if (!in.FileName(a.name)) return in.Syntax(kSyntaxBox, syntax, kCheckMissingName);
      a.hasName = true;
    } else if (word == "TRUST") {
      if (!in.FileName(a.trust)) return in.Syntax(kSyntaxBox, syntax, kCheckMissingTrust);
      a.hasTrust = true;
      trustColumn = in.Column();
    } else if (word == "NOVERIFY") {
      a.noVerify = true;
    } else if (word == "CLIENTCERT") {
      if (ctx && !client) return in.Syntax(kSyntaxBox, syntax, kCheckClientCertOnServer);
      if (!in.FileName(a.cert)) return in.Syntax(kSyntaxBox, syntax, kCheckMissingClientCert);
      a.hasClientCert = true;
      certColumn = in.Column();
      in.FileName(a.password);
    } else if (word == "CERT") {
      if (a.hasName || a.hasTrust || a.noVerify || a.hasClientCert) {
        return in.Syntax(kSyntaxBox, syntax, kCheckMixed);
      }
      if (!in.FileName(a.cert)) return in.Syntax(kSyntaxBox, syntax, kCheckMissingCert);
      a.hasCert = true;
      certColumn = in.Column();
      in.FileName(a.password);
    } else {
      return in.Syntax(kSyntaxBox, syntax, kCheckUnknownWord + word);
    }
  }
  if (ctx && a.hasCert == client) return in.Syntax(kSyntaxBox, syntax);
  if (ctx && ctx->tls) return in.Error(kAlreadyBox, kAlreadyLog);
  if (a.hasTrust) in.At(trustColumn).Reads(a.trust);
  if (a.hasCert || a.hasClientCert) in.At(certColumn).Reads(a.cert);
  return true;
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
  // In the shortest form, as the connection's log names it ("::1").
  IpAddress ip;
  if (ParseIpv6Literal(host, ip)) {
    address = FormatAddress(ip);
    return true;
  }
  address = host;
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  return true;
}

// The handshake could not be made: the connection is of no further use.
// A file that failed is named as the script wrote it and as it was found.
Flow Failed(ScriptContext& ctx, const char* words, const Bytes& reason, bool expired,
            ScriptFileStack& stack, const Bytes* written = nullptr,
            const Bytes* resolved = nullptr) {
  if (reason.empty()) {
    ctx.LogPrintf(kFailedLog, words);
  } else {
    ctx.LogPrintf(kFailedReasonLog, words, reason.c_str());
  }
  if (written && resolved) ctx.LogPrintf(kFileLog, written->c_str(), resolved->c_str());
  CloseConnection(ctx);
  ctx.LogPrintf("%s", kClosedLog);
  ctx.SetLowerStatus("Spojení ukončeno.");
  if (expired) return TimeLimitExpired(ctx, "StartTls", stack);
  ctx.ReportError(Bytes(kFailedBox) + words);
  return Flow::Fail;
}

Flow RunStartTls(ScriptContext& ctx, TlsArgs& args, ScriptFileStack& stack) {
  const bool client = ctx.connectedAsClient;
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
    if (args.hasTrust) options.trustFile = ResolveScriptRelativePath(files, args.trust, base);
    options.noVerify = args.noVerify;
    if (args.hasClientCert) {
      options.certFile = ResolveScriptRelativePath(files, args.cert, base);
      options.password = args.password;
    }
    if (options.serverName.empty()) {
      ctx.LogPrintf(kStartClientAddressLog, options.peerAddress.c_str());
    } else {
      ctx.LogPrintf(kStartClientNameLog, options.serverName.c_str());
    }
    if (options.noVerify) ctx.LogPrintf("%s", kNoVerifyLog);
    if (args.hasClientCert) ctx.LogPrintf(kClientCertLog, options.certFile.c_str());
  } else {
    options.role = TlsRole::Server;
    options.certFile = ResolveScriptRelativePath(files, args.cert, base);
    options.password = args.password;
    ctx.LogPrintf(kStartServerLog, options.certFile.c_str());
  }
  ctx.SetLowerStatus(kStartStatus);

  // Bytes read before the handshake came unencrypted: they must not pass
  // for what the encrypted connection brings.
  ReportUnreadData(ctx);
  ctx.fillCount = 0;
  ctx.capturedCount = 0;

  TlsError error;
  TlsStatus status = TlsStatus::Pending;
  ctx.StartTimeLimit();
  auto tls = ctx.host.sockets.OpenTlsStream(std::move(ctx.connection), options, status, error);
  TlsStream& stream = *tls;
  ctx.connection = std::move(tls);
  bool stopped = false;
  while (status == TlsStatus::Pending) {
    if (!WaitForMessageAbout(ctx, WM_SOCKET_EVENT, stream.Id())) {
      stopped = true;
      break;
    }
    status = stream.Step(error);
  }
  const bool expired = ctx.EndTimeLimit();
  if (stopped) return Failed(ctx, StoppedWaitReason(ctx), Bytes(), expired, stack);
  if (status == TlsStatus::Failed) {
    const bool trust = error.failure == TlsFailure::TrustFile;
    const bool cert =
        error.failure == TlsFailure::CertFile || error.failure == TlsFailure::Password;
    return Failed(ctx, FailureText(error.failure), error.reason, false, stack,
                  trust  ? &args.trust
                  : cert ? &args.cert
                         : nullptr,
                  trust  ? &options.trustFile
                  : cert ? &options.certFile
                         : nullptr);
  }

  ctx.tls = &stream;
  Bytes protocol, cipher;
  if (!stream.Describe(protocol, cipher)) protocol = cipher = "?";
  ctx.LogPrintf(kDoneLog, protocol.c_str(), cipher.c_str());
  ctx.SetLowerStatus(kDoneStatus);
  return Flow::Next;
}

}  // namespace

const CommandDef kStartTls = DefineCommand<TlsArgs, ReadStartTls, RunStartTls>();

}  // namespace tv
