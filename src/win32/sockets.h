// Windows Sockets for the core: a thin pass-through whose notifications are
// posted to the main window.
#pragma once

#include "win32/winapi.h"

#include <map>
#include <memory>
#include <vector>

#include "host/socket_streams.h"
#include "tlslink/link.h"

namespace tv::win {

class TlsChannel;

class WinSockets : public SocketLayer {
 public:
  WinSockets() = default;
  ~WinSockets() override;
  WinSockets(const WinSockets&) = delete;
  WinSockets& operator=(const WinSockets&) = delete;

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
  bool TlsFault(Socket s, TlsError& error) override;

 private:
  struct Lookup;
  static DWORD WINAPI LookupThread(void* param);

  // A socket with TLS: its own notifications go to a hidden window of this
  // object, which turns them into the notifications of the decrypted stream.
  struct TlsSocket final : tlslink::StreamState, tlslink::RawSocket {
    TlsSocket(WinSockets& owner, SOCKET s, std::unique_ptr<TlsChannel> channel);
    ~TlsSocket() override;
    Result Receive(char* buf, size_t len) override;
    Result Transmit(const char* data, size_t len) override;
    bool AwaitRoom(int ms) override;
    void Notify(long event, int error) override;
    void SetLastError(int error) override;
    Bytes ErrorText(int error) const override;

    WinSockets& owner;
    SOCKET s = INVALID_SOCKET;
    UINT msg = 0;  // the core's registration
    tlslink::Link link;
  };
  static LRESULT CALLBACK RawWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool EnsureRawWindow();
  TlsSocket* FindTls(Socket s);
  void OnRawEvent(SOCKET s, long event, int error);
  void Post(const TlsSocket& st, long event, int error);

  std::map<Socket, std::unique_ptr<TlsSocket>> tls_;
  HWND rawWindow_ = nullptr;
  HWND window_ = nullptr;
  // Lookups under way and the last few finished ones; a worker thread keeps
  // its own reference, so a cancelled lookup may still finish on its own.
  std::vector<std::shared_ptr<Lookup>> lookups_;
  uintptr_t nextLookup_ = 1;
};

}  // namespace tv::win
