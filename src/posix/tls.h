// One TLS session over memory buffers: the bytes from the peer go in, the
// bytes for the peer come out, and the socket layer moves them. Nothing here
// touches a socket, so a test can play the peer from memory.
#pragma once

#include <cstddef>
#include <memory>

#include "host/host.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace tv::posix {

class TlsSession {
 public:
  // Null, with error filled, when the options' files cannot be used or the
  // library fails.
  static std::unique_ptr<TlsSession> Create(const TlsOptions& options, TlsError& error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Bytes from the peer.
  void PutIncoming(const char* data, size_t len);
  // Bytes for the peer, produced by the calls below and not yet taken.
  size_t OutgoingSize() const { return out_.size() - outTaken_; }
  const char* OutgoingData() const { return out_.data() + outTaken_; }
  void TakeOutgoing(size_t n);

  // One step of the handshake with what has come in.
  TlsStatus Handshake(TlsError& error);
  bool Established() const { return established_; }

  // After the handshake: decrypts what has come in, until the plaintext held
  // reaches limit. The plaintext waits in Plain().
  enum class Input { Open, Closed, Broken };
  Input Decrypt(size_t limit);
  Input InputState() const { return input_; }
  size_t PlainSize() const { return plain_.size() - plainTaken_; }
  // Moves up to len plaintext bytes to buf; returns how many.
  size_t TakePlain(char* buf, size_t len);
  // Why the input broke (the library's text).
  const Bytes& BrokenReason() const { return brokenReason_; }

  // Encrypts all of data into the outgoing bytes.
  bool Write(const char* data, size_t len);
  // The close alert into the outgoing bytes (once, after the handshake).
  void Close();
  bool Describe(Bytes& protocol, Bytes& cipher) const;

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
  bool established_ = false;
  bool closeSent_ = false;
  Input input_ = Input::Open;
  Bytes out_;
  size_t outTaken_ = 0;
  Bytes plain_;
  size_t plainTaken_ = 0;
  Bytes brokenReason_;
};

}  // namespace tv::posix
