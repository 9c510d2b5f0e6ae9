#include "win32/recordrelay.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>

namespace tv::win32 {

using record::RelayEnd;
using record::Side;

namespace {

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

// How often a link whose far end has closed its sending half is looked at
// for a reset: select() tells of none on a link that is not read.
constexpr long kResetLookMs = 100;

// The two connections under select().
class SelectLinks : public record::Links {
 public:
  SelectLinks(SOCKET client, SOCKET server) : sockets_{client, server} {}

  bool Wait(const Want want[2], Ready ready[2], std::string& detail) override {
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    bool lookForReset = false;
    for (int i = 0; i < 2; ++i) {
      const Want& w = want[i];
      if (!w.read && !w.write && !w.reset) continue;
      if (w.read) FD_SET(sockets_[i], &readable);
      if (w.write) FD_SET(sockets_[i], &writable);
      FD_SET(sockets_[i], &failed);
      lookForReset = lookForReset || w.reset;
    }
    timeval look{0, kResetLookMs * 1000};
    if (::select(0, &readable, &writable, &failed, lookForReset ? &look : nullptr) < 0) {
      detail = ErrorText(::WSAGetLastError());
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      ready[i].read = FD_ISSET(sockets_[i], &readable) || FD_ISSET(sockets_[i], &failed);
      if (!want[i].reset) continue;
      // Its close has been read: a look at what comes next gives nothing, or
      // the reset that came since.
      char byte = 0;
      if (::recv(sockets_[i], &byte, 1, MSG_PEEK) == SOCKET_ERROR && IsReset(::WSAGetLastError()))
        ready[i].reset = true;
    }
    return true;
  }

  Io Receive(Side side, char* data, size_t size, size_t& got, std::string& detail) override {
    const int n = ::recv(sockets_[static_cast<int>(side)], data, static_cast<int>(size), 0);
    if (n > 0) {
      got = static_cast<size_t>(n);
      return Io::Moved;
    }
    if (n == 0) return Io::Closed;
    const int error = ::WSAGetLastError();
    if (IsReset(error)) return Io::Reset;
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return Io::Later;
    detail = ErrorText(error);
    return Io::Failed;
  }

  Io Send(Side side, const char* data, size_t size, size_t& put) override {
    const int n = ::send(sockets_[static_cast<int>(side)], data, static_cast<int>(size), 0);
    if (n > 0) {
      put = static_cast<size_t>(n);
      return Io::Moved;
    }
    return n < 0 && IsReset(::WSAGetLastError()) ? Io::Reset : Io::Later;
  }

  void EndSending(Side side) override { ::shutdown(sockets_[static_cast<int>(side)], SD_SEND); }

  void Reset(Side side) override {
    linger off{};
    off.l_onoff = 1;
    off.l_linger = 0;
    ::setsockopt(sockets_[static_cast<int>(side)], SOL_SOCKET, SO_LINGER,
                 reinterpret_cast<const char*>(&off), sizeof off);
  }

 private:
  SOCKET sockets_[2];
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

  // Both ways until both sides have closed, or one resets (the link that
  // Pass resets loses its linger and is closed with the other on return).
  SelectLinks links(client.get(), server.get());
  return record::Pass(links, recording, report, detail, start);
}

}  // namespace tv::win32
