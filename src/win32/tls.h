// One TLS session of the system's security package over memory buffers: the
// bytes from the peer go in, the bytes for the peer come out, and the socket
// layer moves them. Nothing here touches a socket, so a test can play both
// ends in memory.
#pragma once

#include "win32/winapi.h"

#define SECURITY_WIN32
#include <security.h>
// The newer credentials (SCH_CREDENTIALS) and their UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>
#include <wincrypt.h>

#include <cstddef>
#include <memory>
#include <string>

#include "host/host.h"
#include "tlslink/session.h"

namespace tv::win {

class TlsChannel final : public tlslink::Session {
 public:
  // Null, with error filled, when the options' files cannot be used or the
  // system refuses the credentials.
  static std::unique_ptr<TlsChannel> Create(const TlsOptions& options, TlsError& error);
  ~TlsChannel() override;

  void PutIncoming(const char* data, size_t len) override { in_.append(data, len); }
  size_t IncomingSize() const { return in_.size(); }
  // Pending when the handshake needs more from the peer.
  TlsStatus Handshake(TlsError& error) override;
  Input Decrypt(size_t limit) override;
  bool Write(const char* data, size_t len) override;
  void Close() override;
  bool Describe(Bytes& protocol, Bytes& cipher) const override;

 private:
  TlsChannel() = default;
  SECURITY_STATUS Token(bool withInput, SecBuffer* inBuffers, SecBuffer& outBuffer);
  TlsStatus Verify(TlsError& error);
  TlsStatus CheckName(PCCERT_CONTEXT peer, TlsError& error) const;
  TlsStatus CheckPolicy(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT peer, TlsError& error) const;
  // Refuses a protocol older than TLS 1.2, which some systems let through.
  bool CheckProtocol(TlsError& error);
  // What the peer's hello and alerts said in the clear so far.
  void NoteClearRecords();
  TlsFailure HandshakeFailure() const;
  bool FetchSizes();

  CredHandle cred_ = {};
  CtxtHandle ctx_ = {};
  bool haveCred_ = false;
  bool haveCtx_ = false;
  bool client_ = true;
  bool verify_ = false;
  bool closeSent_ = false;
  bool credentialsAsked_ = false;  // the server asked for the client's certificate
  int peerHello_ = -1;             // the version of the peer's hello, when seen
  int peerAlert_ = -1;             // the alert it sent in the clear, when one came
  std::wstring target_;            // the name sent (SNI), empty for none
  Bytes serverName_;               // what the certificate must name
  Bytes peerAddress_;              // or this address
  HCERTSTORE trust_ = nullptr;     // the Trust file's certificates
  HCERTSTORE pfx_ = nullptr;       // the server's (or the client's) certificate file
  PCCERT_CONTEXT serverCert_ = nullptr;
  SecPkgContext_StreamSizes sizes_ = {};
  Bytes in_;
};

// Whether a name from a certificate (a DNS name, perhaps with a wildcard as
// its whole first label) covers host; both compared without regard to case.
bool CertificateNameMatches(const Bytes& pattern, const Bytes& host);

// What a record that the system refuses to decrypt is: a fatal alert from
// the peer when the system's status names what such an alert reports, else a
// record that cannot be read.
TlsFailure ReadFailure(unsigned long status);

// Whether DecryptMessage's status for one record is the peer's close alert,
// the record being an alert record by its clear type (TLS 1.2) that yielded
// no data (empty).
bool IsCloseAlert(long status, bool alertRecord, bool empty, bool wine);

// Whether this is Wine, whose security package differs from the system's in
// places.
bool UnderWine();

// The system's words for an error code (a security or socket status), one
// line; the code in hexadecimal when the system has none.
Bytes SystemErrorText(unsigned long code);

}  // namespace tv::win
