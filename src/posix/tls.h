// One TLS session over memory buffers: the bytes from the peer go in, the
// bytes for the peer come out, and the socket layer moves them. Nothing here
// touches a socket, so a test can play the peer from memory.
#pragma once

#include <memory>

#include "host/host.h"
#include "tlslink/session.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace tv::posix {

class TlsSession final : public tlslink::Session {
 public:
  // Null, with error filled, when the options' files cannot be used or the
  // library fails.
  static std::unique_ptr<TlsSession> Create(const TlsOptions& options, TlsError& error);
  ~TlsSession() override;

  void PutIncoming(const char* data, size_t len) override;
  TlsStatus Handshake(TlsError& error) override;
  Input Decrypt(size_t limit) override;
  bool Write(const char* data, size_t len) override;
  void Close() override;
  bool Describe(Bytes& protocol, Bytes& cipher) const override;

 private:
  TlsSession() = default;
  void DrainOutgoing();
  void Classify(TlsError& error);

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;      // owned by ssl_
  BIO* outBio_ = nullptr;  // owned by ssl_
  bool client_ = true;
  bool verify_ = false;
  bool closeSent_ = false;
};

}  // namespace tv::posix
