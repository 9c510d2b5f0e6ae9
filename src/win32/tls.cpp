#include "win32/tls.h"

#include <ws2tcpip.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tlslink/records.h"
#include "win32/pfx.h"
#include "win32/text.h"

namespace tv::win {

namespace {

constexpr DWORD kClientFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                               ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
constexpr DWORD kServerFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                               ASC_REQ_CONFIDENTIALITY | ASC_REQ_EXTENDED_ERROR |
                               ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
// Rounds of the handshake that one step may take with what has come in.
constexpr int kMaxRounds = 16;

bool Fail(TlsError& error, TlsFailure failure, const Bytes& reason) {
  error.failure = failure;
  error.reason = reason;
  return false;
}

// The whole file, or false with the system's reason.
bool ReadWholeFile(const Bytes& name, Bytes& content, Bytes& reason) {
  HANDLE f = CreateFileW(ToWide(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    reason = SystemErrorText(GetLastError());
    return false;
  }
  content.clear();
  char buf[16384];
  DWORD n = 0;
  bool ok = true;
  while ((ok = ReadFile(f, buf, sizeof buf, &n, nullptr) != FALSE) && n > 0) content.append(buf, n);
  if (!ok) reason = SystemErrorText(GetLastError());
  CloseHandle(f);
  return ok;
}

// The certificates of a PEM file in a store of their own; their count.
int LoadPemCertificates(const Bytes& pem, HCERTSTORE store) {
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int count = 0;
  size_t at = 0;
  for (;;) {
    const size_t begin = pem.find(kBegin, at);
    if (begin == Bytes::npos) break;
    const size_t end = pem.find(kEnd, begin);
    if (end == Bytes::npos) break;
    at = end + sizeof kEnd - 1;
    const DWORD length = static_cast<DWORD>(at - begin);
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.data() + begin, length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.data() + begin, length, CRYPT_STRING_BASE64HEADER, der.data(),
                              &size, nullptr, nullptr)) {
      continue;
    }
    if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      ++count;
    }
  }
  return count;
}

// DER certificates one after another, as Windows exports one (.cer). The
// count, or 0 when the bytes are not wholly certificates.
int LoadDerCertificates(const Bytes& der, HCERTSTORE store) {
  int count = 0;
  size_t at = 0;
  while (at < der.size()) {
    // A SEQUENCE and its length, short or long form (at most four bytes).
    if (der.size() - at < 2 || static_cast<unsigned char>(der[at]) != 0x30) return 0;
    size_t length = static_cast<unsigned char>(der[at + 1]);
    size_t header = 2;
    if (length & 0x80) {
      const size_t bytes = length & 0x7F;
      if (bytes == 0 || bytes > 4 || der.size() - at < 2 + bytes) return 0;
      length = 0;
      for (size_t i = 0; i < bytes; ++i) {
        length = (length << 8) | static_cast<unsigned char>(der[at + 2 + i]);
      }
      header += bytes;
    }
    if (length > der.size() - at - header) return 0;
    const DWORD size = static_cast<DWORD>(header + length);
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data() + at), size,
                                          CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      return 0;
    }
    ++count;
    at += size;
  }
  return count;
}

// A chain that fails only on dates: the peer's certificate tells which.
TlsFailure ChainFailure(DWORD status, PCCERT_CONTEXT peer) {
  if ((status & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID)) != 0) {
    return TlsFailure::NotTrusted;
  }
  return CertVerifyTimeValidity(nullptr, peer->pCertInfo) < 0 ? TlsFailure::NotYetValid
                                                              : TlsFailure::Expired;
}

bool HasPrivateKey(PCCERT_CONTEXT c) {
  static const DWORD kKeyProperties[] = {CERT_KEY_PROV_INFO_PROP_ID, CERT_KEY_CONTEXT_PROP_ID,
                                         CERT_NCRYPT_KEY_HANDLE_PROP_ID};
  for (DWORD property : kKeyProperties) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, property, nullptr, &size)) return true;
  }
  return false;
}

bool IsAuthority(PCCERT_CONTEXT c) {
  PCERT_EXTENSION ext = CertFindExtension(szOID_BASIC_CONSTRAINTS2, c->pCertInfo->cExtension,
                                          c->pCertInfo->rgExtension);
  if (!ext) return false;
  CERT_BASIC_CONSTRAINTS2_INFO info = {};
  DWORD size = sizeof info;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, ext->Value.pbData,
                           ext->Value.cbData, 0, nullptr, &info, &size)) {
    return false;
  }
  return info.fCA != FALSE;
}

// The file's certificate with a private key, the one that is no authority
// first.
PCCERT_CONTEXT FindServerCertificate(HCERTSTORE store) {
  PCCERT_CONTEXT found = nullptr;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
    if (!HasPrivateKey(c)) continue;
    if (!found) found = CertDuplicateCertificateContext(c);
    if (!IsAuthority(c)) {
      CertFreeCertificateContext(found);
      found = CertDuplicateCertificateContext(c);
      CertFreeCertificateContext(c);
      break;
    }
  }
  return found;
}

bool LoadPfx(const TlsOptions& options, HCERTSTORE& store, PCCERT_CONTEXT& cert, TlsError& error) {
  Bytes content, reason;
  if (!ReadWholeFile(options.certFile, content, reason)) {
    return Fail(error, TlsFailure::CertFile, reason);
  }
  CRYPT_DATA_BLOB blob = {static_cast<DWORD>(content.size()),
                          reinterpret_cast<BYTE*>(content.data())};
  if (!PFXIsPFXBlob(&blob)) return Fail(error, TlsFailure::CertFile, "not a PKCS#12 file");
  const std::wstring password = ToWide(options.password);
  // The keys stay stored until the channel ends (DeleteImportedKeys).
  DWORD lastError = 0;
  store = ImportPfx(blob, password, lastError);
  // Some systems fail without saying why: the password check tells (on the
  // file's bytes, so before they are wiped).
  const bool wrongPassword = !store && (lastError == ERROR_INVALID_PASSWORD ||
                                        !PFXVerifyPassword(&blob, password.c_str(), 0));
  SecureZeroMemory(&content[0], content.size());
  if (!store) {
    if (wrongPassword) {
      return Fail(error, TlsFailure::Password,
                  lastError != 0 ? SystemErrorText(lastError) : "the file cannot be decrypted");
    }
    return Fail(error, TlsFailure::CertFile,
                lastError != 0 ? SystemErrorText(lastError) : "the file cannot be imported");
  }
  cert = FindServerCertificate(store);
  if (!cert) {
    return Fail(error, TlsFailure::CertFile, "no certificate or no private key in the file");
  }
  return true;
}

Bytes Lower(Bytes s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

struct AltNames {
  std::vector<Bytes> dns;
  std::vector<std::string> ips;  // 4 or 16 bytes each
};

AltNames AltNamesOf(PCCERT_CONTEXT c) {
  AltNames names;
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, c->pCertInfo->cExtension,
                                          c->pCertInfo->rgExtension);
  if (!ext) return names;
  CERT_ALT_NAME_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
    return names;
  }
  for (DWORD i = 0; i < info->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
    if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && e.pwszDNSName) {
      names.dns.push_back(FromWide(e.pwszDNSName));
    } else if (e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
      names.ips.emplace_back(reinterpret_cast<const char*>(e.IPAddress.pbData), e.IPAddress.cbData);
    }
  }
  LocalFree(info);
  return names;
}

Bytes CommonNameOf(PCCERT_CONTEXT c) {
  wchar_t name[256] = {};
  CertGetNameStringW(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, 256);
  return FromWide(name);
}

// The address in the form a certificate holds it; empty when it is none.
std::string AddressBytes(const Bytes& text) {
  in_addr v4;
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return std::string(reinterpret_cast<const char*>(&v4), 4);
  }
  in6_addr v6;
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    return std::string(reinterpret_cast<const char*>(&v6), 16);
  }
  return std::string();
}

// Why a chain with these error bits is not trusted.
Bytes ChainErrorText(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate has expired or is not yet valid";
  if (status & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
    return "certificate not valid for server authentication";
  }
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to find the issuer's certificate";
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return "certificate chain ends in an untrusted root";
  return "certificate chain is not valid";
}

// The standard names of the suites a TLS library offers by default today.
struct SuiteName {
  DWORD id;
  const char* name;
};
constexpr SuiteName kSuiteNames[] = {
    {0x1301, "TLS_AES_128_GCM_SHA256"},
    {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
    {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCA9, "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xC009, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA"},
    {0xC00A, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA"},
    {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
    {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
    {0xC023, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256"},
    {0xC024, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384"},
    {0xC027, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"},
    {0xC028, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384"},
    {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
    {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
    {0x0035, "TLS_RSA_WITH_AES_256_CBC_SHA"},
    {0x003C, "TLS_RSA_WITH_AES_128_CBC_SHA256"},
    {0x003D, "TLS_RSA_WITH_AES_256_CBC_SHA256"},
};

// A name whose last part the system could not tell ("..._<unknown>"): the
// authenticated ciphers have one hash each, other names lose the part.
Bytes CompleteSuiteName(Bytes name) {
  static const char kUnknown[] = "_<unknown>";
  const size_t at = name.find(kUnknown);
  if (at == Bytes::npos) return name;
  if (at + sizeof kUnknown - 1 != name.size()) return Bytes();
  name.erase(at);
  struct Hash {
    const char* cipher;
    const char* hash;
  };
  static const Hash kHashes[] = {
      {"AES_128_GCM", "_SHA256"}, {"AES_256_GCM", "_SHA384"}, {"CHACHA20_POLY1305", "_SHA256"}};
  for (const Hash& h : kHashes) {
    const size_t n = std::strlen(h.cipher);
    if (name.size() >= n && name.compare(name.size() - n, n, h.cipher) == 0) return name + h.hash;
  }
  return name;
}

constexpr DWORD kIgnoredChainErrors =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// The SSL policy's check that leaves the name out (the value of the
// flag of the same purpose of the system's HTTP libraries).
constexpr DWORD kIgnoreNameInvalid = 0x00001000;

// The chain engine's configuration up to the exclusive roots' flags, the
// whole structure of the systems that know them; the headers for older
// systems end it before.
struct EngineConfig {
  CERT_CHAIN_ENGINE_CONFIG base;
  DWORD exclusiveFlags;
};

// A chain engine whose only roots are the store's certificates. The whole
// structure first (Wine reads the roots from it alone), then the size of the
// systems that have the roots but not their flags.
bool ExclusiveEngine(HCERTSTORE roots, HCERTCHAINENGINE& engine) {
  static_assert(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE) ==
                    sizeof(CERT_CHAIN_ENGINE_CONFIG),
                "the configuration ends with the exclusive stores");
  EngineConfig config = {};
  config.base.hExclusiveRoot = roots;
  for (const DWORD size :
       {static_cast<DWORD>(sizeof(EngineConfig)), static_cast<DWORD>(sizeof config.base)}) {
    config.base.cbSize = size;
    if (CertCreateCertificateChainEngine(&config.base, &engine)) return true;
  }
  engine = HCCE_CURRENT_USER;
  return false;
}

// What the SSL policy's refusal is.
TlsFailure PolicyFailure(DWORD error, PCCERT_CONTEXT peer) {
  if (error == static_cast<DWORD>(CERT_E_EXPIRED)) {
    return ChainFailure(CERT_TRUST_IS_NOT_TIME_VALID, peer);
  }
  if (error == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) return TlsFailure::NameMismatch;
  return TlsFailure::NotTrusted;
}

}  // namespace

Bytes SystemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  Bytes out;
  if (n > 0 && text) out = FromWide(text);
  if (text) LocalFree(text);
  // One line, without the full stop and line end the system puts after it.
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (out.empty()) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "error 0x%08lX", code);
    out = hex;
  }
  return out;
}

TlsFailure ReadFailure(unsigned long status) {
  switch (status) {
    // What the peer's alerts report: the package names most by the first
    // one, some by the kind of fault the peer found.
    case static_cast<unsigned long>(SEC_E_ILLEGAL_MESSAGE):
    case static_cast<unsigned long>(SEC_E_CERT_UNKNOWN):
    case static_cast<unsigned long>(SEC_E_CERT_EXPIRED):
    case static_cast<unsigned long>(SEC_E_UNTRUSTED_ROOT):
    case static_cast<unsigned long>(SEC_E_WRONG_PRINCIPAL):
    case static_cast<unsigned long>(SEC_E_ALGORITHM_MISMATCH):
    case static_cast<unsigned long>(SEC_E_UNSUPPORTED_FUNCTION):
    case static_cast<unsigned long>(SEC_E_LOGON_DENIED):
    case static_cast<unsigned long>(CRYPT_E_REVOKED):
      return TlsFailure::Alert;
    default:
      break;
  }
  // An altered record (SEC_E_DECRYPT_FAILURE, SEC_E_MESSAGE_ALTERED), one
  // out of place, and whatever else the package cannot read.
  return TlsFailure::Broken;
}

bool IsCloseAlert(long status, bool alertRecord, bool empty, bool wine) {
  if (status == SEC_I_CONTEXT_EXPIRED) return true;
  // Wine's package answers the close alert with success and no data, and
  // fails the call on any other alert (its library reports every other one
  // as an error): there, and only there, an alert record that was
  // authenticated and yields nothing is the close. Elsewhere such a record
  // (a warning) is no end.
  return wine && status == SEC_E_OK && alertRecord && empty;
}

bool UnderWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

bool CertificateNameMatches(const Bytes& pattern, const Bytes& host) {
  const Bytes p = Lower(pattern);
  Bytes h = Lower(host);
  if (!h.empty() && h.back() == '.') h.pop_back();
  if (p.empty() || h.empty()) return false;
  if (p.compare(0, 2, "*.") != 0) return p == h;
  // A wildcard stands for exactly one whole label, and not in a name of
  // fewer than three labels.
  const Bytes suffix = p.substr(1);
  if (suffix.find('*') != Bytes::npos || suffix.find('.', 1) == Bytes::npos) return false;
  const size_t dot = h.find('.');
  return dot != Bytes::npos && dot > 0 && h.substr(dot) == suffix;
}

std::unique_ptr<TlsChannel> TlsChannel::Create(const TlsOptions& options, TlsError& error) {
  std::unique_ptr<TlsChannel> t(new TlsChannel());
  t->client_ = options.role == TlsRole::Client;
  t->verify_ = t->client_ && !options.noVerify;
  SCHANNEL_CRED cred = {};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  if (t->client_) {
    if (t->verify_ && options.serverName.empty() && options.peerAddress.empty()) {
      // Checked against nothing, any trusted certificate would pass.
      Fail(error, TlsFailure::Other, "no server name or address to check the certificate for");
      return nullptr;
    }
    t->target_ = ToWide(options.serverName);
    t->serverName_ = options.serverName;
    t->peerAddress_ = options.peerAddress;
    if (t->verify_ && !options.trustFile.empty()) {
      Bytes pem, reason;
      if (!ReadWholeFile(options.trustFile, pem, reason)) {
        Fail(error, TlsFailure::TrustFile, reason);
        return nullptr;
      }
      t->trust_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
      if (!t->trust_) {
        Fail(error, TlsFailure::Other, SystemErrorText(GetLastError()));
        return nullptr;
      }
      // PEM or DER, one certificate or many.
      if (LoadPemCertificates(pem, t->trust_) == 0 && LoadDerCertificates(pem, t->trust_) == 0) {
        Fail(error, TlsFailure::TrustFile, "no PEM or DER certificates in the file");
        return nullptr;
      }
    }
    // The certificate is checked here, after the handshake, so that each
    // kind of failure can be told apart.
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    // The client's own certificate, for a server that asks for it.
    if (!options.certFile.empty()) {
      if (!LoadPfx(options, t->pfx_, t->serverCert_, error)) return nullptr;
      cred.cCreds = 1;
      cred.paCred = &t->serverCert_;
    }
  } else {
    if (!LoadPfx(options, t->pfx_, t->serverCert_, error)) return nullptr;
    cred.cCreds = 1;
    cred.paCred = &t->serverCert_;
  }
  // Nothing older than TLS 1.2, and strong ciphers only. Where the system
  // knows them, the newer credentials (which allow TLS 1.3); elsewhere the
  // older structure with TLS 1.2 alone.
  cred.dwFlags |= SCH_USE_STRONG_CRYPTO;
  TLS_PARAMETERS floor = {};
  floor.grbitDisabledProtocols = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
  SCH_CREDENTIALS current = {};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = cred.dwFlags;
  current.cCreds = cred.cCreds;
  current.paCred = cred.paCred;
  current.cTlsParameters = 1;
  current.pTlsParameters = &floor;
  const unsigned long direction = t->client_ ? SECPKG_CRED_OUTBOUND : SECPKG_CRED_INBOUND;
  TimeStamp expiry;
  SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), direction, nullptr,
                                &current, nullptr, nullptr, &t->cred_, &expiry);
  if (status != SEC_E_OK) {
    cred.grbitEnabledProtocols = t->client_ ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_2_SERVER;
    status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), direction,
                                       nullptr, &cred, nullptr, nullptr, &t->cred_, &expiry);
  }
  if (status != SEC_E_OK) {
    Fail(error, t->client_ ? TlsFailure::Other : TlsFailure::CertFile,
         SystemErrorText(static_cast<unsigned long>(status)));
    return nullptr;
  }
  t->haveCred_ = true;
  return t;
}

TlsChannel::~TlsChannel() {
  if (haveCtx_) DeleteSecurityContext(&ctx_);
  if (haveCred_) FreeCredentialsHandle(&cred_);
  if (serverCert_) CertFreeCertificateContext(serverCert_);
  if (pfx_) {
    // The credentials are freed: the stored keys go now.
    DeleteImportedKeys(pfx_);
    CertCloseStore(pfx_, 0);
  }
  if (trust_) CertCloseStore(trust_, 0);
  WipePlain();
}

// One call of the package's handshake function; the token it makes goes to
// the outgoing bytes.
SECURITY_STATUS TlsChannel::Token(bool withInput, SecBuffer* inBuffers, SecBuffer& outBuffer) {
  SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
  SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuffer};
  outBuffer = {0, SECBUFFER_TOKEN, nullptr};
  DWORD attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status;
  if (client_) {
    status = InitializeSecurityContextW(&cred_, haveCtx_ ? &ctx_ : nullptr,
                                        target_.empty() ? nullptr : &target_[0], kClientFlags, 0, 0,
                                        withInput ? &inDesc : nullptr, 0,
                                        haveCtx_ ? nullptr : &ctx_, &outDesc, &attributes, &expiry);
  } else {
    status = AcceptSecurityContext(&cred_, haveCtx_ ? &ctx_ : nullptr,
                                   withInput ? &inDesc : nullptr, kServerFlags, 0,
                                   haveCtx_ ? nullptr : &ctx_, &outDesc, &attributes, &expiry);
  }
  if (!haveCtx_ && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                    status == SEC_I_INCOMPLETE_CREDENTIALS)) {
    haveCtx_ = true;
  }
  if (outBuffer.pvBuffer) {
    AppendOutgoing(static_cast<const char*>(outBuffer.pvBuffer), outBuffer.cbBuffer);
    FreeContextBuffer(outBuffer.pvBuffer);
    outBuffer.pvBuffer = nullptr;
  }
  return status;
}

TlsStatus TlsChannel::Handshake(TlsError& error) {
  if (Established()) return TlsStatus::Done;
  for (int round = 0; round < kMaxRounds; ++round) {
    // The client speaks first; after that, and for the server from the
    // start, nothing moves without bytes from the peer.
    const bool first = client_ && !haveCtx_;
    if (!first && in_.empty()) return TlsStatus::Pending;
    // What comes in begins with a record: its type and the major version
    // tell bytes that are no TLS at once, rather than after the length
    // they seem to announce has arrived.
    if (!first && !tlslink::CanBeginRecord(in_.data(), in_.size())) {
      Fail(error, TlsFailure::Handshake, "not a TLS record");
      return TlsStatus::Failed;
    }
    if (!first) NoteClearRecords();
    SecBuffer inBuffers[2] = {
        {static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN, first ? nullptr : &in_[0]},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer outBuffer;
    const SECURITY_STATUS status = Token(!first, inBuffers, outBuffer);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return TlsStatus::Pending;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      // The server asks for the client's certificate and the package wants
      // the same bytes again, going on with the credentials it has (the
      // ClientCert, or none: the server then answers as it will). Once only.
      if (credentialsAsked_) {
        Fail(error, HandshakeFailure(), SystemErrorText(static_cast<unsigned long>(status)));
        return TlsStatus::Failed;
      }
      credentialsAsked_ = true;
      continue;
    }
    if (!first) {
      if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0 &&
          inBuffers[1].cbBuffer <= in_.size()) {
        in_.erase(0, in_.size() - inBuffers[1].cbBuffer);
      } else {
        in_.clear();
      }
    }
    if (status == SEC_E_OK) {
      if (!FetchSizes()) {
        Fail(error, TlsFailure::Other, SystemErrorText(GetLastError()));
        return TlsStatus::Failed;
      }
      if (!CheckProtocol(error)) return TlsStatus::Failed;
      if (verify_ && Verify(error) != TlsStatus::Done) return TlsStatus::Failed;
      MarkEstablished();
      return TlsStatus::Done;
    }
    if (status == SEC_I_CONTINUE_NEEDED) continue;
    Fail(error, HandshakeFailure(), SystemErrorText(static_cast<unsigned long>(status)));
    return TlsStatus::Failed;
  }
  return TlsStatus::Pending;
}

void TlsChannel::NoteClearRecords() {
  const int hello = tlslink::HelloVersion(in_.data(), in_.size());
  if (hello >= 0 && peerHello_ < 0) peerHello_ = hello;
  const int alert = tlslink::ClearAlert(in_.data(), in_.size());
  if (alert >= 0) peerAlert_ = alert;
}

// A failed handshake whose peer chose or offered an older protocol, or said
// that it speaks none of ours, failed for the protocol.
TlsFailure TlsChannel::HandshakeFailure() const {
  if ((peerHello_ >= 0 && peerHello_ < tlslink::kTls12) ||
      peerAlert_ == tlslink::kProtocolVersionAlert) {
    return TlsFailure::Version;
  }
  return TlsFailure::Handshake;
}

bool TlsChannel::CheckProtocol(TlsError& error) {
  static constexpr DWORD kOlder = SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1;
  SecPkgContext_ConnectionInfo info = {};
  int older = -1;
  if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    if ((info.dwProtocol & kOlder) != 0) {
      older = (info.dwProtocol & SP_PROT_TLS1_1)   ? tlslink::kTls11
              : (info.dwProtocol & SP_PROT_TLS1_0) ? tlslink::kTls10
                                                   : tlslink::kSsl3;
    }
  } else if (peerHello_ >= 0 && peerHello_ < tlslink::kTls12) {
    // A system that does not tell the protocol: the hello did.
    older = peerHello_;
  }
  if (older < 0) return true;
  // The peer learns why: the protocol's own alert, as the handshake would
  // have sent it.
  SCHANNEL_ALERT_TOKEN alert = {SCHANNEL_ALERT, TLS1_ALERT_FATAL, TLS1_ALERT_PROTOCOL_VERSION};
  SecBuffer token = {sizeof alert, SECBUFFER_TOKEN, &alert};
  SecBufferDesc desc = {SECBUFFER_VERSION, 1, &token};
  if (ApplyControlToken(&ctx_, &desc) == SEC_E_OK) {
    SecBuffer inBuffers[2] = {{0, SECBUFFER_EMPTY, nullptr}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer outBuffer;
    Token(false, inBuffers, outBuffer);
  }
  return Fail(error, TlsFailure::Version,
              Bytes("unsupported protocol ") + tlslink::VersionName(older));
}

bool TlsChannel::FetchSizes() {
  const SECURITY_STATUS status = QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
  if (status != SEC_E_OK) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  return sizes_.cbMaximumMessage > 0;
}

TlsStatus TlsChannel::Verify(TlsError& error) {
  PCCERT_CONTEXT peer = nullptr;
  if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) != SEC_E_OK || !peer) {
    Fail(error, TlsFailure::NotTrusted, "no certificate from the server");
    return TlsStatus::Failed;
  }
  // The chain is built from what the server sent and the Trust file over the
  // system's stores; with a Trust file the engine's roots are its
  // certificates and nothing else.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra) {
    if (peer->hCertStore) CertAddStoreToCollection(extra, peer->hCertStore, 0, 0);
    if (trust_) CertAddStoreToCollection(extra, trust_, 0, 0);
  }
  HCERTCHAINENGINE engine = HCCE_CURRENT_USER;
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  TlsStatus result = TlsStatus::Done;
  if (trust_ && !ExclusiveEngine(trust_, engine)) {
    Fail(error, TlsFailure::Other, SystemErrorText(GetLastError()));
    result = TlsStatus::Failed;
  } else if (!CertGetCertificateChain(engine, peer, nullptr, extra, &para, 0, nullptr, &chain) ||
             !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
    Fail(error, TlsFailure::NotTrusted, SystemErrorText(GetLastError()));
    result = TlsStatus::Failed;
  } else if (trust_) {
    // The chain must end at a root of the Trust file: a certificate of the
    // file further down (the server's own, an intermediate one) anchors
    // nothing. The engine says so too; the check by hand holds where the
    // system's engine lets other roots pass.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    DWORD status = simple->TrustStatus.dwErrorStatus;
    for (DWORD i = 0; i < simple->cElement; ++i) {
      status |= simple->rgpElement[i]->TrustStatus.dwErrorStatus;
    }
    PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
    PCCERT_CONTEXT known =
        CertFindCertificateInStore(trust_, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, top, nullptr);
    const bool anchored = known != nullptr && (status & CERT_TRUST_IS_PARTIAL_CHAIN) == 0 &&
                          CertCompareCertificateName(X509_ASN_ENCODING, &top->pCertInfo->Subject,
                                                     &top->pCertInfo->Issuer);
    if (known) CertFreeCertificateContext(known);
    status &= ~(kIgnoredChainErrors | CERT_TRUST_IS_UNTRUSTED_ROOT);
    if (!anchored) {
      Fail(error, TlsFailure::NotTrusted, "unable to find the issuer's certificate");
      result = TlsStatus::Failed;
    } else if (status != 0) {
      Fail(error, ChainFailure(status, peer), ChainErrorText(status));
      result = TlsStatus::Failed;
    }
  } else {
    const DWORD status = chain->TrustStatus.dwErrorStatus & ~kIgnoredChainErrors;
    if (status != 0) {
      Fail(error, ChainFailure(status, peer), ChainErrorText(status));
      result = TlsStatus::Failed;
    }
  }
  if (result == TlsStatus::Done) result = CheckName(peer, error);
  if (result == TlsStatus::Done) result = CheckPolicy(chain, peer, error);
  if (chain) CertFreeCertificateChain(chain);
  if (engine != HCCE_CURRENT_USER) CertFreeCertificateChainEngine(engine);
  if (extra) CertCloseStore(extra, 0);
  CertFreeCertificateContext(peer);
  return result;
}

// The names of the certificate, by hand: the system's check of a name has
// differed between versions (and Wine's), and an address is checked here
// alone.
TlsStatus TlsChannel::CheckName(PCCERT_CONTEXT peer, TlsError& error) const {
  const AltNames names = AltNamesOf(peer);
  bool matched = false;
  if (!serverName_.empty()) {
    for (const Bytes& n : names.dns) matched = matched || CertificateNameMatches(n, serverName_);
    // The subject's common name counts only without names of the other kind.
    if (names.dns.empty()) matched = CertificateNameMatches(CommonNameOf(peer), serverName_);
    if (!matched) Fail(error, TlsFailure::NameMismatch, "hostname mismatch");
  } else {
    const std::string address = AddressBytes(peerAddress_);
    for (const std::string& ip : names.ips)
      matched = matched || (!address.empty() && ip == address);
    if (!matched) Fail(error, TlsFailure::NameMismatch, "IP address mismatch");
  }
  return matched ? TlsStatus::Done : TlsStatus::Failed;
}

// The system's own judgement of the chain for a server of this name, after
// the checks by hand: what they let pass, it may still refuse.
TlsStatus TlsChannel::CheckPolicy(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT peer,
                                  TlsError& error) const {
  std::wstring name = ToWide(serverName_);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  // An address is no name the system checks: the check by hand did.
  if (name.empty()) ssl.fdwChecks = kIgnoreNameInvalid;
  ssl.pwszServerName = name.empty() ? nullptr : &name[0];
  CERT_CHAIN_POLICY_PARA para = {};
  para.cbSize = sizeof para;
  para.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  para.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)) {
    Fail(error, TlsFailure::NotTrusted, SystemErrorText(GetLastError()));
    return TlsStatus::Failed;
  }
  if (status.dwError == 0) return TlsStatus::Done;
  Fail(error, PolicyFailure(status.dwError, peer), SystemErrorText(status.dwError));
  return TlsStatus::Failed;
}

TlsChannel::Input TlsChannel::Decrypt(size_t limit) {
  if (!Established()) return InputState();
  while (InputState() == Input::Open && PlainSize() < limit && !in_.empty()) {
    SecBuffer buffers[4] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_DATA, &in_[0]},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    // Bytes that are no record fail at once, rather than once the length
    // they seem to announce has come.
    if (!tlslink::CanBeginRecord(in_.data(), in_.size())) {
      EndInput(Input::Broken, "not a TLS record");
      break;
    }
    // Each call takes one record; its type is in the clear before TLS 1.3.
    const bool alertRecord = static_cast<unsigned char>(in_[0]) == tlslink::kAlertRecord;
    SECURITY_STATUS status = DecryptMessage(&ctx_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) break;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      const unsigned long code = static_cast<unsigned long>(status);
      EndInput(Input::Broken, SystemErrorText(code), ReadFailure(code));
      break;
    }
    // The plaintext lies inside the input, the rest after it.
    Bytes data, rest;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.pvBuffer && b.cbBuffer > 0) {
        data.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      } else if (b.BufferType == SECBUFFER_EXTRA && b.pvBuffer && b.cbBuffer > 0) {
        rest.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
    }
    AppendPlain(data.data(), data.size());
    in_.swap(rest);
    if (IsCloseAlert(status, alertRecord, data.empty(), UnderWine())) {
      EndInput(Input::Closed);
    } else if (status == SEC_I_RENEGOTIATE) {
      // A message of the handshake after it (a session ticket, a key
      // update): the handshake function takes it.
      SecBuffer inBuffers[2] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN,
                                 in_.empty() ? nullptr : &in_[0]},
                                {0, SECBUFFER_EMPTY, nullptr}};
      SecBuffer outBuffer;
      const SECURITY_STATUS again = Token(true, inBuffers, outBuffer);
      if (again != SEC_E_OK && again != SEC_I_CONTINUE_NEEDED) {
        EndInput(Input::Broken, SystemErrorText(static_cast<unsigned long>(again)));
        break;
      }
      if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0 &&
          inBuffers[1].cbBuffer <= in_.size()) {
        in_.erase(0, in_.size() - inBuffers[1].cbBuffer);
      } else {
        in_.clear();
      }
    }
  }
  return InputState();
}

bool TlsChannel::Write(const char* data, size_t len) {
  if (!Established()) return false;
  std::vector<char> record;
  while (len > 0) {
    const size_t n = len < sizes_.cbMaximumMessage ? len : sizes_.cbMaximumMessage;
    record.assign(sizes_.cbHeader + n + sizes_.cbTrailer, 0);
    std::memcpy(record.data() + sizes_.cbHeader, data, n);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&ctx_, 0, &desc, 0) != SEC_E_OK) return false;
    AppendOutgoing(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    data += n;
    len -= n;
  }
  return true;
}

void TlsChannel::Close() {
  if (!Established() || closeSent_) return;
  closeSent_ = true;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer token = {sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc desc = {SECBUFFER_VERSION, 1, &token};
  if (ApplyControlToken(&ctx_, &desc) != SEC_E_OK) return;
  SecBuffer inBuffers[2] = {{0, SECBUFFER_EMPTY, nullptr}, {0, SECBUFFER_EMPTY, nullptr}};
  SecBuffer outBuffer;
  Token(false, inBuffers, outBuffer);
}

bool TlsChannel::Describe(Bytes& protocol, Bytes& cipher) const {
  if (!Established()) return false;
  CtxtHandle* ctx = const_cast<CtxtHandle*>(&ctx_);
  SecPkgContext_ConnectionInfo info = {};
  protocol = "?";
  if (QueryContextAttributesW(ctx, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    const DWORD p = info.dwProtocol;
    if (p & SP_PROT_TLS1_3) {
      protocol = "TLSv1.3";
    } else if (p & SP_PROT_TLS1_2) {
      protocol = "TLSv1.2";
    } else if (p & SP_PROT_TLS1_1) {
      protocol = "TLSv1.1";
    } else if (p & SP_PROT_TLS1_0) {
      protocol = "TLSv1";
    } else if (p & SP_PROT_SSL3) {
      protocol = "SSLv3";
    }
  }
  SecPkgContext_CipherInfo suite = {};
  suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  cipher = "?";
  if (QueryContextAttributesW(ctx, SECPKG_ATTR_CIPHER_INFO, &suite) != SEC_E_OK) return true;
  // The suite's number names it; the system's own name where the table
  // does not know the number and the name is whole.
  for (const SuiteName& known : kSuiteNames) {
    if (known.id == suite.dwCipherSuite) {
      cipher = known.name;
      return true;
    }
  }
  const Bytes name = CompleteSuiteName(FromWide(suite.szCipherSuite));
  if (!name.empty()) {
    cipher = name;
  } else if (suite.dwCipherSuite != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%04lX", static_cast<unsigned long>(suite.dwCipherSuite));
    cipher = hex;
  }
  return true;
}

}  // namespace tv::win
