// TLS on a connected socket: the socket's own notifications go to a hidden
// window, whose procedure moves the bytes between the socket and the TLS
// channel and posts to the main window the notifications of the decrypted
// stream, with their WinSock meaning.
#include "win32/sockets.h"
#include "win32/tls.h"

namespace tv::win {

namespace {

// The socket's own notifications, on the hidden window only.
constexpr UINT kRawEvent = WM_USER + 1;
constexpr wchar_t kRawWindowClass[] = L"TarvelinTlsSockets";
// Decrypted bytes held for the core at most (more is read from the socket
// only once the core has taken some), as a socket's receive buffer bounds
// what the peer can send ahead.
constexpr size_t kPlainLimit = 64 * 1024;
constexpr int kRawChunk = 16 * 1024;
// How long the end of a TLS connection may wait for the socket to take the
// last bytes and the close alert.
constexpr int kShutdownFlushMs = 3000;

TlsStatus FailWith(TlsError& error, TlsFailure failure, const Bytes& reason) {
  error.failure = failure;
  error.reason = reason;
  return TlsStatus::Failed;
}

}  // namespace

WinSockets::TlsSocket::TlsSocket() = default;
WinSockets::TlsSocket::~TlsSocket() = default;

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
  auto st = std::make_unique<TlsSocket>();
  st->s = static_cast<SOCKET>(s);
  st->channel = std::move(channel);
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
  TlsChannel& tls = *st->channel;
  if (tls.Established()) return TlsStatus::Done;
  PullRaw(*st, true);
  TlsStatus status = tls.Handshake(error);
  FlushRaw(*st);
  if (status == TlsStatus::Pending && (st->rawEnded || st->rawError != 0)) {
    status = FailWith(error, TlsFailure::PeerClosed,
                      st->rawError != 0 ? SystemErrorText(st->rawError) : Bytes());
  }
  if (status == TlsStatus::Failed) {
    // Nothing more is announced for it; the core closes it.
    st->rawEnded = true;
    return status;
  }
  if (status == TlsStatus::Done) {
    // From here on the notifications are about the decrypted bytes. What
    // came with the end of the handshake is announced now.
    st->readArmed = (st->events & kFdRead) != 0;
    st->writeArmed = false;
    tls.Decrypt(kPlainLimit);
    AnnouncePlain(*st);
  }
  return status;
}

bool WinSockets::TlsDescribe(Socket s, Bytes& protocol, Bytes& cipher) {
  TlsSocket* st = FindTls(s);
  return st && st->channel->Describe(protocol, cipher);
}

void WinSockets::OnRawEvent(SOCKET raw, long event, int error) {
  TlsSocket* st = FindTls(static_cast<Socket>(raw));
  if (!st) return;  // closed since
  TlsChannel& tls = *st->channel;
  if (!tls.Established()) {
    if (st->rawEnded) return;  // failed: the core is closing it
    if (event & FD_WRITE) FlushRaw(*st);
    if (event & FD_CLOSE) {
      if (error != 0 && st->rawError == 0) st->rawError = error;
      Post(*st, kFdClose, 0);
    } else if (event & FD_READ) {
      // The core takes the step, and its reading enables the next one.
      Post(*st, kFdRead, 0);
    }
    return;
  }
  if (event & FD_WRITE) {
    if (FlushRaw(*st) && st->writeArmed) {
      Post(*st, kFdWrite, 0);
      st->writeArmed = false;
    }
  }
  if (event & FD_READ) PullRaw(*st, false);
  if (event & FD_CLOSE) {
    // After the peer's end everything it sent is taken, whatever it holds.
    PullRaw(*st, true);
    if (error != 0 && st->rawError == 0) st->rawError = error;
    if (st->rawError == 0) st->rawEnded = true;
  }
  AnnouncePlain(*st);
}

void WinSockets::PullRaw(TlsSocket& st, bool ignoreLimit) {
  TlsChannel& tls = *st.channel;
  // Records taken earlier and not yet decrypted (the limit was reached)
  // first: the socket may have nothing more to tell of them.
  if (tls.Established()) tls.Decrypt(kPlainLimit);
  char buf[kRawChunk];
  while (!st.rawEnded && st.rawError == 0) {
    if (!ignoreLimit && tls.Established() && tls.PlainSize() >= kPlainLimit) return;
    const int n = recv(st.s, buf, sizeof buf, 0);
    if (n > 0) {
      tls.PutIncoming(buf, static_cast<size_t>(n));
      if (tls.Established()) tls.Decrypt(kPlainLimit);
      continue;
    }
    if (n == 0) {
      st.rawEnded = true;
      return;
    }
    const int e = WSAGetLastError();
    if (e == WSAEINTR || e == WSAEINPROGRESS) continue;
    if (e != WSAEWOULDBLOCK) st.rawError = e;
    return;
  }
  if (tls.Established()) tls.Decrypt(kPlainLimit);
}

bool WinSockets::FlushRaw(TlsSocket& st) {
  TlsChannel& tls = *st.channel;
  while (tls.OutgoingSize() > 0) {
    if (st.rawError != 0) return false;
    const size_t size = tls.OutgoingSize();
    const int n = send(st.s, tls.OutgoingData(), size > 65536 ? 65536 : static_cast<int>(size), 0);
    if (n > 0) {
      tls.TakeOutgoing(static_cast<size_t>(n));
      continue;
    }
    const int e = n == 0 ? WSAECONNRESET : WSAGetLastError();
    if (e == WSAEWOULDBLOCK) return false;  // a raw FD_WRITE comes when it can
    if (e == WSAEINTR || e == WSAEINPROGRESS) continue;
    st.rawError = e;
    return false;
  }
  return true;
}

// The bytes Send took and the close alert go out before the socket is shut
// down; a peer that takes nothing holds the end for a bounded time only.
void WinSockets::FlushBeforeShutdown(TlsSocket& st) {
  TlsChannel& tls = *st.channel;
  tls.Close();
  const DWORD started = GetTickCount();
  while (!FlushRaw(st) && st.rawError == 0) {
    const DWORD spent = GetTickCount() - started;
    if (spent >= static_cast<DWORD>(kShutdownFlushMs)) return;
    const DWORD left = kShutdownFlushMs - spent;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(st.s, &writable);
    timeval limit = {static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    if (select(0, nullptr, &writable, nullptr, &limit) == SOCKET_ERROR) return;
  }
}

bool WinSockets::TlsEnded(const TlsSocket& st) const {
  return st.rawEnded || st.rawError != 0 || st.channel->InputState() != TlsChannel::Input::Open;
}

// Posts what the decrypted stream has to tell: bytes to read, then its end.
void WinSockets::AnnouncePlain(TlsSocket& st) {
  TlsChannel& tls = *st.channel;
  if (tls.PlainSize() > 0 && st.readArmed) {
    Post(st, kFdRead, 0);
    st.readArmed = false;
  }
  if (TlsEnded(st) && !st.peerClosed) {
    st.peerClosed = true;
    if ((st.events & kFdClose) && !st.closePosted) {
      int err = st.rawError;
      if (err == 0 && tls.InputState() == TlsChannel::Input::Broken) err = WSAECONNRESET;
      Post(st, kFdClose, err);
      st.closePosted = true;
    }
  }
}

int WinSockets::TlsSend(TlsSocket& st, const char* data, int len) {
  TlsChannel& tls = *st.channel;
  if (!tls.Established() || st.rawError != 0) {
    WSASetLastError(st.rawError != 0 ? st.rawError : WSAENOTCONN);
    return -1;
  }
  // Bytes of an earlier Send go first; until they are out, nothing more is
  // taken, so that what the peer does not read piles up nowhere.
  if (!FlushRaw(st)) {
    if (st.rawError != 0) {
      WSASetLastError(st.rawError);
    } else {
      if (st.events & kFdWrite) st.writeArmed = true;
      WSASetLastError(WSAEWOULDBLOCK);
    }
    return -1;
  }
  if (len <= 0) return 0;
  const int n = len < kRawChunk ? len : kRawChunk;
  if (!tls.Write(data, static_cast<size_t>(n))) {
    WSASetLastError(WSAECONNRESET);
    return -1;
  }
  FlushRaw(st);  // the rest goes when the socket can take it
  if (st.rawError != 0) {
    WSASetLastError(st.rawError);
    return -1;
  }
  return n;
}

int WinSockets::TlsRecv(TlsSocket& st, char* buf, int len) {
  TlsChannel& tls = *st.channel;
  if (!tls.Established()) {
    WSASetLastError(WSAENOTCONN);
    return -1;
  }
  if (tls.PlainSize() == 0) PullRaw(st, false);
  const size_t n = tls.TakePlain(buf, len > 0 ? static_cast<size_t>(len) : 0);
  // Any recv enables the next read notification; decrypted bytes still held
  // are announced at once, since the socket will not tell of them, and so is
  // the peer's close alert when this read took it.
  if (st.events & kFdRead) st.readArmed = true;
  AnnouncePlain(st);
  if (n > 0) return static_cast<int>(n);
  if (len <= 0) return 0;
  if (st.rawError != 0 || tls.InputState() == TlsChannel::Input::Broken) {
    WSASetLastError(st.rawError != 0 ? st.rawError : WSAECONNRESET);
    return -1;
  }
  if (TlsEnded(st)) return 0;
  WSASetLastError(WSAEWOULDBLOCK);
  return -1;
}

bool WinSockets::TlsBytesAvailable(TlsSocket& st, unsigned long& count) {
  TlsChannel& tls = *st.channel;
  if (tls.Established()) PullRaw(st, false);
  count = static_cast<unsigned long>(tls.PlainSize());
  return true;
}

bool WinSockets::TlsPeerHasClosed(TlsSocket& st) {
  TlsChannel& tls = *st.channel;
  if (!tls.Established()) return st.rawEnded || st.rawError != 0;
  if (tls.PlainSize() > 0) return false;
  PullRaw(st, false);
  return tls.PlainSize() == 0 && TlsEnded(st);
}

}  // namespace tv::win
