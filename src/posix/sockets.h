// BSD sockets behind the Windows Sockets 1.1 shaped interface, with the
// asynchronous notifications emulated in the message queue's poll loop.
#pragma once

#include <memory>
#include <vector>

#include "host/socket_streams.h"
#include "posix/queue.h"
#include "tlslink/link.h"

namespace tv::posix {

// The Windows Sockets error code for an errno value.
int WinsockError(int err);

class PosixSockets : public SocketLayer, public PollClient {
 public:
  explicit PosixSockets(PosixQueue& queue);
  ~PosixSockets() override;

  Socket Create(IpFamily family) override;
  bool Bind(Socket s, const IpAddress& addr, uint16_t port) override;
  bool Listen(Socket s, int backlog) override;
  Socket Accept(Socket s, IpAddress& peer) override;
  bool Connect(Socket s, const IpAddress& addr, uint16_t port) override;
  int Send(Socket s, const char* data, int len) override;
  int Recv(Socket s, char* buf, int len) override;
  bool BytesAvailable(Socket s, unsigned long& count) override;
  void Shutdown(Socket s) override;
  void Close(Socket s) override;
  bool AsyncSelect(Socket s, uint32_t msg, long events) override;
  uintptr_t StartHostLookup(const Bytes& name, uint32_t msg) override;
  bool HostLookupAddresses(uintptr_t handle, std::vector<IpAddress>& found) override;
  void CancelAsyncRequest(uintptr_t handle) override;
  int LastError() override { return lastError_; }
  bool PeerHasClosed(Socket s) override;
  TlsStatus StartTls(Socket s, const TlsOptions& options, TlsError& error) override;
  TlsStatus TlsStep(Socket s, TlsError& error) override;
  bool TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) override;
  bool TlsFault(Socket s, TlsError& error) override;

  bool Collect(std::vector<pollfd>& fds) override;
  void Deliver(const pollfd* fds, size_t count) override;

  // Descriptors still open (for checks of the program's end).
  size_t OpenCount() const { return sockets_.size(); }

 private:
  enum class Phase { Fresh, Listening, Connecting, Connected };
  class TlsSocket;
  // The registration and the connected stream's notifications (WinSock's
  // re-enabling rules) are kept alike for plain and TLS sockets.
  struct State : tlslink::StreamState {
    int fd = -1;
    IpFamily family = IpFamily::V4;
    Phase phase = Phase::Fresh;
    uint32_t msg = 0;
    bool acceptArmed = false, connectArmed = false;
    bool hungUp = false;  // nothing more can happen on it
    int resetError = 0;   // a reset taken while the connect's outcome was read
    // TLS, once StartTls has been called, and whether a handshake step may
    // be announced.
    std::shared_ptr<TlsSocket> tls;
    bool tlsStepArmed = false;
  };
  struct Lookup;

  State* Find(Socket s);
  bool Fail(int err);
  void Post(const State& st, long event, int error);
  void DeliverOne(State& st, short revents);
  void DeliverLookups();
  // TLS (sockets_tls.cpp).
  void FlushBeforeShutdown(State& st);
  int TlsSend(State& st, const char* data, int len);
  int TlsRecv(State& st, char* buf, int len);
  bool TlsBytesAvailable(State& st, unsigned long& count);
  bool TlsPeerHasClosed(State& st);
  short TlsWanted(const State& st) const;
  void TlsDeliver(State& st, short revents);

  PosixQueue& queue_;
  std::vector<std::unique_ptr<State>> sockets_;
  std::vector<State*> polled_;  // the states behind the entries of the last Collect
  std::vector<std::shared_ptr<Lookup>> lookups_;
  std::vector<std::shared_ptr<Lookup>> finished_;  // recent lookups whose message was posted
  uintptr_t nextHandle_ = 1;
  int lastError_ = 0;
};

}  // namespace tv::posix
