// TLS on a connected socket: the socket's own notifications go to a hidden
// window, whose procedure has the link move the bytes between the socket and
// the TLS channel and post to the main window the notifications of the
// decrypted stream, with their WinSock meaning.
#include "win32/sockets.h"
#include "win32/tls.h"

namespace tv::win {

namespace {

// The socket's own notifications, on the hidden window only.
constexpr UINT kRawEvent = WM_USER + 1;
constexpr wchar_t kRawWindowClass[] = L"TarvelinTlsSockets";
// The most one send hands to the socket.
constexpr size_t kMaxSend = 64 * 1024;
constexpr tlslink::ErrorWords kErrorWords = {WSAENOTCONN, WSAECONNRESET, WSAEWOULDBLOCK};

TlsStatus FailWith(TlsError& error, TlsFailure failure, const Bytes& reason) {
  error.failure = failure;
  error.reason = reason;
  return TlsStatus::Failed;
}

}  // namespace

WinSockets::TlsSocket::TlsSocket(WinSockets& sockets, SOCKET raw,
                                 std::unique_ptr<TlsChannel> channel)
    : owner(sockets), s(raw), link(std::move(channel), *this, *this, kErrorWords) {}

WinSockets::TlsSocket::~TlsSocket() = default;

tlslink::RawSocket::Result WinSockets::TlsSocket::Receive(char* buf, size_t len) {
  for (;;) {
    const int n = recv(s, buf, static_cast<int>(len), 0);
    if (n > 0) return {Outcome::Moved, static_cast<size_t>(n), 0};
    if (n == 0) return {Outcome::Ended, 0, 0};
    const int e = WSAGetLastError();
    if (e == WSAEINTR || e == WSAEINPROGRESS) continue;
    if (e == WSAEWOULDBLOCK) return {Outcome::WouldBlock, 0, 0};
    return {Outcome::Failed, 0, e};
  }
}

tlslink::RawSocket::Result WinSockets::TlsSocket::Transmit(const char* data, size_t len) {
  for (;;) {
    const int n = send(s, data, static_cast<int>(len > kMaxSend ? kMaxSend : len), 0);
    if (n > 0) return {Outcome::Moved, static_cast<size_t>(n), 0};
    const int e = n == 0 ? WSAECONNRESET : WSAGetLastError();
    if (e == WSAEWOULDBLOCK)
      return {Outcome::WouldBlock, 0, 0};  // a raw FD_WRITE comes when it can
    if (e == WSAEINTR || e == WSAEINPROGRESS) continue;
    return {Outcome::Failed, 0, e};
  }
}

bool WinSockets::TlsSocket::AwaitRoom(int ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(s, &writable);
  timeval limit = {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
  return select(0, nullptr, &writable, nullptr, &limit) != SOCKET_ERROR;
}

void WinSockets::TlsSocket::Notify(long event, int error) {
  owner.Post(*this, event, error);
}

void WinSockets::TlsSocket::SetLastError(int error) {
  WSASetLastError(error);
}

Bytes WinSockets::TlsSocket::ErrorText(int error) const {
  return SystemErrorText(static_cast<unsigned long>(error));
}

WinSockets::~WinSockets() {
  tls_.clear();
  if (rawWindow_) DestroyWindow(rawWindow_);
}

LRESULT CALLBACK WinSockets::RawWindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  if (message == kRawEvent) {
    auto* self = reinterpret_cast<WinSockets*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self) {
      self->OnRawEvent(static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam),
                       WSAGETSELECTERROR(lParam));
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool WinSockets::EnsureRawWindow() {
  if (rawWindow_) return true;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc = {};
  if (!GetClassInfoW(instance, kRawWindowClass, &wc)) {
    wc.lpfnWndProc = RawWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kRawWindowClass;
    if (!RegisterClassW(&wc)) return false;
  }
  rawWindow_ = CreateWindowExW(0, kRawWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               instance, nullptr);
  if (!rawWindow_) return false;
  SetWindowLongPtrW(rawWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

WinSockets::TlsSocket* WinSockets::FindTls(Socket s) {
  auto it = tls_.find(s);
  return it == tls_.end() ? nullptr : it->second.get();
}

void WinSockets::Post(const TlsSocket& st, long event, int error) {
  PostMessageW(window_, st.msg, static_cast<WPARAM>(st.s),
               WSAMAKESELECTREPLY(static_cast<WORD>(event), static_cast<WORD>(error)));
}

TlsStatus WinSockets::StartTls(Socket s, const TlsOptions& options, TlsError& error) {
  if (FindTls(s)) return FailWith(error, TlsFailure::Other, "TLS already runs on this socket");
  if (!EnsureRawWindow()) {
    return FailWith(error, TlsFailure::Other, SystemErrorText(GetLastError()));
  }
  std::unique_ptr<TlsChannel> channel = TlsChannel::Create(options, error);
  if (!channel) return TlsStatus::Failed;
  auto st = std::make_unique<TlsSocket>(*this, static_cast<SOCKET>(s), std::move(channel));
  st->msg = WM_SOCKET_EVENT;
  st->events = kFdRead | kFdWrite | kFdClose;
  // From here on the socket tells this layer, which tells the core. Bytes
  // already waiting are announced again by the new registration.
  if (WSAAsyncSelect(st->s, rawWindow_, kRawEvent, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    return FailWith(error, TlsFailure::Other, SystemErrorText(WSAGetLastError()));
  }
  tls_[s] = std::move(st);
  return TlsStep(s, error);
}

TlsStatus WinSockets::TlsStep(Socket s, TlsError& error) {
  TlsSocket* st = FindTls(s);
  if (!st) return FailWith(error, TlsFailure::Other, "no TLS on this socket");
  return st->link.Step(error);
}

bool WinSockets::TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) {
  TlsSocket* st = FindTls(s);
  return st && st->link.session().Describe(protocol, cipher);
}

bool WinSockets::TlsFault(Socket s, TlsError& error) {
  TlsSocket* st = FindTls(s);
  return st && st->link.Fault(error);
}

void WinSockets::OnRawEvent(SOCKET raw, long event, int error) {
  TlsSocket* st = FindTls(static_cast<Socket>(raw));
  if (!st) return;  // closed since
  tlslink::Link& link = st->link;
  if (!link.session().Established()) {
    if (st->rawEnded) return;  // failed: the core is closing it
    if (event & FD_WRITE) link.Flush();
    if (event & FD_CLOSE) {
      if (error != 0 && st->rawError == 0) st->rawError = error;
      Post(*st, kFdClose, 0);
    } else if (event & FD_READ) {
      // The core takes the step, and its reading enables the next one.
      Post(*st, kFdRead, 0);
    }
    return;
  }
  if (event & FD_WRITE) link.OnRoom();
  if (event & FD_READ) link.Pull(false);
  if (event & FD_CLOSE) {
    // After the peer's end everything it sent is taken, whatever it holds.
    link.Pull(true);
    if (error != 0 && st->rawError == 0) st->rawError = error;
    if (st->rawError == 0) st->rawEnded = true;
  }
  link.Announce();
}

}  // namespace tv::win
