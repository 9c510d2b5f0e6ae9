// TLS on a connected socket: the link between the socket and the session
// over the socket's non-blocking calls, and the socket's readiness in the
// poll loop turned into the link's moves.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "posix/sockets.h"
#include "posix/tls.h"

namespace tv::posix {

namespace {

// The errno values the link gives the core (as WinsockError turns them).
constexpr tlslink::ErrorWords kErrorWords = {ENOTCONN, ECONNRESET, EWOULDBLOCK};

}  // namespace

class PosixSockets::TlsSocket final : public tlslink::RawSocket {
 public:
  TlsSocket(PosixSockets& owner, State& st, std::unique_ptr<TlsSession> session)
      : owner_(owner), st_(st), link_(std::move(session), st, *this, kErrorWords) {}

  tlslink::Link& link() { return link_; }
  const tlslink::Session& session() const { return link_.session(); }

  Result Receive(char* buf, size_t len) override {
    for (;;) {
      const ssize_t n = recv(st_.fd, buf, len, MSG_DONTWAIT);
      if (n > 0) return {Outcome::Moved, static_cast<size_t>(n), 0};
      if (n == 0) return {Outcome::Ended, 0, 0};
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK || errno == EAGAIN) return {Outcome::WouldBlock, 0, 0};
      return {Outcome::Failed, 0, errno};
    }
  }

  Result Transmit(const char* data, size_t len) override {
    for (;;) {
      const ssize_t n = send(st_.fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) return {Outcome::Moved, static_cast<size_t>(n), 0};
      if (n == 0) return {Outcome::Failed, 0, EPIPE};
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK || errno == EAGAIN) return {Outcome::WouldBlock, 0, 0};
      return {Outcome::Failed, 0, errno};
    }
  }

  bool AwaitRoom(int ms) override {
    pollfd p{st_.fd, POLLOUT, 0};
    return poll(&p, 1, ms) >= 0 || errno == EINTR;
  }

  void Notify(long event, int error) override { owner_.Post(st_, event, WinsockError(error)); }
  void SetLastError(int error) override { owner_.Fail(error); }
  Bytes ErrorText(int error) const override { return std::strerror(error); }

 private:
  PosixSockets& owner_;
  State& st_;
  tlslink::Link link_;
};

TlsStatus PosixSockets::StartTls(Socket s, const TlsOptions& options, TlsError& error) {
  State* st = Find(s);
  if (!st || st->phase != Phase::Connected || st->tls) {
    error.failure = TlsFailure::Other;
    error.reason = "socket not connected";
    return TlsStatus::Failed;
  }
  std::unique_ptr<TlsSession> session = TlsSession::Create(options, error);
  if (!session) return TlsStatus::Failed;
  st->tls = std::make_shared<TlsSocket>(*this, *st, std::move(session));
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
  const TlsStatus status = st->tls->link().Step(error);
  // A pending handshake has the socket polled for the peer's next bytes.
  st->tlsStepArmed = status == TlsStatus::Pending;
  return status;
}

bool PosixSockets::TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) {
  State* st = Find(s);
  return st && st->tls && st->tls->session().Describe(protocol, cipher);
}

bool PosixSockets::TlsFault(Socket s, TlsError& error) {
  State* st = Find(s);
  return st && st->tls && st->tls->link().Fault(error);
}

void PosixSockets::FlushBeforeShutdown(State& st) {
  st.tls->link().Finish();
}

int PosixSockets::TlsSend(State& st, const char* data, int len) {
  return st.tls->link().Send(data, len);
}

int PosixSockets::TlsRecv(State& st, char* buf, int len) {
  return st.tls->link().Recv(buf, len);
}

bool PosixSockets::TlsBytesAvailable(State& st, unsigned long& count) {
  count = static_cast<unsigned long>(st.tls->link().Available());
  return true;
}

bool PosixSockets::TlsPeerHasClosed(State& st) {
  return st.tls->link().PeerHasClosed();
}

short PosixSockets::TlsWanted(const State& st) const {
  const tlslink::Session& tls = st.tls->session();
  short want = 0;
  if (tls.OutgoingSize() > 0 && st.rawError == 0) want |= POLLOUT;
  if (!tls.Established()) {
    if (st.tlsStepArmed && !st.rawEnded && st.rawError == 0) want |= POLLIN | POLLRDHUP;
    return want;
  }
  if (st.writeArmed) want |= POLLOUT;
  if (!st.rawEnded && st.rawError == 0 && !st.peerClosed) {
    if (st.readArmed && tls.PlainSize() < tlslink::kPlainLimit) want |= POLLIN;
    want |= POLLRDHUP;
  }
  return want;
}

void PosixSockets::TlsDeliver(State& st, short revents) {
  tlslink::Link& link = st.tls->link();
  const bool input = (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
  if (!link.session().Established()) {
    if (revents & POLLOUT) link.Flush();
    if (input && st.tlsStepArmed) {
      // The core takes the step; until then the socket is not polled for it.
      Post(st, (revents & POLLIN) ? kFdRead : kFdClose, 0);
      st.tlsStepArmed = false;
    }
    return;
  }
  if (revents & POLLOUT) link.OnRoom();
  if (input) {
    // After the peer's end everything it sent is taken, whatever it holds.
    link.Pull((revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0);
    if ((revents & POLLERR) && st.rawError == 0) {
      int err = 0;
      socklen_t size = sizeof err;
      if (getsockopt(st.fd, SOL_SOCKET, SO_ERROR, &err, &size) == 0 && err != 0) st.rawError = err;
    }
  }
  link.Announce();
}

}  // namespace tv::posix
