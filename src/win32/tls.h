// One TLS session of the system's security package over memory buffers: the
// bytes from the peer go in, the bytes for the peer come out, and the socket
// layer moves them. Nothing here touches a socket, so a test can play both
// ends in memory.
#pragma once

#include "win32/winapi.h"

#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
#include <wincrypt.h>

#include <cstddef>
#include <memory>
#include <string>

#include "host/host.h"

namespace tv::win {

class TlsChannel {
 public:
  // Null, with error filled, when the options' files cannot be used or the
  // system refuses the credentials.
  static std::unique_ptr<TlsChannel> Create(const TlsOptions& options, TlsError& error);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Bytes from the peer.
  void PutIncoming(const char* data, size_t len) { in_.append(data, len); }
  size_t IncomingSize() const { return in_.size(); }
  // Bytes for the peer, produced by the calls below and not yet taken.
  size_t OutgoingSize() const { return out_.size() - outTaken_; }
  const char* OutgoingData() const { return out_.data() + outTaken_; }
  void TakeOutgoing(size_t n);

  // One step of the handshake with what has come in. Pending when it needs
  // more from the peer.
  TlsStatus Handshake(TlsError& error);
  bool Established() const { return established_; }

  // After the handshake: decrypts what has come in, until the plaintext held
  // reaches limit. The plaintext waits in the channel until taken.
  enum class Input { Open, Closed, Broken };
  Input Decrypt(size_t limit);
  Input InputState() const { return input_; }
  size_t PlainSize() const { return plain_.size() - plainTaken_; }
  // Moves up to len plaintext bytes to buf; returns how many.
  size_t TakePlain(char* buf, size_t len);
  const Bytes& BrokenReason() const { return brokenReason_; }

  // Encrypts all of data into the outgoing bytes.
  bool Write(const char* data, size_t len);
  // The close alert into the outgoing bytes (once, after the handshake).
  void Close();
  bool Describe(Bytes& protocol, Bytes& cipher) const;

 private:
  TlsChannel() = default;
  SECURITY_STATUS Token(bool withInput, SecBuffer* inBuffers, SecBuffer& outBuffer);
  TlsStatus Verify(TlsError& error);
  bool FetchSizes();

  CredHandle cred_ = {};
  CtxtHandle ctx_ = {};
  bool haveCred_ = false;
  bool haveCtx_ = false;
  bool client_ = true;
  bool verify_ = false;
  bool established_ = false;
  bool closeSent_ = false;
  std::wstring target_;         // the name sent (SNI), empty for none
  Bytes serverName_;            // what the certificate must name
  Bytes peerAddress_;           // or this address
  HCERTSTORE trust_ = nullptr;  // the Trust file's certificates
  HCERTSTORE pfx_ = nullptr;    // the server's certificate file
  PCCERT_CONTEXT serverCert_ = nullptr;
  SecPkgContext_StreamSizes sizes_ = {};
  Input input_ = Input::Open;
  Bytes in_;
  Bytes out_;
  size_t outTaken_ = 0;
  Bytes plain_;
  size_t plainTaken_ = 0;
  Bytes brokenReason_;
};

// Whether a name from a certificate (a DNS name, perhaps with a wildcard as
// its whole first label) covers host; both compared without regard to case.
bool CertificateNameMatches(const Bytes& pattern, const Bytes& host);

// The system's words for an error code (a security or socket status), one
// line; the code in hexadecimal when the system has none.
Bytes SystemErrorText(unsigned long code);

}  // namespace tv::win
