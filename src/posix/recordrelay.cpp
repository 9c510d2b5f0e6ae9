#include "posix/recordrelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace tv::posix {

using record::RelayEnd;
using record::Side;

namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string AddressText(const sockaddr* sa, unsigned& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(sa);
    ::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    port = ntohs(in4->sin_port);
  }
  return text;
}

bool IsReset(int error) {
  return error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

// The two connections under poll().
class PollLinks : public record::Links {
 public:
  PollLinks(int client, int server) : fds_{client, server} {}

  bool Wait(const Want want[2], Ready ready[2], std::string& detail) override {
    pollfd polled[2];
    for (int i = 0; i < 2; ++i) {
      const Want& w = want[i];
      // A link nothing is wanted of stays out: poll would report its
      // hang-up again and again.
      polled[i].fd = w.read || w.write || w.reset ? fds_[i] : -1;
      polled[i].events = static_cast<short>((w.read ? POLLIN : 0) | (w.write ? POLLOUT : 0));
      polled[i].revents = 0;
    }
    if (::poll(polled, 2, -1) < 0) {
      if (errno == EINTR) return true;
      detail = std::strerror(errno);
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      const short got = polled[i].revents;
      ready[i].read = (got & (POLLIN | POLLHUP | POLLERR)) != 0;
      // A hang-up on a link whose far end has closed its sending half, the
      // relay's half still open, can only be a reset.
      ready[i].reset = want[i].reset && (got & (POLLHUP | POLLERR)) != 0;
    }
    return true;
  }

  Io Receive(Side side, char* data, size_t size, size_t& got, std::string& detail) override {
    const ssize_t n = ::recv(fds_[static_cast<int>(side)], data, size, 0);
    if (n > 0) {
      got = static_cast<size_t>(n);
      return Io::Moved;
    }
    if (n == 0) return Io::Closed;
    if (IsReset(errno)) return Io::Reset;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Io::Later;
    detail = std::strerror(errno);
    return Io::Failed;
  }

  Io Send(Side side, const char* data, size_t size, size_t& put) override {
    const ssize_t n = ::send(fds_[static_cast<int>(side)], data, size, MSG_NOSIGNAL);
    if (n > 0) {
      put = static_cast<size_t>(n);
      return Io::Moved;
    }
    return n < 0 && IsReset(errno) ? Io::Reset : Io::Later;
  }

  void EndSending(Side side) override { ::shutdown(fds_[static_cast<int>(side)], SHUT_WR); }

  void Reset(Side side) override {
    linger off{1, 0};
    ::setsockopt(fds_[static_cast<int>(side)], SOL_SOCKET, SO_LINGER, &off, sizeof off);
  }

 private:
  int fds_[2];
};

}  // namespace

record::RelayEnd SocketRelay::Run(const record::RelayPlan& plan, record::Recording& recording,
                                  record::RelayReport& report, std::string& detail) {
  // Listening.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* local = nullptr;
  const std::string listenPort = std::to_string(plan.listenPort);
  if (::getaddrinfo(plan.listenAddress.c_str(), listenPort.c_str(), &hints, &local) != 0 ||
      !local) {
    detail = "adresa " + plan.listenAddress + " není číselná adresa IPv4 nebo IPv6";
    return RelayEnd::CannotListen;
  }
  Fd listener(::socket(local->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  bool listening = listener.get() >= 0 &&
                   ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                   ::bind(listener.get(), local->ai_addr, local->ai_addrlen) == 0 &&
                   ::listen(listener.get(), 1) == 0;
  const int listenError = errno;
  ::freeaddrinfo(local);
  if (!listening) {
    detail = std::strerror(listenError);
    return RelayEnd::CannotListen;
  }
  sockaddr_storage bound{};
  socklen_t boundLen = sizeof bound;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &boundLen);
  unsigned port = 0;
  const std::string boundText = AddressText(reinterpret_cast<sockaddr*>(&bound), port);
  report.Listening(boundText, port);

  // One client.
  pollfd waitFor{listener.get(), POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&waitFor, 1, plan.acceptMs > 0 ? plan.acceptMs : -1);
    if (ready > 0) break;
    if (ready == 0) return RelayEnd::NoClient;
    if (errno != EINTR) {
      detail = std::strerror(errno);
      return RelayEnd::Failed;
    }
  }
  sockaddr_storage peer{};
  socklen_t peerLen = sizeof peer;
  Fd client(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC));
  if (client.get() < 0) {
    detail = std::strerror(errno);
    return RelayEnd::Failed;
  }
  listener.Close();
  const auto start = std::chrono::steady_clock::now();
  unsigned peerPort = 0;
  const std::string peerText = AddressText(reinterpret_cast<sockaddr*>(&peer), peerPort);
  report.ClientCame(peerText, peerPort);

  // The server.
  addrinfo want{};
  want.ai_family = AF_UNSPEC;
  want.ai_socktype = SOCK_STREAM;
  want.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string serverPort = std::to_string(plan.port);
  const int lookup = ::getaddrinfo(plan.server.c_str(), serverPort.c_str(), &want, &found);
  if (lookup != 0 || !found) {
    detail = ::gai_strerror(lookup);
    return RelayEnd::ServerNotFound;
  }
  Fd server;
  int connectError = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    Fd attempt(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (attempt.get() >= 0 && ::connect(attempt.get(), a->ai_addr, a->ai_addrlen) == 0) {
      unsigned serverPortNumber = 0;
      const std::string serverText = AddressText(a->ai_addr, serverPortNumber);
      report.Connected(serverText, serverPortNumber);
      server = std::move(attempt);
      break;
    }
    connectError = errno;
  }
  ::freeaddrinfo(found);
  if (server.get() < 0) {
    detail = std::strerror(connectError);
    return RelayEnd::ServerRefused;
  }
  for (int fd : {client.get(), server.get()}) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }

  // Both ways until both sides have closed, or one resets (the link that
  // Pass resets loses its linger and is closed with the other on return).
  PollLinks links(client.get(), server.get());
  return record::Pass(links, recording, report, detail, start);
}

}  // namespace tv::posix
