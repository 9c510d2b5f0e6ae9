#include "posix/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix/charset.h"

namespace tv::posix {

namespace {

using tlslink::kChunk;

// A file of trusted certificates larger than this is none.
constexpr size_t kTrustFileLimit = 16u << 20;

// The reason of the last failure the library queued, then the queue emptied;
// code gets the failure's own code.
Bytes LibraryReason(unsigned long* code = nullptr) {
  unsigned long last = 0;
  while (unsigned long e = ERR_get_error()) last = e;
  if (code) *code = last;
  if (last == 0) return Bytes();
  if (const char* r = ERR_reason_error_string(last)) return r;
  char text[256];
  ERR_error_string_n(last, text, sizeof text);
  return text;
}

bool Fail(TlsError& error, TlsFailure failure, const Bytes& reason) {
  error.failure = failure;
  error.reason = reason;
  return false;
}

// Passwords are Windows-1250 text; the file format keeps them as Unicode,
// which the library takes from UTF-8.
std::string PasswordUtf8(const Bytes& cp1250) {
  std::string out;
  for (unsigned char c : cp1250) AppendUtf8(out, Cp1250ToUnicode(c));
  return out;
}

OSSL_PROVIDER* legacyProvider = nullptr;

void UnloadLegacyProvider() {
  OSSL_PROVIDER_unload(legacyProvider);
}

// Files written by older tools, and by Windows for the certificates, are
// encrypted with RC2, which the library keeps apart as a legacy algorithm.
// Loaded once, beside the default algorithms; where it is not installed
// such a file fails with the library's reason. The library's own end at exit
// leaves a provider loaded so behind: it is unloaded before.
void AllowLegacyFileCiphers() {
  static bool tried = false;
  if (!tried) {
    tried = true;
    legacyProvider = OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    if (legacyProvider) std::atexit(UnloadLegacyProvider);
  }
  ERR_clear_error();
}

bool LoadPkcs12(SSL_CTX* ctx, const TlsOptions& options, TlsError& error) {
  AllowLegacyFileCiphers();
  const std::string path = FileNameToUtf8(options.certFile);
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return Fail(error, TlsFailure::CertFile, std::strerror(errno));
  PKCS12* p12 = d2i_PKCS12_fp(f, nullptr);
  std::fclose(f);
  if (!p12) return Fail(error, TlsFailure::CertFile, LibraryReason());
  const std::string password = PasswordUtf8(options.password);
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  bool ok = PKCS12_parse(p12, password.c_str(), &key, &cert, &chain) == 1;
  if (!ok) {
    const Bytes reason = LibraryReason();
    const bool macFails = PKCS12_mac_present(p12) &&
                          PKCS12_verify_mac(p12, password.c_str(), -1) != 1 &&
                          (!password.empty() || PKCS12_verify_mac(p12, nullptr, 0) != 1);
    ERR_clear_error();
    PKCS12_free(p12);
    return Fail(error, macFails ? TlsFailure::Password : TlsFailure::CertFile, reason);
  }
  PKCS12_free(p12);
  if (!key || !cert) {
    ok = Fail(error, TlsFailure::CertFile, "no certificate or no private key in the file");
  } else if (SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1 ||
             SSL_CTX_check_private_key(ctx) != 1) {
    ok = Fail(error, TlsFailure::CertFile, LibraryReason());
  } else {
    for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
      SSL_CTX_add1_chain_cert(ctx, sk_X509_value(chain, i));
    }
  }
  EVP_PKEY_free(key);
  X509_free(cert);
  sk_X509_pop_free(chain, X509_free);
  return ok;
}

bool SetUpClient(SSL_CTX* ctx, const TlsOptions& options, TlsError& error) {
  if (options.noVerify) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return true;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (options.trustFile.empty()) {
    // The default paths follow SSL_CERT_FILE and SSL_CERT_DIR.
    if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
      return Fail(error, TlsFailure::Other, LibraryReason());
    }
    return true;
  }
  const std::string path = FileNameToUtf8(options.trustFile);
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return Fail(error, TlsFailure::TrustFile, std::strerror(errno));
  // PEM, one certificate or many.
  if (SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr) == 1) {
    std::fclose(f);
    return true;
  }
  ERR_clear_error();
  // DER, as Windows exports a certificate (.cer): one, or several in a row.
  std::string der;
  char buf[4096];
  size_t n;
  while (der.size() <= kTrustFileLimit && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    der.append(buf, n);
  }
  std::fclose(f);
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  int count = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* const end = p + der.size();
  while (der.size() <= kTrustFileLimit && p < end) {
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(end - p));
    if (!x) break;
    if (X509_STORE_add_cert(store, x) == 1) ++count;
    X509_free(x);
  }
  ERR_clear_error();
  if (count == 0 || p != end) {
    return Fail(error, TlsFailure::TrustFile, "no PEM or DER certificates in the file");
  }
  return true;
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Create(const TlsOptions& options, TlsError& error) {
  ERR_clear_error();
  std::unique_ptr<TlsSession> t(new TlsSession());
  t->client_ = options.role == TlsRole::Client;
  t->verify_ = t->client_ && !options.noVerify;
  t->ctx_ = SSL_CTX_new(t->client_ ? TLS_client_method() : TLS_server_method());
  if (!t->ctx_) {
    Fail(error, TlsFailure::Other, LibraryReason());
    return nullptr;
  }
  // Nothing older than TLS 1.2, whatever the library's defaults.
  SSL_CTX_set_min_proto_version(t->ctx_, TLS1_2_VERSION);
  const bool ready = t->client_
                         ? SetUpClient(t->ctx_, options, error) &&
                               (options.certFile.empty() || LoadPkcs12(t->ctx_, options, error))
                         : LoadPkcs12(t->ctx_, options, error);
  if (!ready) return nullptr;
  t->ssl_ = SSL_new(t->ctx_);
  t->in_ = BIO_new(BIO_s_mem());
  t->outBio_ = BIO_new(BIO_s_mem());
  if (!t->ssl_ || !t->in_ || !t->outBio_) {
    BIO_free(t->in_);
    BIO_free(t->outBio_);
    t->in_ = t->outBio_ = nullptr;
    Fail(error, TlsFailure::Other, LibraryReason());
    return nullptr;
  }
  SSL_set_bio(t->ssl_, t->in_, t->outBio_);
  if (t->client_) {
    SSL_set_connect_state(t->ssl_);
    bool named = true;
    // A wildcard stands for a whole label ("*.example.com"), never a part
    // of one ("f*.example.com").
    SSL_set_hostflags(t->ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (t->verify_ && options.serverName.empty() && options.peerAddress.empty()) {
      // Checked against nothing, any trusted certificate would pass.
      Fail(error, TlsFailure::Other, "no server name or address to check the certificate for");
      return nullptr;
    }
    if (!options.serverName.empty()) {
      named = SSL_set_tlsext_host_name(t->ssl_, options.serverName.c_str()) == 1;
      if (named && t->verify_) named = SSL_set1_host(t->ssl_, options.serverName.c_str()) == 1;
    } else if (!options.peerAddress.empty() && t->verify_) {
      named =
          X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t->ssl_), options.peerAddress.c_str()) == 1;
    }
    if (!named) {
      Fail(error, TlsFailure::Other, LibraryReason());
      return nullptr;
    }
  } else {
    SSL_set_accept_state(t->ssl_);
  }
  return t;
}

TlsSession::~TlsSession() {
  SSL_free(ssl_);  // frees both BIOs
  SSL_CTX_free(ctx_);
}

void TlsSession::PutIncoming(const char* data, size_t len) {
  while (len > 0) {
    const int n = BIO_write(in_, data, static_cast<int>(len > kChunk ? kChunk : len));
    if (n <= 0) return;
    data += n;
    len -= static_cast<size_t>(n);
  }
}

void TlsSession::DrainOutgoing() {
  char buf[kChunk];
  int n;
  while ((n = BIO_read(outBio_, buf, sizeof buf)) > 0) AppendOutgoing(buf, static_cast<size_t>(n));
}

void TlsSession::Classify(TlsError& error) {
  const long verified = SSL_get_verify_result(ssl_);
  if (verify_ && verified != X509_V_OK) {
    ERR_clear_error();
    TlsFailure failure = TlsFailure::NotTrusted;
    if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH ||
        verified == X509_V_ERR_EMAIL_MISMATCH) {
      failure = TlsFailure::NameMismatch;
    } else if (verified == X509_V_ERR_CERT_HAS_EXPIRED) {
      failure = TlsFailure::Expired;
    } else if (verified == X509_V_ERR_CERT_NOT_YET_VALID) {
      failure = TlsFailure::NotYetValid;
    }
    Fail(error, failure, X509_verify_cert_error_string(verified));
    return;
  }
  unsigned long code = 0;
  const Bytes reason = LibraryReason(&code);
  // The peer's protocol is older than the floor: refused by either side.
  const int why = ERR_GET_LIB(code) == ERR_LIB_SSL ? ERR_GET_REASON(code) : 0;
  const bool version = why == SSL_R_UNSUPPORTED_PROTOCOL || why == SSL_R_VERSION_TOO_LOW ||
                       why == SSL_R_WRONG_SSL_VERSION || why == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION;
  Fail(error, version ? TlsFailure::Version : TlsFailure::Handshake, reason);
}

TlsStatus TlsSession::Handshake(TlsError& error) {
  if (Established()) return TlsStatus::Done;
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl_);
  const int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
  TlsStatus status = TlsStatus::Done;
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
    status = TlsStatus::Pending;
  } else if (e != SSL_ERROR_NONE) {
    Classify(error);
    status = TlsStatus::Failed;
  } else {
    MarkEstablished();
  }
  DrainOutgoing();  // also the alert that tells the peer why it failed
  return status;
}

TlsSession::Input TlsSession::Decrypt(size_t limit) {
  if (!Established()) return InputState();
  char buf[kChunk];
  while (InputState() == Input::Open && PlainSize() < limit) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buf, sizeof buf);
    if (n > 0) {
      AppendPlain(buf, static_cast<size_t>(n));
      continue;
    }
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
    if (e == SSL_ERROR_ZERO_RETURN) {
      EndInput(Input::Closed);
    } else {
      // A record that cannot be read, or the peer's fatal alert. The end of
      // the socket's data without the close alert is the link's to see: the
      // memory buffer never tells the library of it.
      unsigned long code = 0;
      const Bytes reason = LibraryReason(&code);
      const bool alert = ERR_GET_LIB(code) == ERR_LIB_SSL &&
                         ERR_GET_REASON(code) >= SSL_AD_REASON_OFFSET &&
                         ERR_GET_REASON(code) < SSL_AD_REASON_OFFSET + 256;
      EndInput(Input::Broken, reason, alert ? TlsFailure::Alert : TlsFailure::Broken);
    }
  }
  DrainOutgoing();  // answers to records that are not data
  return InputState();
}

bool TlsSession::Write(const char* data, size_t len) {
  if (!Established()) return false;
  while (len > 0) {
    ERR_clear_error();
    const int n = SSL_write(ssl_, data, static_cast<int>(len > kChunk ? kChunk : len));
    if (n <= 0) {
      DrainOutgoing();
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
    DrainOutgoing();
  }
  return true;
}

void TlsSession::Close() {
  if (!Established() || closeSent_) return;
  closeSent_ = true;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
  DrainOutgoing();
}

bool TlsSession::Describe(Bytes& protocol, Bytes& cipher) const {
  if (!Established()) return false;
  protocol = SSL_get_version(ssl_);
  const SSL_CIPHER* c = SSL_get_current_cipher(ssl_);
  const char* name = c ? SSL_CIPHER_standard_name(c) : nullptr;
  if (!name && c) name = SSL_CIPHER_get_name(c);
  cipher = name ? name : "?";
  return true;
}

}  // namespace tv::posix
