#include "win32/sockets.h"

#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <string>

#include "sysnet/sockaddr.h"

namespace tv::win {

using sysnet::MakeAddress;
using sysnet::ReadAddress;

namespace {

SOCKET Raw(Socket s) {
  return static_cast<SOCKET>(s);
}

constexpr int kHostNotFound = 11001;  // WSAHOST_NOT_FOUND
constexpr size_t kFinishedKept = 4;

}  // namespace

// One host lookup, done by getaddrinfo on a thread of its own so that the
// window keeps answering. The thread writes the result, sets done and then
// posts the message; the window's thread reads the result only after done.
struct WinSockets::Lookup {
  HWND window = nullptr;
  UINT msg = 0;
  uintptr_t handle = 0;
  std::string name;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> done{false};
  int error = 0;
  std::vector<IpAddress> found;
};

DWORD WINAPI WinSockets::LookupThread(void* param) {
  std::shared_ptr<Lookup>* owned = static_cast<std::shared_ptr<Lookup>*>(param);
  std::shared_ptr<Lookup> lookup = *owned;
  delete owned;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(lookup->name.c_str(), nullptr, &hints, &result) == 0) {
    for (const addrinfo* ai = result; ai; ai = ai->ai_next) {
      IpAddress addr;
      if (ai->ai_addr && ReadAddress(ai->ai_addr, addr)) lookup->found.push_back(addr);
    }
  }
  if (result) freeaddrinfo(result);
  // The core only tells found from not found.
  if (lookup->found.empty()) lookup->error = kHostNotFound;
  lookup->done.store(true, std::memory_order_release);
  if (!lookup->cancelled.load(std::memory_order_acquire)) {
    PostMessageW(lookup->window, lookup->msg, static_cast<WPARAM>(lookup->handle),
                 MAKELPARAM(0, lookup->error));
  }
  return 0;
}

Socket WinSockets::Create(IpFamily family) {
  SOCKET s = socket(family == IpFamily::V6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  return static_cast<Socket>(s);
}

bool WinSockets::Bind(Socket s, const IpAddress& addr, uint16_t port) {
  if (addr.family == IpFamily::V6) {
    // The system's default, said aloud: "::" takes IPv6 peers only.
    DWORD only = 1;
    setsockopt(Raw(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only),
               sizeof only);
  }
  sockaddr_storage a;
  const int length = MakeAddress(addr, port, a);
  return bind(Raw(s), reinterpret_cast<const sockaddr*>(&a), length) == 0;
}

bool WinSockets::Listen(Socket s, int backlog) {
  return listen(Raw(s), backlog) == 0;
}

Socket WinSockets::Accept(Socket s, IpAddress& peer) {
  sockaddr_storage a = {};
  int length = sizeof a;
  SOCKET accepted = accept(Raw(s), reinterpret_cast<sockaddr*>(&a), &length);
  if (accepted == INVALID_SOCKET) return kInvalidSocket;
  ReadAddress(reinterpret_cast<const sockaddr*>(&a), peer);
  return static_cast<Socket>(accepted);
}

bool WinSockets::Connect(Socket s, const IpAddress& addr, uint16_t port) {
  sockaddr_storage a;
  const int length = MakeAddress(addr, port, a);
  return connect(Raw(s), reinterpret_cast<const sockaddr*>(&a), length) == 0;
}

int WinSockets::Send(Socket s, const char* data, int len) {
  if (TlsSocket* st = FindTls(s)) return st->link.Send(data, len);
  int n = send(Raw(s), data, len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int WinSockets::Recv(Socket s, char* buf, int len) {
  if (TlsSocket* st = FindTls(s)) return st->link.Recv(buf, len);
  int n = recv(Raw(s), buf, len, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool WinSockets::BytesAvailable(Socket s, unsigned long& count) {
  if (TlsSocket* st = FindTls(s)) {
    count = static_cast<unsigned long>(st->link.Available());
    return true;
  }
  u_long n = 0;
  if (ioctlsocket(Raw(s), FIONREAD, &n) != 0) return false;
  count = n;
  return true;
}

void WinSockets::Shutdown(Socket s) {
  if (TlsSocket* st = FindTls(s)) st->link.Finish();
  shutdown(Raw(s), SD_BOTH);
}

void WinSockets::Close(Socket s) {
  tls_.erase(s);
  closesocket(Raw(s));
}

bool WinSockets::AsyncSelect(Socket s, uint32_t msg, long events) {
  if (TlsSocket* st = FindTls(s)) {
    // The socket's own registration stays with the TLS layer.
    st->msg = msg;
    st->events = events;
    return true;
  }
  return WSAAsyncSelect(Raw(s), window_, msg, events) == 0;
}

uintptr_t WinSockets::StartHostLookup(const Bytes& name, uint32_t msg) {
  auto lookup = std::make_shared<Lookup>();
  lookup->window = window_;
  lookup->msg = msg;
  lookup->handle = nextLookup_++;
  if (nextLookup_ == 0) nextLookup_ = 1;
  lookup->name = name;
  auto* forThread = new std::shared_ptr<Lookup>(lookup);
  HANDLE thread = CreateThread(nullptr, 0, LookupThread, forThread, 0, nullptr);
  if (!thread) {
    delete forThread;
    return 0;
  }
  CloseHandle(thread);
  lookups_.push_back(lookup);
  // Forget the oldest finished lookups; those under way stay.
  size_t finished = 0;
  for (auto it = lookups_.rbegin(); it != lookups_.rend(); ++it) {
    if ((*it)->done.load(std::memory_order_acquire)) ++finished;
  }
  for (auto it = lookups_.begin(); it != lookups_.end() && finished > kFinishedKept;) {
    if ((*it)->done.load(std::memory_order_acquire)) {
      it = lookups_.erase(it);
      --finished;
    } else {
      ++it;
    }
  }
  return lookup->handle;
}

bool WinSockets::HostLookupAddresses(uintptr_t handle, std::vector<IpAddress>& found) {
  for (const auto& lookup : lookups_) {
    if (lookup->handle != handle) continue;
    if (!lookup->done.load(std::memory_order_acquire) || lookup->found.empty()) return false;
    found = lookup->found;
    return true;
  }
  return false;
}

void WinSockets::CancelAsyncRequest(uintptr_t handle) {
  for (auto it = lookups_.begin(); it != lookups_.end(); ++it) {
    if ((*it)->handle == handle) {
      // The thread cannot be stopped inside getaddrinfo; it finishes and
      // posts nothing.
      (*it)->cancelled.store(true, std::memory_order_release);
      lookups_.erase(it);
      return;
    }
  }
}

int WinSockets::LastError() {
  return WSAGetLastError();
}

bool WinSockets::PeerHasClosed(Socket s) {
  if (TlsSocket* st = FindTls(s)) return st->link.PeerHasClosed();
  // A peek, not FIONREAD: after a reset some systems still count the bytes
  // that came before it while every recv fails.
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

}  // namespace tv::win
