// What a TLS session over memory buffers is to the socket layer, whichever
// library does the cryptography: the bytes from the peer go in, the bytes for
// the peer and the decrypted bytes wait here until they are taken.
#pragma once

#include <cstddef>

#include "host/host.h"

namespace tv::tlslink {

// Decrypted bytes held for the core at most (more is read from the socket only
// once the core has taken some), as a socket's receive buffer bounds what the
// peer can send ahead.
constexpr size_t kPlainLimit = 64 * 1024;
// The most the socket layer moves at once: a read from the socket, the
// plaintext one Send takes, a piece handed to the library.
constexpr size_t kChunk = 16 * 1024;
// How long the end of a TLS connection may wait for the socket to take the
// last bytes and the close alert.
constexpr int kCloseFlushMs = 3000;

class Session {
 public:
  enum class Input { Open, Closed, Broken };

  virtual ~Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Bytes from the peer.
  virtual void PutIncoming(const char* data, size_t len) = 0;
  // One step of the handshake with what has come in.
  virtual TlsStatus Handshake(TlsError& error) = 0;
  // After the handshake: decrypts what has come in, until the plaintext held
  // reaches limit.
  virtual Input Decrypt(size_t limit) = 0;
  // Encrypts all of data into the outgoing bytes.
  virtual bool Write(const char* data, size_t len) = 0;
  // The close alert into the outgoing bytes (once, after the handshake).
  virtual void Close() = 0;
  virtual bool Describe(Bytes& protocol, Bytes& cipher) const = 0;

  bool Established() const { return established_; }
  Input InputState() const { return input_; }
  // Why the input broke (the library's or the system's text), and whether a
  // record could not be read (Broken) or the peer sent a fatal alert (Alert).
  const Bytes& BrokenReason() const { return brokenReason_; }
  TlsFailure BrokenKind() const { return brokenKind_; }

  // Bytes for the peer, produced by the calls above and not yet taken.
  size_t OutgoingSize() const { return out_.size() - outTaken_; }
  const char* OutgoingData() const { return out_.data() + outTaken_; }
  void TakeOutgoing(size_t n);

  // Decrypted bytes not yet taken.
  size_t PlainSize() const { return plain_.size() - plainTaken_; }
  // Moves up to len plaintext bytes to buf; returns how many.
  size_t TakePlain(char* buf, size_t len);

 protected:
  Session() = default;

  void AppendOutgoing(const char* data, size_t len);
  void AppendPlain(const char* data, size_t len);
  void MarkEstablished() { established_ = true; }
  // The end of the peer's data: its close alert, or bytes that broke it.
  void EndInput(Input how, const Bytes& reason = Bytes(), TlsFailure kind = TlsFailure::Broken);
  // Overwrites the decrypted bytes, taken or not, before the memory goes back.
  void WipePlain();

 private:
  bool established_ = false;
  Input input_ = Input::Open;
  Bytes brokenReason_;
  TlsFailure brokenKind_ = TlsFailure::None;
  // What has been taken stays in front until it is dropped: at once when all
  // is taken, before an append when it is at least half of the buffer, so
  // that a reader who always leaves a rest does not grow it.
  Bytes out_;
  size_t outTaken_ = 0;
  Bytes plain_;
  size_t plainTaken_ = 0;
};

}  // namespace tv::tlslink
