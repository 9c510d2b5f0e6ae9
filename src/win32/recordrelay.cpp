#include "win32/recordrelay.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>

namespace tv::win32 {

using record::RelayEnd;
using record::Side;

namespace {

// What one direction holds on its way: bounded, so that a fast sender waits
// for a slow receiver instead of filling the memory.
constexpr size_t kBufferMost = 256 * 1024;
constexpr int kReadSize = 64 * 1024;

class Socket {
 public:
  Socket() = default;
  explicit Socket(SOCKET s) : s_(s) {}
  ~Socket() { Close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      s_ = other.s_;
      other.s_ = INVALID_SOCKET;
    }
    return *this;
  }
  SOCKET get() const { return s_; }
  bool valid() const { return s_ != INVALID_SOCKET; }
  void Close() {
    if (s_ != INVALID_SOCKET) ::closesocket(s_);
    s_ = INVALID_SOCKET;
  }
  // Closes with a reset instead of an orderly close.
  void Reset() {
    if (s_ == INVALID_SOCKET) return;
    linger off{};
    off.l_onoff = 1;
    off.l_linger = 0;
    ::setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
    Close();
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
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

std::string ErrorText(int code) {
  wchar_t* text = nullptr;
  ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = "WinSock " + std::to_string(code);
  if (text) {
    char narrow[512] = "";
    ::WideCharToMultiByte(1250, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    ::LocalFree(text);
    std::string t = narrow;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == '.')) t.pop_back();
    if (!t.empty()) out = t;
  }
  return out;
}

bool IsReset(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}

struct Direction {
  Side from;
  SOCKET src = INVALID_SOCKET;
  SOCKET dst = INVALID_SOCKET;
  std::string buffer;
  size_t sent = 0;
  bool ended = false;
  bool passedOn = false;
  size_t Pending() const { return buffer.size() - sent; }
};

}  // namespace

record::RelayEnd SocketRelay::Run(const record::RelayPlan& plan, record::Recording& recording,
                                  record::RelayReport& report, std::string& detail) {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    detail = "WinSock";
    return RelayEnd::Failed;
  }
  struct Cleanup {
    ~Cleanup() { ::WSACleanup(); }
  } cleanup;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo* local = nullptr;
  const std::string listenPort = std::to_string(plan.listenPort);
  if (::getaddrinfo(plan.listenAddress.c_str(), listenPort.c_str(), &hints, &local) != 0 ||
      !local) {
    detail = "adresa " + plan.listenAddress + " není číselná adresa IPv4 nebo IPv6";
    return RelayEnd::CannotListen;
  }
  Socket listener(::socket(local->ai_family, SOCK_STREAM, IPPROTO_TCP));
  const BOOL exclusive = TRUE;
  const bool listening =
      listener.valid() &&
      ::setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive) == 0 &&
      ::bind(listener.get(), local->ai_addr, static_cast<int>(local->ai_addrlen)) == 0 &&
      ::listen(listener.get(), 1) == 0;
  const int listenError = ::WSAGetLastError();
  ::freeaddrinfo(local);
  if (!listening) {
    detail = ErrorText(listenError);
    return RelayEnd::CannotListen;
  }
  sockaddr_storage bound{};
  int boundLen = sizeof bound;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &boundLen);
  unsigned port = 0;
  const std::string boundText = AddressText(reinterpret_cast<sockaddr*>(&bound), port);
  report.Listening(boundText, port);

  fd_set waitSet;
  FD_ZERO(&waitSet);
  FD_SET(listener.get(), &waitSet);
  timeval limit{plan.acceptMs / 1000, (plan.acceptMs % 1000) * 1000};
  const int ready = ::select(0, &waitSet, nullptr, nullptr, plan.acceptMs > 0 ? &limit : nullptr);
  if (ready == 0) return RelayEnd::NoClient;
  if (ready < 0) {
    detail = ErrorText(::WSAGetLastError());
    return RelayEnd::Failed;
  }
  sockaddr_storage peer{};
  int peerLen = sizeof peer;
  Socket client(::accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peerLen));
  if (!client.valid()) {
    detail = ErrorText(::WSAGetLastError());
    return RelayEnd::Failed;
  }
  listener.Close();
  const auto start = std::chrono::steady_clock::now();
  unsigned peerPort = 0;
  const std::string peerText = AddressText(reinterpret_cast<sockaddr*>(&peer), peerPort);
  report.ClientCame(peerText, peerPort);

  addrinfo want{};
  want.ai_family = AF_UNSPEC;
  want.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string serverPort = std::to_string(plan.port);
  const int lookup = ::getaddrinfo(plan.server.c_str(), serverPort.c_str(), &want, &found);
  if (lookup != 0 || !found) {
    detail = ErrorText(lookup);
    return RelayEnd::ServerNotFound;
  }
  Socket server;
  int connectError = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    Socket attempt(::socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP));
    if (attempt.valid() &&
        ::connect(attempt.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
      unsigned serverPortNumber = 0;
      const std::string serverText = AddressText(a->ai_addr, serverPortNumber);
      report.Connected(serverText, serverPortNumber);
      server = std::move(attempt);
      break;
    }
    connectError = ::WSAGetLastError();
  }
  ::freeaddrinfo(found);
  if (!server.valid()) {
    detail = ErrorText(connectError);
    return RelayEnd::ServerRefused;
  }
  for (SOCKET s : {client.get(), server.get()}) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
    const BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
  }

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
  while (!reset && !(ways[0].passedOn && ways[1].passedOn)) {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (Direction& d : ways) {
      if (!d.ended && d.Pending() < kBufferMost) FD_SET(d.src, &readable);
      if (d.Pending() > 0) FD_SET(d.dst, &writable);
      FD_SET(d.src, &failed);
    }
    if (::select(0, &readable, &writable, &failed, nullptr) < 0) {
      detail = ErrorText(::WSAGetLastError());
      return RelayEnd::Failed;
    }
    for (Direction& d : ways) {
      if (reset || d.ended || !(FD_ISSET(d.src, &readable) || FD_ISSET(d.src, &failed))) continue;
      const int n = ::recv(d.src, &chunk[0], kReadSize, 0);
      if (n > 0) {
        recording.Data(d.from, now(), chunk.data(), static_cast<size_t>(n));
        d.buffer.append(chunk.data(), static_cast<size_t>(n));
      } else if (n == 0) {
        d.ended = true;
        recording.Close(d.from, now(), false);
      } else {
        const int error = ::WSAGetLastError();
        if (IsReset(error)) {
          reset = true;
          resetSide = d.from;
        } else if (error != WSAEWOULDBLOCK && error != WSAEINTR) {
          detail = ErrorText(error);
          return RelayEnd::Failed;
        }
      }
    }
    for (int w = 0; w < 2 && !reset; ++w) {
      Direction& d = ways[w];
      while (d.Pending() > 0) {
        const int n = ::send(d.dst, d.buffer.data() + d.sent, static_cast<int>(d.Pending()), 0);
        if (n > 0) {
          d.sent += static_cast<size_t>(n);
          continue;
        }
        if (n < 0 && IsReset(::WSAGetLastError())) {
          reset = true;
          resetSide = w == 0 ? Side::Server : Side::Client;
        }
        break;
      }
      if (d.Pending() == 0 || d.sent >= kBufferMost) {  // what went out is dropped
        d.buffer.erase(0, d.sent);
        d.sent = 0;
      }
      if (!reset && d.ended && d.Pending() == 0 && !d.passedOn) {
        ::shutdown(d.dst, SD_SEND);
        d.passedOn = true;
      }
    }
  }
  if (reset) {
    recording.Close(resetSide, now(), true);
    report.Reset(resetSide);
    Direction& toOther = ways[resetSide == Side::Client ? 0 : 1];
    if (toOther.Pending() > 0)
      (void)::send(toOther.dst, toOther.buffer.data() + toOther.sent,
                   static_cast<int>(toOther.Pending()), 0);
    (resetSide == Side::Client ? server : client).Reset();
  }
  return RelayEnd::Done;
}

}  // namespace tv::win32
