#include "win32/sockets.h"

#include <cstring>

namespace tv::win {

namespace {

SOCKET Raw(Socket s) {
  return static_cast<SOCKET>(s);
}

sockaddr_in AddressOf(const Ipv4& addr, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  std::memcpy(&a.sin_addr, addr.b, 4);
  return a;
}

}  // namespace

Socket WinSockets::Create() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  return static_cast<Socket>(s);
}

bool WinSockets::Bind(Socket s, const Ipv4& addr, uint16_t port) {
  sockaddr_in a = AddressOf(addr, port);
  return bind(Raw(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool WinSockets::Listen(Socket s, int backlog) {
  return listen(Raw(s), backlog) == 0;
}

Socket WinSockets::Accept(Socket s, Ipv4& peer) {
  // Room for any address the system may report, though only IPv4 comes.
  alignas(8) char buffer[512] = {};
  int length = sizeof buffer;
  SOCKET accepted = accept(Raw(s), reinterpret_cast<sockaddr*>(buffer), &length);
  if (accepted == INVALID_SOCKET) return kInvalidSocket;
  const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(buffer);
  if (a->sin_family == AF_INET) std::memcpy(peer.b, &a->sin_addr, 4);
  return static_cast<Socket>(accepted);
}

bool WinSockets::Connect(Socket s, const Ipv4& addr, uint16_t port) {
  sockaddr_in a = AddressOf(addr, port);
  return connect(Raw(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

int WinSockets::Send(Socket s, const char* data, int len) {
  int n = send(Raw(s), data, len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int WinSockets::Recv(Socket s, char* buf, int len) {
  int n = recv(Raw(s), buf, len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool WinSockets::BytesAvailable(Socket s, unsigned long& count) {
  u_long n = 0;
  if (ioctlsocket(Raw(s), FIONREAD, &n) != 0) return false;
  count = n;
  return true;
}

void WinSockets::Shutdown(Socket s) {
  shutdown(Raw(s), SD_BOTH);
}

void WinSockets::Close(Socket s) {
  closesocket(Raw(s));
}

bool WinSockets::AsyncSelect(Socket s, uint32_t msg, long events) {
  return WSAAsyncSelect(Raw(s), window_, msg, events) == 0;
}

uintptr_t WinSockets::AsyncGetHostByName(const Bytes& name, uint32_t msg) {
  HANDLE handle = WSAAsyncGetHostByName(window_, msg, name.c_str(), hostEntry_, sizeof hostEntry_);
  lookup_ = reinterpret_cast<uintptr_t>(handle);
  return lookup_;
}

bool WinSockets::HostLookupAddress(uintptr_t handle, Ipv4& addr) {
  if (handle == 0 || handle != lookup_) return false;
  const hostent* entry = reinterpret_cast<const hostent*>(hostEntry_);
  if (entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list ||
      !entry->h_addr_list[0]) {
    return false;
  }
  std::memcpy(addr.b, entry->h_addr_list[0], 4);
  return true;
}

void WinSockets::CancelAsyncRequest(uintptr_t handle) {
  WSACancelAsyncRequest(reinterpret_cast<HANDLE>(handle));
  if (handle == lookup_) lookup_ = 0;
}

int WinSockets::LastError() {
  return WSAGetLastError();
}

bool WinSockets::PeerHasClosed(Socket s) {
  u_long waiting = 0;
  if (ioctlsocket(Raw(s), FIONREAD, &waiting) == 0 && waiting > 0) return false;
  char byte;
  int n = recv(Raw(s), &byte, 1, MSG_PEEK);
  if (n == 0) return true;
  if (n > 0) return false;
  switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEINTR:
      return false;
    default:
      return true;
  }
}

// No TLS in this program yet: every handshake fails at once.
TlsStatus WinSockets::StartTls(Socket, const TlsOptions&, TlsError& error) {
  error.failure = TlsFailure::NotAvailable;
  error.reason.clear();
  return TlsStatus::Failed;
}

TlsStatus WinSockets::TlsStep(Socket, TlsError& error) {
  error.failure = TlsFailure::NotAvailable;
  error.reason.clear();
  return TlsStatus::Failed;
}

bool WinSockets::TlsDescribe(Socket, Bytes&, Bytes&) {
  return false;
}

}  // namespace tv::win
