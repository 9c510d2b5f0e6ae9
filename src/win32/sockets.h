// Windows Sockets for the core: a thin pass-through whose notifications are
// posted to the main window.
#pragma once

#include "win32/winapi.h"

#include "host/host.h"

namespace tv::win {

class WinSockets : public Sockets {
 public:
  // The window that receives WSAAsyncSelect and host-lookup messages.
  void SetWindow(HWND window) { window_ = window; }

  Socket Create() override;
  bool Bind(Socket s, const Ipv4& addr, uint16_t port) override;
  bool Listen(Socket s, int backlog) override;
  Socket Accept(Socket s, Ipv4& peer) override;
  bool Connect(Socket s, const Ipv4& addr, uint16_t port) override;
  int Send(Socket s, const char* data, int len) override;
  int Recv(Socket s, char* buf, int len) override;
  bool BytesAvailable(Socket s, unsigned long& count) override;
  void Shutdown(Socket s) override;
  void Close(Socket s) override;
  bool AsyncSelect(Socket s, uint32_t msg, long events) override;
  uintptr_t AsyncGetHostByName(const Bytes& name, uint32_t msg) override;
  bool HostLookupAddress(uintptr_t handle, Ipv4& addr) override;
  void CancelAsyncRequest(uintptr_t handle) override;
  int LastError() override;
  bool PeerHasClosed(Socket s) override;
  TlsStatus StartTls(Socket s, const TlsOptions& options, TlsError& error) override;
  TlsStatus TlsStep(Socket s, TlsError& error) override;
  bool TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) override;

 private:
  HWND window_ = nullptr;
  uintptr_t lookup_ = 0;
  // The host entry of the pending or last lookup. It must be as large as the
  // biggest entry the system may write (MAXGETHOSTSTRUCT).
  alignas(8) char hostEntry_[MAXGETHOSTSTRUCT] = {};
};

}  // namespace tv::win
