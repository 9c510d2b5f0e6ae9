#include "posix/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "sysnet/sockaddr.h"

namespace tv::posix {

using sysnet::MakeAddress;
using sysnet::ReadAddress;

namespace {

// Windows Sockets error codes. The core tells only "would block" from any
// other failure; these name the outcomes a connection meets, everything else
// is a failed call.
constexpr int kWsaeAddrInUse = 10048;
constexpr int kWsaeNetUnreach = 10051;
constexpr int kWsaeConnAborted = 10053;
constexpr int kWsaeConnReset = 10054;
constexpr int kWsaeTimedOut = 10060;
constexpr int kWsaeConnRefused = 10061;
constexpr int kWsaeHostUnreach = 10065;
constexpr int kWsaSysCallFailure = 10107;
constexpr int kWsaHostNotFound = 11001;

intptr_t MakeLong(long low, int high) {
  return static_cast<intptr_t>((static_cast<uint32_t>(high & 0xFFFF) << 16) |
                               static_cast<uint32_t>(low & 0xFFFF));
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

int WinsockError(int err) {
  switch (err) {
    case 0:
      return 0;
    case EWOULDBLOCK:
    case EINPROGRESS:
      return kWsaeWouldBlock;
    case EADDRINUSE:
      return kWsaeAddrInUse;
    case ENETUNREACH:
      return kWsaeNetUnreach;
    case ECONNABORTED:
      return kWsaeConnAborted;
    case ECONNRESET:
    case EPIPE:
      return kWsaeConnReset;
    case ETIMEDOUT:
      return kWsaeTimedOut;
    case ECONNREFUSED:
      return kWsaeConnRefused;
    case EHOSTUNREACH:
      return kWsaeHostUnreach;
    default:
      return kWsaSysCallFailure;
  }
}

// One host lookup. The helper thread writes the result and then sets done;
// the loop reads it only after seeing done.
struct PosixSockets::Lookup {
  uintptr_t handle = 0;
  uint32_t msg = 0;
  bool cancelled = false;  // loop thread only
  std::atomic<bool> done{false};
  int error = 0;
  std::vector<IpAddress> found;
};

PosixSockets::PosixSockets(PosixQueue& queue) : queue_(queue) {
  queue_.AddClient(this);
}

PosixSockets::~PosixSockets() {
  for (auto& st : sockets_) close(st->fd);
  // Lookups still running keep their own record and the waker alive.
}

PosixSockets::State* PosixSockets::Find(Socket s) {
  for (auto& st : sockets_) {
    if (st->fd == s) return st.get();
  }
  return nullptr;
}

bool PosixSockets::Fail(int err) {
  lastError_ = WinsockError(err);
  return false;
}

Socket PosixSockets::Create(IpFamily family) {
  int fd = socket(family == IpFamily::V6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(errno);
    return kInvalidSocket;
  }
  auto st = std::make_unique<State>();
  st->fd = fd;
  st->family = family;
  sockets_.push_back(std::move(st));
  return fd;
}

bool PosixSockets::Bind(Socket s, const IpAddress& addr, uint16_t port) {
  State* st = Find(s);
  if (!st) return Fail(ENOTSOCK);
  if (addr.family != st->family) return Fail(EAFNOSUPPORT);
  int one = 1;
  setsockopt(st->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // "::" means every IPv6 address only, as it does on Windows.
  if (st->family == IpFamily::V6) setsockopt(st->fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  sockaddr_storage sa;
  const auto len = static_cast<socklen_t>(MakeAddress(addr, port, sa));
  if (bind(st->fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) return Fail(errno);
  return true;
}

bool PosixSockets::Listen(Socket s, int backlog) {
  State* st = Find(s);
  if (!st) return Fail(ENOTSOCK);
  if (listen(st->fd, backlog) != 0) return Fail(errno);
  st->phase = Phase::Listening;
  return true;
}

Socket PosixSockets::Accept(Socket s, IpAddress& peer) {
  State* st = Find(s);
  if (!st) {
    Fail(ENOTSOCK);
    return kInvalidSocket;
  }
  // Calling accept enables the next accept notification.
  if (st->events & kFdAccept) st->acceptArmed = true;
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  int fd;
  do {
    fd = accept4(st->fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail(errno);
    return kInvalidSocket;
  }
  ReadAddress(reinterpret_cast<const sockaddr*>(&sa), peer);
  auto accepted = std::make_unique<State>();
  accepted->fd = fd;
  accepted->family = st->family;
  accepted->phase = Phase::Connected;
  sockets_.push_back(std::move(accepted));
  return fd;
}

bool PosixSockets::Connect(Socket s, const IpAddress& addr, uint16_t port) {
  State* st = Find(s);
  if (!st) return Fail(ENOTSOCK);
  if (addr.family != st->family) return Fail(EAFNOSUPPORT);
  sockaddr_storage sa;
  const auto len = static_cast<socklen_t>(MakeAddress(addr, port, sa));
  if (connect(st->fd, reinterpret_cast<sockaddr*>(&sa), len) == 0) {
    st->phase = Phase::Connected;
    // The notification still comes, as it does for a connect that finishes later.
    if (st->connectArmed) {
      Post(*st, kFdConnect, 0);
      st->connectArmed = false;
    }
    return true;
  }
  int err = errno;
  if (err == EINPROGRESS || err == EINTR) st->phase = Phase::Connecting;
  return Fail(err == EINTR ? EINPROGRESS : err);
}

int PosixSockets::Send(Socket s, const char* data, int len) {
  State* st = Find(s);
  if (!st) {
    Fail(ENOTSOCK);
    return -1;
  }
  if (st->tls) return TlsSend(*st, data, len);
  ssize_t n;
  do {
    n = send(st->fd, data, static_cast<size_t>(std::max(len, 0)), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    // A send that would block enables the next write notification.
    if (errno == EWOULDBLOCK && (st->events & kFdWrite)) st->writeArmed = true;
    Fail(errno);
    return -1;
  }
  return static_cast<int>(n);
}

int PosixSockets::Recv(Socket s, char* buf, int len) {
  State* st = Find(s);
  if (!st) {
    Fail(ENOTSOCK);
    return -1;
  }
  if (st->tls) return TlsRecv(*st, buf, len);
  ssize_t n;
  do {
    n = recv(st->fd, buf, static_cast<size_t>(std::max(len, 0)), 0);
  } while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : 0;
  // Any recv enables the next read notification. After the peer's end no
  // readiness will announce what is still buffered, so that is posted now.
  if (st->events & kFdRead) {
    st->readArmed = true;
    int avail = 0;
    if (st->peerClosed && ioctl(st->fd, FIONREAD, &avail) == 0 && avail > 0) {
      Post(*st, kFdRead, 0);
      st->readArmed = false;
    }
  }
  if (n < 0) {
    Fail(err);
    return -1;
  }
  return static_cast<int>(n);
}

bool PosixSockets::BytesAvailable(Socket s, unsigned long& count) {
  State* st = Find(s);
  if (!st) return Fail(ENOTSOCK);
  if (st->tls) return TlsBytesAvailable(*st, count);
  int avail = 0;
  if (ioctl(st->fd, FIONREAD, &avail) != 0) return Fail(errno);
  count = static_cast<unsigned long>(avail);
  return true;
}

void PosixSockets::Shutdown(Socket s) {
  if (State* st = Find(s)) {
    if (st->tls) FlushBeforeShutdown(*st);
    shutdown(st->fd, SHUT_RDWR);
  }
}

void PosixSockets::Close(Socket s) {
  for (auto it = sockets_.begin(); it != sockets_.end(); ++it) {
    if ((*it)->fd == s) {
      close((*it)->fd);
      sockets_.erase(it);
      return;
    }
  }
}

bool PosixSockets::AsyncSelect(Socket s, uint32_t msg, long events) {
  State* st = Find(s);
  if (!st) return Fail(ENOTSOCK);
  int flags = fcntl(st->fd, F_GETFL);
  if (flags < 0 || fcntl(st->fd, F_SETFL, flags | O_NONBLOCK) < 0) return Fail(errno);
  st->msg = msg;
  st->events = events;
  st->readArmed = (events & kFdRead) != 0;
  st->writeArmed = (events & kFdWrite) != 0;
  st->acceptArmed = (events & kFdAccept) != 0;
  st->connectArmed = (events & kFdConnect) != 0;
  st->closePosted = false;
  return true;
}

bool PosixSockets::PeerHasClosed(Socket s) {
  State* st = Find(s);
  if (!st) return true;
  if (st->tls) return TlsPeerHasClosed(*st);
  char c;
  ssize_t n;
  do {
    n = recv(st->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return true;
  if (n > 0) return false;
  return errno != EWOULDBLOCK && errno != ENOMEM && errno != ENOBUFS;
}

void PosixSockets::Post(const State& st, long event, int error) {
  queue_.PostToMain(st.msg, static_cast<uintptr_t>(st.fd), MakeLong(event, error));
}

bool PosixSockets::Collect(std::vector<pollfd>& fds) {
  polled_.clear();
  for (auto& owned : sockets_) {
    State& st = *owned;
    if (st.hungUp) continue;
    short want = 0;
    switch (st.phase) {
      case Phase::Fresh:
        break;
      case Phase::Listening:
        if (st.acceptArmed) want = POLLIN;
        break;
      case Phase::Connecting:
        want = POLLOUT;  // also ends the connecting phase when nothing is registered
        break;
      case Phase::Connected:
        if (st.tls) {
          want = TlsWanted(st);
          break;
        }
        if (!st.peerClosed) {
          if (st.readArmed) want |= POLLIN;
          if ((st.events & kFdClose) && !st.closePosted) want |= POLLRDHUP;
        }
        if (st.writeArmed) want |= POLLOUT;
        break;
    }
    if (want == 0) continue;
    fds.push_back(pollfd{st.fd, want, 0});
    polled_.push_back(&st);
  }
  return !lookups_.empty();
}

void PosixSockets::Deliver(const pollfd* fds, size_t count) {
  for (size_t i = 0; i < count && i < polled_.size(); ++i) {
    if (fds[i].revents != 0) DeliverOne(*polled_[i], fds[i].revents);
  }
  if (!lookups_.empty()) DeliverLookups();
}

void PosixSockets::DeliverOne(State& st, short revents) {
  const size_t before = queue_.Pending();
  if (revents & POLLNVAL) {
    st.hungUp = true;
    return;
  }
  switch (st.phase) {
    case Phase::Fresh:
      break;
    case Phase::Listening:
      if ((revents & POLLIN) && st.acceptArmed) {
        Post(st, kFdAccept, 0);
        st.acceptArmed = false;
      }
      break;
    case Phase::Connecting: {
      int err = PendingError(st.fd);
      // The system reports a reset during the handshake as a refusal, so a
      // reset here came after it: the peer accepted the connection and ended
      // it at once. The connection was made; its end is the close that
      // follows, with the reset's code.
      if (err == ECONNRESET || err == EPIPE) {
        st.resetError = err;
        err = 0;
      }
      st.phase = err == 0 ? Phase::Connected : Phase::Fresh;
      if (st.connectArmed) {
        Post(st, kFdConnect, WinsockError(err));
        st.connectArmed = false;
      }
      return;
    }
    case Phase::Connected: {
      if (st.tls) {
        TlsDeliver(st, revents);
        break;
      }
      bool ended = (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
      if ((revents & POLLIN) && st.readArmed) {
        int avail = 0;
        if (ioctl(st.fd, FIONREAD, &avail) == 0 && avail > 0) {
          Post(st, kFdRead, 0);
          st.readArmed = false;
        } else {
          ended = true;  // readable with nothing to read: the peer's end
        }
      }
      if ((revents & POLLOUT) && st.writeArmed) {
        Post(st, kFdWrite, 0);
        st.writeArmed = false;
      }
      if (ended && !st.peerClosed) {
        st.peerClosed = true;
        if ((st.events & kFdClose) && !st.closePosted) {
          int err = (revents & POLLERR) ? PendingError(st.fd) : 0;
          if (err == 0) err = st.resetError;
          Post(st, kFdClose, WinsockError(err));
          st.closePosted = true;
        }
      }
      break;
    }
  }
  // A hang-up that led to nothing would wake every poll again.
  if ((revents & (POLLHUP | POLLERR)) && queue_.Pending() == before) st.hungUp = true;
}

uintptr_t PosixSockets::StartHostLookup(const Bytes& name, uint32_t msg) {
  auto lookup = std::make_shared<Lookup>();
  lookup->handle = nextHandle_++;
  if (nextHandle_ == 0) nextHandle_ = 1;
  lookup->msg = msg;
  std::shared_ptr<Waker> waker = queue_.waker();
  try {
    std::thread([lookup, waker, name] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* result = nullptr;
      int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
      for (const addrinfo* ai = rc == 0 ? result : nullptr; ai; ai = ai->ai_next) {
        IpAddress addr;
        if (ai->ai_addr && ReadAddress(ai->ai_addr, addr)) lookup->found.push_back(addr);
      }
      // The core only tells found from not found.
      if (lookup->found.empty()) lookup->error = kWsaHostNotFound;
      if (result) freeaddrinfo(result);
      lookup->done.store(true, std::memory_order_release);
      waker->Wake();
    }).detach();
  } catch (const std::exception&) {
    lastError_ = kWsaSysCallFailure;
    return 0;
  }
  lookups_.push_back(lookup);
  return lookup->handle;
}

void PosixSockets::DeliverLookups() {
  for (auto it = lookups_.begin(); it != lookups_.end();) {
    Lookup& l = **it;
    if (!l.done.load(std::memory_order_acquire)) {
      ++it;
      continue;
    }
    if (!l.cancelled) {
      queue_.PostToMain(l.msg, l.handle, MakeLong(0, l.error));
      finished_.push_back(*it);
      if (finished_.size() > 4) finished_.erase(finished_.begin());
    }
    it = lookups_.erase(it);
  }
}

bool PosixSockets::HostLookupAddresses(uintptr_t handle, std::vector<IpAddress>& found) {
  for (auto& l : finished_) {
    if (l->handle == handle && l->error == 0) {
      found = l->found;
      return true;
    }
  }
  return false;
}

void PosixSockets::CancelAsyncRequest(uintptr_t handle) {
  for (auto it = lookups_.begin(); it != lookups_.end(); ++it) {
    if ((*it)->handle == handle) {
      // The helper thread finishes on its own; its result is dropped.
      (*it)->cancelled = true;
      lookups_.erase(it);
      return;
    }
  }
}

}  // namespace tv::posix
