// Windows Sockets for the core: a thin pass-through whose notifications are
// posted to the main window.
#pragma once

#include "win32/winapi.h"

#include <memory>
#include <vector>

#include "host/host.h"

namespace tv::win {

class WinSockets : public Sockets {
 public:
  // The window that receives WSAAsyncSelect and host-lookup messages.
  void SetWindow(HWND window) { window_ = window; }

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
  int LastError() override;
  bool PeerHasClosed(Socket s) override;
  TlsStatus StartTls(Socket s, const TlsOptions& options, TlsError& error) override;
  TlsStatus TlsStep(Socket s, TlsError& error) override;
  bool TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) override;

 private:
  struct Lookup;
  static DWORD WINAPI LookupThread(void* param);

  HWND window_ = nullptr;
  // Lookups under way and the last few finished ones; a worker thread keeps
  // its own reference, so a cancelled lookup may still finish on its own.
  std::vector<std::shared_ptr<Lookup>> lookups_;
  uintptr_t nextLookup_ = 1;
};

}  // namespace tv::win
