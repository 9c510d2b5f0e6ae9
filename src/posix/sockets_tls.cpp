// TLS on a connected socket: the session's bytes moved between the socket
// and its memory buffers, and the WinSock notifications of the decrypted
// stream emulated on top of the socket's own readiness.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "posix/sockets.h"
#include "posix/tls.h"

namespace tv::posix {

namespace {

// Decrypted bytes held for the core at most (more is read from the socket
// only once the core has taken some), as a socket's receive buffer bounds
// what the peer can send ahead.
constexpr size_t kPlainLimit = 64 * 1024;
constexpr size_t kRawChunk = 16 * 1024;
// How long the end of a TLS connection may wait for the socket to take the
// last bytes and the close alert.
constexpr int kShutdownFlushMs = 3000;

}  // namespace

TlsStatus PosixSockets::StartTls(Socket s, const TlsOptions& options, TlsError& error) {
  State* st = Find(s);
  if (!st || st->phase != Phase::Connected || st->tls) {
    error.failure = TlsFailure::Other;
    error.reason = "socket not connected";
    return TlsStatus::Failed;
  }
  std::unique_ptr<TlsSession> session = TlsSession::Create(options, error);
  if (!session) return TlsStatus::Failed;
  st->tls = std::move(session);
  st->rawEnded = st->peerClosed;
  return TlsStep(s, error);
}

TlsStatus PosixSockets::TlsStep(Socket s, TlsError& error) {
  State* st = Find(s);
  if (!st || !st->tls) {
    error.failure = TlsFailure::Other;
    error.reason = "no TLS on this socket";
    return TlsStatus::Failed;
  }
  TlsSession& tls = *st->tls;
  if (tls.Established()) return TlsStatus::Done;
  PullRaw(*st, true);
  TlsStatus status = tls.Handshake(error);
  FlushRaw(*st);
  if (status == TlsStatus::Pending && (st->rawEnded || st->rawError != 0)) {
    error.failure = TlsFailure::PeerClosed;
    error.reason = st->rawError != 0 ? std::strerror(st->rawError) : "";
    status = TlsStatus::Failed;
  }
  if (status == TlsStatus::Failed) {
    // Nothing more is announced for it; the core closes it.
    st->tlsStepArmed = false;
    st->rawEnded = true;
    return status;
  }
  st->tlsStepArmed = status == TlsStatus::Pending;
  if (status == TlsStatus::Done) {
    // From here on the notifications are about the decrypted bytes. What
    // came with the end of the handshake is announced now.
    st->readArmed = (st->events & kFdRead) != 0;
    st->writeArmed = false;
    tls.Decrypt(kPlainLimit);
    AnnouncePlain(*st);
  }
  return status;
}

bool PosixSockets::TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) {
  State* st = Find(s);
  return st && st->tls && st->tls->Describe(protocol, cipher);
}

void PosixSockets::PullRaw(State& st, bool ignoreLimit) {
  TlsSession& tls = *st.tls;
  // Records taken earlier and not yet decrypted (the limit was reached) first.
  if (tls.Established()) tls.Decrypt(kPlainLimit);
  char buf[kRawChunk];
  while (!st.rawEnded && st.rawError == 0) {
    if (!ignoreLimit && tls.Established() && tls.PlainSize() >= kPlainLimit) return;
    const ssize_t n = recv(st.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      tls.PutIncoming(buf, static_cast<size_t>(n));
      if (tls.Established()) tls.Decrypt(kPlainLimit);
      continue;
    }
    if (n == 0) {
      st.rawEnded = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EWOULDBLOCK && errno != EAGAIN) {
      st.rawError = errno;
    }
    return;
  }
}

bool PosixSockets::FlushRaw(State& st) {
  TlsSession& tls = *st.tls;
  while (tls.OutgoingSize() > 0) {
    if (st.rawError != 0) return false;
    const ssize_t n =
        send(st.fd, tls.OutgoingData(), tls.OutgoingSize(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      tls.TakeOutgoing(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
      return false;
    } else {
      st.rawError = n < 0 ? errno : EPIPE;
      return false;
    }
  }
  return true;
}

// The bytes Send took and the close alert go out before the socket is shut
// down; a peer that takes nothing holds the end for a bounded time only.
void PosixSockets::FlushBeforeShutdown(State& st) {
  TlsSession& tls = *st.tls;
  tls.Close();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kShutdownFlushMs);
  while (!FlushRaw(st) && st.rawError == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{st.fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return;
  }
}

bool PosixSockets::TlsEnded(const State& st) const {
  return st.rawEnded || st.rawError != 0 || st.tls->InputState() != TlsSession::Input::Open;
}

// Posts what the decrypted stream has to tell: bytes to read, then its end.
void PosixSockets::AnnouncePlain(State& st) {
  TlsSession& tls = *st.tls;
  if (tls.PlainSize() > 0 && st.readArmed) {
    Post(st, kFdRead, 0);
    st.readArmed = false;
  }
  const TlsSession::Input input = tls.InputState();
  const bool ended = st.rawEnded || st.rawError != 0 || input != TlsSession::Input::Open;
  if (ended && !st.peerClosed) {
    st.peerClosed = true;
    if ((st.events & kFdClose) && !st.closePosted) {
      int err = st.rawError;
      if (err == 0 && input == TlsSession::Input::Broken) err = ECONNRESET;
      Post(st, kFdClose, WinsockError(err));
      st.closePosted = true;
    }
  }
}

int PosixSockets::TlsSend(State& st, const char* data, int len) {
  TlsSession& tls = *st.tls;
  if (!tls.Established() || st.rawError != 0) {
    Fail(st.rawError != 0 ? st.rawError : ENOTCONN);
    return -1;
  }
  // Bytes of an earlier Send go first; until they are out, nothing more is
  // taken, so that what the peer does not read piles up nowhere.
  if (!FlushRaw(st)) {
    if (st.rawError != 0) {
      Fail(st.rawError);
    } else {
      if (st.events & kFdWrite) st.writeArmed = true;
      Fail(EWOULDBLOCK);
    }
    return -1;
  }
  if (len <= 0) return 0;
  const size_t n = static_cast<size_t>(len) < kRawChunk ? static_cast<size_t>(len) : kRawChunk;
  if (!tls.Write(data, n)) {
    Fail(ECONNRESET);
    return -1;
  }
  FlushRaw(st);  // the rest goes when the socket can take it
  if (st.rawError != 0) {
    Fail(st.rawError);
    return -1;
  }
  return static_cast<int>(n);
}

int PosixSockets::TlsRecv(State& st, char* buf, int len) {
  TlsSession& tls = *st.tls;
  if (!tls.Established()) {
    Fail(ENOTCONN);
    return -1;
  }
  if (tls.PlainSize() == 0) PullRaw(st, false);
  const size_t n = tls.TakePlain(buf, len > 0 ? static_cast<size_t>(len) : 0);
  // Any recv enables the next read notification; decrypted bytes still held
  // are announced at once, since the socket will not tell of them.
  if (st.events & kFdRead) st.readArmed = true;
  AnnouncePlain(st);
  if (n > 0) return static_cast<int>(n);
  if (len <= 0) return 0;
  if (st.rawError != 0 || tls.InputState() == TlsSession::Input::Broken) {
    Fail(st.rawError != 0 ? st.rawError : ECONNRESET);
    return -1;
  }
  if (TlsEnded(st)) return 0;
  Fail(EWOULDBLOCK);
  return -1;
}

bool PosixSockets::TlsBytesAvailable(State& st, unsigned long& count) {
  TlsSession& tls = *st.tls;
  if (tls.Established()) PullRaw(st, false);
  count = tls.PlainSize();
  return true;
}

bool PosixSockets::TlsPeerHasClosed(State& st) {
  TlsSession& tls = *st.tls;
  if (!tls.Established()) return st.rawEnded || st.rawError != 0;
  if (tls.PlainSize() > 0) return false;
  PullRaw(st, false);
  return tls.PlainSize() == 0 && TlsEnded(st);
}

short PosixSockets::TlsWanted(const State& st) const {
  const TlsSession& tls = *st.tls;
  short want = 0;
  if (tls.OutgoingSize() > 0 && st.rawError == 0) want |= POLLOUT;
  if (!tls.Established()) {
    if (st.tlsStepArmed && !st.rawEnded && st.rawError == 0) want |= POLLIN | POLLRDHUP;
    return want;
  }
  if (st.writeArmed) want |= POLLOUT;
  if (!st.rawEnded && st.rawError == 0 && !st.peerClosed) {
    if (st.readArmed && tls.PlainSize() < kPlainLimit) want |= POLLIN;
    want |= POLLRDHUP;
  }
  return want;
}

void PosixSockets::TlsDeliver(State& st, short revents) {
  TlsSession& tls = *st.tls;
  const bool input = (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
  if (!tls.Established()) {
    if (revents & POLLOUT) FlushRaw(st);
    if (input && st.tlsStepArmed) {
      // The core takes the step; until then the socket is not polled for it.
      Post(st, (revents & POLLIN) ? kFdRead : kFdClose, 0);
      st.tlsStepArmed = false;
    }
    return;
  }
  if (revents & POLLOUT) {
    const bool flushed = FlushRaw(st);
    if (flushed && st.writeArmed) {
      Post(st, kFdWrite, 0);
      st.writeArmed = false;
    }
  }
  if (input) {
    // After the peer's end everything it sent is taken, whatever it holds.
    PullRaw(st, (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
    if ((revents & POLLERR) && st.rawError == 0) {
      int err = 0;
      socklen_t size = sizeof err;
      if (getsockopt(st.fd, SOL_SOCKET, SO_ERROR, &err, &size) == 0 && err != 0) st.rawError = err;
    }
  }
  AnnouncePlain(st);
}

}  // namespace tv::posix
