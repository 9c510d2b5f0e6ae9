// Sockets with an in-memory peer for the network unit tests. Everything the
// peer does happens on the fake queue's virtual clock: bytes arriving, the
// notifications (in an order a test may choose), the peer's close, a reset,
// room to send coming back. Every call the core makes is recorded.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/commands.h"
#include "net/address.h"
#include "support/fake_host.h"

namespace tv::test {

constexpr int kWsaeConnReset = 10054;
constexpr int kWsaeConnRefused = 10061;
constexpr int kWsaeHostNotFound = 11001;
constexpr int kWsaeNotConn = 10057;
constexpr int kWsaeNetUnreach = 10051;

inline intptr_t SelectLParam(long events, int error = 0) {
  return static_cast<intptr_t>((static_cast<uint32_t>(error) << 16) | (events & 0xFFFF));
}

inline Bytes Dotted(const IpAddress& a) {
  return FormatAddress(a);
}

inline IpAddress Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return Ipv4Address(a, b, c, d);
}

inline IpAddress Ip6(const Bytes& text) {
  IpAddress address;
  ParseIpv6Literal(text, address);
  return address;
}

class ScriptedSockets : public SocketLayer {
 public:
  struct Sock {
    bool closed = false;
    bool listening = false;
    bool connected = false;
    uint32_t msg = 0;
    long events = 0;
    Bytes incoming;  // sent by the peer, not yet read
    Bytes sent;      // handed to send() by the core
    bool peerClosed = false;
    bool reset = false;
    long sendRoom = -1;  // bytes send() still takes; -1 without limit
    int sendError = 0;   // when set, every send fails with it
  };

  explicit ScriptedSockets(FakeQueue& queue) : queue_(queue) {}

  // --- What the socket layer does when asked ---------------------------------
  bool failCreate = false;
  bool failBind = false;
  bool failListen = false;
  bool failAccept = false;
  bool failBytesAvailable = false;
  // connect(): succeeds at once, fails at once with connectError, or (the
  // default) would block and is answered with the set-up message after
  // connectAnswerMs (never when negative) carrying connectAnswerError.
  bool connectAtOnce = false;
  int connectError = 0;
  long long connectAnswerMs = 5;
  int connectAnswerError = 0;
  // Host lookups: the addresses of the names found, in the resolver's order,
  // and how long a lookup takes (never when negative).
  std::map<Bytes, std::vector<IpAddress>> hosts;
  bool lookupCannotStart = false;
  long long lookupMs = 5;
  // Peer address reported by accept().
  IpAddress acceptPeer = Ip(127, 0, 0, 1);
  // Addresses whose connect() is refused by the set-up message, and those that
  // fail at once (with connectError, or "network unreachable").
  std::vector<IpAddress> refusing, failingAtOnce;
  // Create() fails for this family when set.
  bool noIpv6 = false;
  // TLS: the outcome of StartTls and of each TlsStep after it, in order
  // (Pending once they are used up: a peer that never answers), the error a
  // failing one reports, and the names TlsDescribe gives. The bytes stay as
  // they are: the peer's "decrypted" bytes are what Arrive delivers.
  std::deque<TlsStatus> tlsSteps;
  TlsError tlsError{TlsFailure::Handshake, "alert handshake failure"};
  Bytes tlsProtocol = "TLSv1.3", tlsCipher = "TLS_AES_128_GCM_SHA256";
  TlsOptions tlsOptions;  // what the last StartTls was given
  // How the decrypted stream ends, as TlsFault tells it: None for the close
  // alert.
  TlsError tlsFault;

  // --- Observation -------------------------------------------------------------
  std::vector<Bytes> calls;  // "create 3", "connect 3 10.0.0.1:23", "close 3", ...
  std::map<Socket, Sock> socks;
  Socket live = kInvalidSocket;  // the connected socket the peer talks to
  std::vector<int> recvSizes;    // the length of every recv() call
  int sendCalls = 0;

  Sock& Live() { return socks.at(live); }
  bool IsClosed(Socket s) const { return socks.count(s) && socks.at(s).closed; }
  Bytes Calls() const {
    Bytes out;
    for (const Bytes& c : calls) out += c + "\n";
    return out;
  }

  // --- The peer, on the virtual clock -------------------------------------------
  // Bytes arrive; FD_READ follows when notify is set.
  void Arrive(long long atMs, const Bytes& bytes, bool notify = true) {
    queue_.At(atMs, [this, bytes, notify] {
      Sock& s = Live();
      s.incoming += bytes;
      if (notify) Post(live, kFdRead);
    });
  }
  // The peer closes after sending what it sent; FD_CLOSE follows when asked.
  void PeerCloses(long long atMs, bool notify = true) {
    queue_.At(atMs, [this, notify] {
      Live().peerClosed = true;
      if (notify) Post(live, kFdClose);
    });
  }
  // The peer resets the connection: unread bytes are gone, send and recv fail.
  void PeerResets(long long atMs, bool notify = true) {
    queue_.At(atMs, [this, notify] {
      Sock& s = Live();
      s.reset = true;
      s.incoming.clear();
      if (notify) Post(live, kFdClose, kWsaeConnReset);
    });
  }
  // A reset as some systems report it: the bytes that came before it are
  // still counted as there, every recv fails with the reset, and only a read
  // notification comes.
  void PeerResetsKeepingTheCount(long long atMs) {
    queue_.At(atMs, [this] {
      Live().reset = true;
      Post(live, kFdRead);
    });
  }
  // The socket takes n more bytes; FD_WRITE follows when asked.
  void RoomFor(long long atMs, long n, bool notify = true) {
    queue_.At(atMs, [this, n, notify] {
      Sock& s = Live();
      s.sendRoom = s.sendRoom < 0 ? n : s.sendRoom + n;
      if (notify) Post(live, kFdWrite);
    });
  }
  // Any notification for the live socket, registered or not.
  void Notify(long long atMs, long events, int error = 0) {
    queue_.At(atMs, [this, events, error] {
      queue_.PostToMain(Live().msg ? Live().msg : WM_SOCKET_EVENT, static_cast<uintptr_t>(live),
                        SelectLParam(events, error));
    });
  }
  // A client connects to the listening socket.
  void ClientArrives(long long atMs) {
    queue_.At(atMs, [this] {
      for (auto& [id, s] : socks) {
        if (s.listening && !s.closed) {
          ++waitingClients_;
          Post(id, kFdAccept);
        }
      }
    });
  }
  // An open connection without going through Connect or Accept.
  Socket OpenConnection(ScriptContext& ctx) {
    Socket s = NewSocket();
    socks[s].connected = true;
    live = s;
    AsyncSelect(s, WM_SOCKET_EVENT, kFdRead | kFdWrite | kFdClose);
    calls.clear();
    ctx.connection = OpenStream(s);
    ctx.fillCount = 0;
    ctx.failureReason = "???";
    return s;
  }

  // --- Sockets ---------------------------------------------------------------------
  Socket Create(IpFamily family) override {
    if (failCreate || (noIpv6 && family == IpFamily::V6)) {
      calls.push_back("create failed");
      return kInvalidSocket;
    }
    Socket s = NewSocket();
    calls.push_back("create " + std::to_string(s) + (family == IpFamily::V6 ? " v6" : ""));
    return s;
  }
  bool Bind(Socket s, const IpAddress& addr, uint16_t port) override {
    calls.push_back("bind " + std::to_string(s) + " " + Dotted(addr) + ":" + std::to_string(port));
    return !failBind;
  }
  bool Listen(Socket s, int backlog) override {
    calls.push_back("listen " + std::to_string(s) + " " + std::to_string(backlog));
    if (failListen) return false;
    socks[s].listening = true;
    return true;
  }
  Socket Accept(Socket s, IpAddress& peer) override {
    if (failAccept || waitingClients_ == 0) {
      calls.push_back("accept " + std::to_string(s) + " failed");
      return kInvalidSocket;
    }
    --waitingClients_;
    Socket a = NewSocket();
    socks[a].connected = true;
    live = a;
    peer = acceptPeer;
    calls.push_back("accept " + std::to_string(s) + " -> " + std::to_string(a));
    return a;
  }
  bool Connect(Socket s, const IpAddress& addr, uint16_t port) override {
    calls.push_back("connect " + std::to_string(s) + " " + Dotted(addr) + ":" +
                    std::to_string(port));
    live = s;
    const bool failsAtOnce = Listed(failingAtOnce, addr);
    if (connectAtOnce && !failsAtOnce) {
      socks[s].connected = true;
      return true;
    }
    if (connectError || failsAtOnce) {
      lastError_ = connectError ? connectError : kWsaeNetUnreach;
      return false;
    }
    lastError_ = kWsaeWouldBlock;
    if (connectAnswerMs >= 0) {
      int error = Listed(refusing, addr) ? kWsaeConnRefused : connectAnswerError;
      queue_.At(queue_.now + connectAnswerMs, [this, s, error] {
        if (socks[s].closed) return;
        socks[s].connected = error == 0;
        Post(s, kFdConnect, error);
      });
    }
    return false;
  }
  int Send(Socket s, const char* data, int len) override {
    ++sendCalls;
    Sock& k = socks[s];
    int n = len;
    if (k.closed) {
      lastError_ = kWsaeNotConn;
      n = -1;
    } else if (k.reset) {
      lastError_ = kWsaeConnReset;
      n = -1;
    } else if (k.sendError) {
      lastError_ = k.sendError;
      n = -1;
    } else if (k.sendRoom == 0) {
      lastError_ = kWsaeWouldBlock;
      n = -1;
    } else if (k.sendRoom > 0 && k.sendRoom < n) {
      n = static_cast<int>(k.sendRoom);
    }
    if (n > 0) {
      k.sent.append(data, static_cast<size_t>(n));
      if (k.sendRoom > 0) k.sendRoom -= n;
    }
    calls.push_back("send " + std::to_string(s) + " " + std::to_string(len) + " -> " +
                    std::to_string(n));
    return n;
  }
  int Recv(Socket s, char* buf, int len) override {
    recvSizes.push_back(len);
    Sock& k = socks[s];
    if (k.reset || k.closed) {
      lastError_ = kWsaeConnReset;
      return -1;
    }
    if (k.incoming.empty()) {
      if (k.peerClosed) return 0;
      lastError_ = kWsaeWouldBlock;
      return -1;
    }
    size_t n = std::min(k.incoming.size(), static_cast<size_t>(len));
    k.incoming.copy(buf, n);
    k.incoming.erase(0, n);
    return static_cast<int>(n);
  }
  bool BytesAvailable(Socket s, unsigned long& count) override {
    if (failBytesAvailable || !socks.count(s)) return false;
    count = socks[s].incoming.size();
    return true;
  }
  void Shutdown(Socket s) override { calls.push_back("shutdown " + std::to_string(s)); }
  void Close(Socket s) override {
    calls.push_back("close " + std::to_string(s));
    socks[s].closed = true;
  }
  bool AsyncSelect(Socket s, uint32_t msg, long events) override {
    calls.push_back("select " + std::to_string(s) + " " + std::to_string(msg - kWmUser) + " " +
                    std::to_string(events));
    socks[s].msg = msg;
    socks[s].events = events;
    return true;
  }
  uintptr_t StartHostLookup(const Bytes& name, uint32_t msg) override {
    calls.push_back("lookup " + name);
    if (lookupCannotStart) return 0;
    uintptr_t handle = nextLookup_++;
    if (lookupMs >= 0) {
      queue_.At(queue_.now + lookupMs, [this, handle, name, msg] {
        if (cancelled_.count(handle)) return;
        auto it = hosts.find(name);
        if (it != hosts.end()) found_[handle] = it->second;
        queue_.PostToMain(msg, handle, SelectLParam(0, it == hosts.end() ? kWsaeHostNotFound : 0));
      });
    }
    return handle;
  }
  bool HostLookupAddresses(uintptr_t handle, std::vector<IpAddress>& found) override {
    auto it = found_.find(handle);
    if (it == found_.end()) return false;
    found = it->second;
    return true;
  }
  void CancelAsyncRequest(uintptr_t handle) override {
    calls.push_back("cancel " + std::to_string(handle));
    cancelled_.insert(handle);
  }
  int LastError() override { return lastError_; }
  bool PeerHasClosed(Socket s) override {
    const Sock& k = socks[s];
    return k.incoming.empty() && (k.peerClosed || k.reset);
  }
  TlsStatus StartTls(Socket s, const TlsOptions& options, TlsError& error) override {
    tlsOptions = options;
    Bytes call = "starttls " + std::to_string(s);
    if (options.role == TlsRole::Client) {
      call += " client name=" + options.serverName + " address=" + options.peerAddress +
              " trust=" + options.trustFile + (options.noVerify ? " noverify" : "");
    } else {
      call += " server cert=" + options.certFile + " password=" + options.password;
    }
    calls.push_back(call);
    return NextTlsStep(s, error);
  }
  TlsStatus TlsStep(Socket s, TlsError& error) override {
    calls.push_back("tlsstep " + std::to_string(s));
    return NextTlsStep(s, error);
  }
  bool TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) override {
    if (!tlsDone_.count(s)) return false;
    protocol = tlsProtocol;
    cipher = tlsCipher;
    return true;
  }
  bool TlsFault(Socket s, TlsError& error) override {
    if (!tlsDone_.count(s) || tlsFault.failure == TlsFailure::None) return false;
    error = tlsFault;
    return true;
  }

 private:
  static bool Listed(const std::vector<IpAddress>& list, const IpAddress& a) {
    for (const IpAddress& l : list) {
      if (SameAddress(l, a)) return true;
    }
    return false;
  }
  Socket NewSocket() {
    Socket s = nextSocket_++;
    socks[s] = Sock();
    return s;
  }
  // A notification as the socket layer posts it: only registered events, only
  // for open sockets.
  void Post(Socket s, long event, int error = 0) {
    Sock& k = socks[s];
    if (k.closed || !(k.events & event)) return;
    queue_.PostToMain(k.msg, static_cast<uintptr_t>(s), SelectLParam(event, error));
  }

  TlsStatus NextTlsStep(Socket s, TlsError& error) {
    TlsStatus status = TlsStatus::Pending;
    if (!tlsSteps.empty()) {
      status = tlsSteps.front();
      tlsSteps.pop_front();
    }
    if (status == TlsStatus::Failed) error = tlsError;
    if (status == TlsStatus::Done) tlsDone_.insert(s);
    return status;
  }

  FakeQueue& queue_;
  std::set<Socket> tlsDone_;
  Socket nextSocket_ = 3;
  uintptr_t nextLookup_ = 100;
  int lastError_ = 0;
  int waitingClients_ = 0;
  std::set<uintptr_t> cancelled_;
  std::map<uintptr_t, std::vector<IpAddress>> found_;
};

// A fake host whose sockets have a scripted peer.
struct NetHost {
  FakeQueue queue;
  ScriptedSockets sockets{queue};
  FakeWindow window;
  FakeProfile profile;
  FakeFiles files;
  ScriptContext ctx{Host{queue, sockets, window, profile, files}};

  NetHost() {
    queue.dispatch = [this](const Msg& m) { DispatchMainWindowMessage(ctx, m); };
    ctx.log.Open(files, "test.log");
    ctx.running = true;
  }
  Socket Open() { return sockets.OpenConnection(ctx); }
  // The log with CR LF turned back into LF, without its first line.
  Bytes LogText() {
    Bytes out;
    for (char c : files.files["test.log"]) {
      if (c != '\r') out.push_back(c);
    }
    const Bytes first = "Program zahájen.\n";
    if (out.compare(0, first.size(), first) == 0) out.erase(0, first.size());
    return out;
  }
  // Log lines written from now on only.
  void ForgetLog() { files.files["test.log"].clear(); }
  // The operator clicks the Run button (an interruption while running).
  void InterruptAt(long long atMs) {
    queue.At(atMs, [this] { queue.PostToMain(kWmCommand, kIdRunButton, 0); });
  }
  // Runs a script held in memory as "/s/main.tvl".
  void Run(const Bytes& script, const Bytes& path = "/s/main.tvl") {
    files.files[path] = script;
    ctx.running = true;
    RunScript(ctx, path);
    ctx.running = false;
  }
  Bytes Boxes() const {
    Bytes out;
    for (const Bytes& t : window.transcript) out += t + "\n";
    return out;
  }
  Bytes Buffer() const { return Bytes(ctx.receiveBuffer, static_cast<size_t>(ctx.fillCount)); }
};

}  // namespace tv::test
