// Windows Sockets for the core: a thin pass-through whose notifications are
// posted to the main window.
#pragma once

#include "win32/winapi.h"

#include <map>
#include <memory>
#include <vector>

#include "host/host.h"

namespace tv::win {

class TlsChannel;

class WinSockets : public Sockets {
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

 private:
  struct Lookup;
  static DWORD WINAPI LookupThread(void* param);

  // A socket with TLS: its own notifications go to a hidden window of this
  // object, which turns them into the notifications of the decrypted stream.
  struct TlsSocket {
    SOCKET s = INVALID_SOCKET;
    std::unique_ptr<TlsChannel> channel;
    UINT msg = 0;  // the core's registration
    long events = 0;
    bool rawEnded = false;  // the socket's data has ended
    int rawError = 0;       // the socket failed with this error
    bool peerClosed = false;
    bool closePosted = false;
    bool readArmed = false;   // a kFdRead may be posted
    bool writeArmed = false;  // a kFdWrite is owed after a refused send
    TlsSocket();
    ~TlsSocket();
  };
  static LRESULT CALLBACK RawWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool EnsureRawWindow();
  TlsSocket* FindTls(Socket s);
  void OnRawEvent(SOCKET s, long event, int error);
  void Post(const TlsSocket& st, long event, int error);
  void PullRaw(TlsSocket& st, bool ignoreLimit);
  bool FlushRaw(TlsSocket& st);
  void FlushBeforeShutdown(TlsSocket& st);
  bool TlsEnded(const TlsSocket& st) const;
  void AnnouncePlain(TlsSocket& st);
  int TlsSend(TlsSocket& st, const char* data, int len);
  int TlsRecv(TlsSocket& st, char* buf, int len);
  bool TlsBytesAvailable(TlsSocket& st, unsigned long& count);
  bool TlsPeerHasClosed(TlsSocket& st);

  std::map<Socket, std::unique_ptr<TlsSocket>> tls_;
  HWND rawWindow_ = nullptr;
  HWND window_ = nullptr;
  // Lookups under way and the last few finished ones; a worker thread keeps
  // its own reference, so a cancelled lookup may still finish on its own.
  std::vector<std::shared_ptr<Lookup>> lookups_;
  uintptr_t nextLookup_ = 1;
};

}  // namespace tv::win
