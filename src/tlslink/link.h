// TLS on a connected socket, between the socket and a session: the session's
// bytes moved to and from the socket, and the WinSock notifications of the
// decrypted stream made from what arrives. The front end supplies the socket
// (non-blocking, in its own error codes) and tells when the socket is ready;
// what to wait for, and how, stays with it.
#pragma once

#include <cstddef>
#include <memory>

#include "host/host.h"
#include "tlslink/session.h"

namespace tv::tlslink {

// A connected socket that never blocks. Error codes are the platform's own
// (errno values, WinSock codes); the link only stores and hands them back.
class RawSocket {
 public:
  enum class Outcome {
    Moved,       // count bytes went in or out
    Ended,       // Receive: the peer's data has ended
    WouldBlock,  // nothing now; the socket tells when it can
    Failed,      // error tells why
  };
  struct Result {
    Outcome outcome = Outcome::WouldBlock;
    size_t count = 0;
    int error = 0;
  };

  virtual ~RawSocket() = default;
  // Up to len bytes from the peer. An interrupted call is made again.
  virtual Result Receive(char* buf, size_t len) = 0;
  // Up to len bytes for the peer. A socket that takes none of them without
  // saying why fails.
  virtual Result Transmit(const char* data, size_t len) = 0;
  // Waits at most ms until the socket can take bytes; false when the wait
  // itself fails.
  virtual bool AwaitRoom(int ms) = 0;
  // Posts a notification of the decrypted stream to the core; error is a
  // platform code, 0 for none.
  virtual void Notify(long event, int error) = 0;
  // What the core's LastError() then tells.
  virtual void SetLastError(int error) = 0;
  // The platform's words for an error code, one line.
  virtual Bytes ErrorText(int error) const = 0;
};

// The platform codes the link itself gives the core.
struct ErrorWords {
  int notConnected = 0;  // Send or Recv before the handshake is done
  int reset = 0;         // a record that cannot be made or read
  int wouldBlock = 0;
};

// The socket's registration and which notifications may be posted next
// (WinSock's re-enabling rules), and the end of the socket's own data.
struct StreamState {
  long events = 0;  // the core's registration; 0: none
  bool readArmed = false;
  bool writeArmed = false;  // a kFdWrite is owed after a refused send
  bool peerClosed = false;  // end of the peer's data seen
  bool closePosted = false;
  bool rawEnded = false;  // the socket's data has ended
  int rawError = 0;       // the socket failed with this error
};

class Link {
 public:
  Link(std::unique_ptr<Session> session, StreamState& state, RawSocket& raw,
       const ErrorWords& words);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  Session& session() { return *session_; }
  const Session& session() const { return *session_; }

  // One step of the handshake with what has arrived. Once it is done the
  // notifications are about the decrypted bytes; after Failed nothing more
  // is announced and the socket is only fit to be closed.
  TlsStatus Step(TlsError& error);

  // Reads what the socket holds and decrypts it, while the plaintext held
  // stays below the limit (ignoreLimit: everything, as after the peer's end).
  void Pull(bool ignoreLimit);
  // Sends what the session has for the peer; true when all of it went.
  bool Flush();
  // The socket can take bytes again: the rest goes, and a kFdWrite owed
  // comes once it has.
  void OnRoom();
  // The close alert after every byte Send took, waiting a bounded time for a
  // socket that takes nothing.
  void Finish();

  // Whether the decrypted stream has ended: the socket's data, or the
  // session's input.
  bool Ended() const;
  // Posts what the decrypted stream has to tell: bytes to read, then its end.
  void Announce();
  // Once the decrypted stream has ended: true, with error filled, when it
  // ended otherwise than with the peer's close alert (Sockets::TlsFault).
  bool Fault(TlsError& error);

  // The decrypted socket's Send, Recv, BytesAvailable and PeerHasClosed.
  int Send(const char* data, int len);
  int Recv(char* buf, int len);
  size_t Available();
  bool PeerHasClosed();

 private:
  std::unique_ptr<Session> session_;
  StreamState& st_;
  RawSocket& raw_;
  const ErrorWords words_;
};

}  // namespace tv::tlslink
