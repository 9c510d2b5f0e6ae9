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

// What one direction holds on its way: bounded, so that a fast sender waits
// for a slow receiver instead of filling the memory.
constexpr size_t kBufferMost = 256 * 1024;
constexpr size_t kReadSize = 64 * 1024;

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
  // Closes with a reset instead of an orderly close.
  void Reset() {
    if (fd_ < 0) return;
    linger off{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    Close();
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

struct Direction {
  Side from;
  int src = -1;
  int dst = -1;
  std::string buffer;
  size_t sent = 0;
  bool ended = false;     // the sender closed
  bool passedOn = false;  // its close went on to the receiver
  size_t Pending() const { return buffer.size() - sent; }
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

  // Both ways until both sides have closed, or one resets.
  auto now = [&start] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count());
  };
  Direction ways[2];
  ways[0].from = Side::Client;
  ways[0].src = client.get();
  ways[0].dst = server.get();
  ways[1].from = Side::Server;
  ways[1].src = server.get();
  ways[1].dst = client.get();
  std::string chunk(kReadSize, '\0');
  bool reset = false;
  Side resetSide = Side::Client;
  auto resetBy = [&](Side side) {
    reset = true;
    resetSide = side;
  };
  while (!reset && !(ways[0].passedOn && ways[1].passedOn)) {
    pollfd fds[2] = {{client.get(), 0, 0}, {server.get(), 0, 0}};
    for (int w = 0; w < 2; ++w) {
      Direction& d = ways[w];
      pollfd& src = fds[d.src == client.get() ? 0 : 1];
      pollfd& dst = fds[d.dst == client.get() ? 0 : 1];
      if (!d.ended && d.Pending() < kBufferMost) src.events |= POLLIN;
      if (d.Pending() > 0) dst.events |= POLLOUT;
    }
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      detail = std::strerror(errno);
      return RelayEnd::Failed;
    }
    for (int w = 0; w < 2 && !reset; ++w) {
      Direction& d = ways[w];
      const pollfd& src = fds[d.src == client.get() ? 0 : 1];
      // A hang-up on a side that has already closed its sending half can
      // only be a reset (the relay has not shut the other half yet); poll
      // would report it at once again and again.
      if (d.ended && (src.revents & (POLLHUP | POLLERR))) {
        resetBy(d.from);
        continue;
      }
      if (!d.ended && (src.revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::recv(d.src, &chunk[0], chunk.size(), 0);
        if (n > 0) {
          recording.Data(d.from, now(), chunk.data(), static_cast<size_t>(n));
          if (d.sent > 0 && d.sent == d.buffer.size()) {
            d.buffer.clear();
            d.sent = 0;
          }
          d.buffer.append(chunk.data(), static_cast<size_t>(n));
        } else if (n == 0) {
          d.ended = true;
          recording.Close(d.from, now(), false);
        } else if (IsReset(errno)) {
          resetBy(d.from);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          detail = std::strerror(errno);
          return RelayEnd::Failed;
        }
      }
    }
    for (int w = 0; w < 2 && !reset; ++w) {
      Direction& d = ways[w];
      while (d.Pending() > 0) {
        const ssize_t n = ::send(d.dst, d.buffer.data() + d.sent, d.Pending(), MSG_NOSIGNAL);
        if (n > 0) {
          d.sent += static_cast<size_t>(n);
          continue;
        }
        if (n < 0 && IsReset(errno)) resetBy(w == 0 ? Side::Server : Side::Client);
        break;
      }
      if (d.Pending() == 0 || d.sent >= kBufferMost) {  // what went out is dropped
        d.buffer.erase(0, d.sent);
        d.sent = 0;
      }
      if (!reset && d.ended && d.Pending() == 0 && !d.passedOn) {
        ::shutdown(d.dst, SHUT_WR);
        d.passedOn = true;
      }
    }
  }
  if (reset) {
    recording.Close(resetSide, now(), true);
    report.Reset(resetSide);
    // The other side gets a reset too, after what the resetting side had
    // sent and it could still take.
    Direction& toOther = ways[resetSide == Side::Client ? 0 : 1];
    if (toOther.Pending() > 0)
      (void)::send(toOther.dst, toOther.buffer.data() + toOther.sent, toOther.Pending(),
                   MSG_NOSIGNAL);
    (resetSide == Side::Client ? server : client).Reset();
  }
  return RelayEnd::Done;
}

}  // namespace tv::posix
