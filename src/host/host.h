// The services the portable core asks of the platform. The Windows program
// implements them with the Windows API, the headless Linux program with poll(),
// BSD sockets, standard input and plain files, and the unit tests with fakes.
//
// Every text that crosses these interfaces is Windows-1250 bytes with a counted
// length (Bytes); a front end converts only where it shows or opens something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tv {

using Bytes = std::string;

// Window messages the core posts, awaits or tests. The names differ from the
// Windows headers' macros so that the Windows front end can include both.
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmQuit = 0x0012;
constexpr uint32_t kWmCommand = 0x0111;
constexpr uint32_t kWmSysCommand = 0x0112;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmUser = 0x0400;
constexpr uintptr_t kScClose = 0xF060;

constexpr uint32_t WM_SOCKET_EVENT = kWmUser + 1;
constexpr uint32_t WM_SOCKET_SETUP = kWmUser + 2;
constexpr uint32_t WM_HOST_LOOKUP = kWmUser + 3;
constexpr uint32_t WM_SCRIPT_WAKEUP = kWmUser + 20;
constexpr uint32_t WM_STARTUP_CONNECT = kWmUser + 21;
// Headless operator channel: "click MARK" arrives as this message; wParam is
// the index of the mark in the queue's table of clicked marks.
constexpr uint32_t WM_OPERATOR_CLICK = kWmUser + 22;
// Headless operator channel: "interrupt", a click on the Run button that only
// interrupts (it never starts a run).
constexpr uint32_t WM_OPERATOR_INTERRUPT = kWmUser + 23;
constexpr unsigned ID_WAIT_TIMER = 11;
// The time limit of the command that waits (Timeout).
constexpr unsigned ID_LIMIT_TIMER = 12;

// Control and command ids of the main window.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
constexpr int kIdScriptName = 1000;
constexpr int kIdChooseScript = 1001;
constexpr int kIdRunButton = 1002;

// Message-box types, as the Windows API numbers them.
constexpr unsigned kMbOk = 0x00;
constexpr unsigned kMbOkCancel = 0x01;
constexpr unsigned kMbYesNoCancel = 0x03;
constexpr unsigned kMbYesNo = 0x04;
constexpr unsigned kMbIconQuestion = 0x20;
constexpr unsigned kMbIconExclamation = 0x30;
constexpr unsigned kMbIconInformation = 0x40;
constexpr unsigned kMbSetForeground = 0x10000;

// Socket notification bits and error codes, as Windows Sockets numbers them.
constexpr long kFdRead = 0x01;
constexpr long kFdWrite = 0x02;
constexpr long kFdAccept = 0x08;
constexpr long kFdConnect = 0x10;
constexpr long kFdClose = 0x20;
constexpr int kWsaeWouldBlock = 10035;

inline uint16_t LowWord(intptr_t v) {
  return static_cast<uint16_t>(v & 0xFFFF);
}
inline uint16_t HighWord(intptr_t v) {
  return static_cast<uint16_t>((v >> 16) & 0xFFFF);
}

struct Msg {
  bool forMainWindow = true;
  uint32_t id = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// The thread's message queue and the main window's timers.
class MessageQueue {
 public:
  virtual ~MessageQueue() = default;
  // The first queued message of any window, not removed. False when empty.
  virtual bool Peek(Msg& first) = 0;
  // Removes the first message with this id (compared as 16 bits) for the main
  // window. False when there is none.
  virtual bool RemoveForMain(uint32_t id, Msg& removed) = 0;
  // Removes and dispatches one message (with the dialog's keyboard handling on
  // Windows). False when the message removed was the quit message.
  virtual bool DispatchOne() = 0;
  // Blocks until at least one message is queued. Never spins.
  virtual void WaitForMessage() = 0;
  virtual void PostToMain(uint32_t id, uintptr_t wParam, intptr_t lParam) = 0;
  virtual void PostQuit(int exitCode) = 0;
  virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
  virtual void KillTimer(unsigned id) = 0;
};

using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

enum class IpFamily : uint8_t { V4, V6 };

// An IPv4 or IPv6 address in network byte order. An IPv4 address uses the
// first four bytes. The zone is that of an IPv6 link-local address (0: none).
struct IpAddress {
  IpFamily family = IpFamily::V4;
  uint8_t b[16] = {};
  uint32_t zone = 0;
};

// TLS over a connected TCP stream.
//
// The core asks for it with Sockets::OpenTlsStream on the open stream, which
// watches WM_SOCKET_EVENT with kFdRead | kFdWrite | kFdClose; the TLS stream
// takes the TCP stream over, keeps its Id and its registration. The handshake
// never blocks: it is driven by the core, which waits for the next
// WM_SOCKET_EVENT about the stream (any event bits) and then calls Step,
// until a step says Done or Failed, or the core gives up (a time limit, an
// interruption) and closes the stream. While the handshake is pending the
// implementation must see to it that a WM_SOCKET_EVENT about the stream
// comes whenever the handshake may move on: kFdRead when bytes from the peer
// have arrived (also those that arrived before OpenTlsStream and were never
// announced), kFdClose when the peer has closed or reset the connection.
// Bytes the handshake has to send and the socket cannot take yet are kept
// and sent when it can, without any message to the core. A step that has
// nothing to do returns Pending again: spurious notifications are harmless.
//
// Once the handshake is Done, the stream's Write, Read, Available,
// PeerHasClosed and Close carry the application's bytes, and the
// notifications keep their meaning (see Stream) for them:
// - Available counts decrypted bytes ready to read, decrypting what has
//   arrived first; records that are not data (a session ticket, a key
//   update) count nothing.
// - Read returns decrypted bytes. When decrypted bytes are still buffered
//   after it, a kFdRead comes again; kFdRead comes only when there are
//   decrypted bytes to read, never for a record that holds none.
// - The peer's TLS close (the close alert) counts as the peer's close, as
//   does the end of the socket's data without it: kFdClose comes (once), Read
//   returns 0 once the decrypted bytes are read, PeerHasClosed is true when
//   none is left. A reset comes as kFdClose with its error code, as before.
//   Bytes that cannot be decrypted (a broken record, a fatal alert) end the
//   connection as a reset does, after the bytes decrypted before them.
//   The TLS stream's Fault then tells the core that the stream did not end
//   with the close alert, and why: a stream cut without it is no complete
//   stream.
// - Write takes plaintext and returns how many bytes it took (some or all,
//   never more than len). It returns -1 with LastError() kWsaeWouldBlock when
//   the socket cannot take more now; kFdWrite comes when it can again. Bytes
//   taken are never lost while the connection lives: what the socket has not
//   taken yet is sent when it can.
// - Close sends the TLS close alert, after every byte taken by Write, shuts
//   the socket down both ways and releases it and the TLS state. On a stream
//   whose handshake is pending or failed, Close sends no alert.
// A stream without TLS behaves exactly as before: no TLS call is made.

enum class TlsRole { Client, Server };

struct TlsOptions {
  TlsRole role = TlsRole::Client;
  // Client: the name sent in the handshake (SNI) and checked against the
  // server's certificate. Empty: no name is sent, and the certificate is
  // checked against peerAddress instead.
  Bytes serverName;
  // Client, when serverName is empty: the server's IP address as text
  // ("127.0.0.1"); the certificate must name it. Empty: no name check.
  Bytes peerAddress;
  // Client: a PEM file of trusted certificates (a private CA), the only ones
  // trusted. Empty: the system's trust store.
  Bytes trustFile;
  // Client: the server's certificate is not checked at all.
  bool noVerify = false;
  // Server: a PKCS#12 file (.pfx, .p12) with the certificate, its chain and
  // its private key, and the file's password (empty: none, or empty).
  // Client: the same, when not empty, for a server that asks for the
  // client's certificate.
  Bytes certFile;
  Bytes password;
};
// Files arrive as full paths (the core resolves them); texts are
// Windows-1250 bytes, as everywhere in this interface.

enum class TlsStatus { Done, Pending, Failed };

enum class TlsFailure {
  None,
  NotAvailable,  // this program has no TLS
  TrustFile,     // the Trust file cannot be read or holds no certificate
  CertFile,      // the Cert file cannot be read or is not PKCS#12 with a key
  Password,      // the Cert file's password is wrong
  NotTrusted,    // the peer's certificate does not lead to a trusted one,
                 // or is expired, revoked or otherwise not valid
  NameMismatch,  // the certificate is valid but not for serverName/peerAddress
  Expired,       // the peer's certificate (or one of its chain) has expired
  NotYetValid,   // the peer's certificate (or one of its chain) is not valid yet
  Version,       // the peer speaks only a protocol older than TLS 1.2
  PeerClosed,    // the peer closed or reset the connection during the handshake
  Handshake,     // the handshake failed otherwise: an alert from the peer, bytes
                 // that are no TLS, no protocol or cipher in common
  // After the handshake, as a TLS stream's Fault tells them:
  Broken,     // a record that cannot be read: altered, no TLS, out of place
  Alert,      // the peer sent a fatal alert
  Truncated,  // the socket's data ended (or was reset) without the close alert
  Other,      // anything else (out of memory, a failed system call)
};

struct TlsError {
  TlsFailure failure = TlsFailure::None;
  // The library's or the system's own description, for the log (English is
  // fine; one line, no line end; may be empty).
  Bytes reason;
};

// One connection's bytes, whatever carries them: the only thing the core
// reads from and writes to once a connection is open. It knows nothing of
// addresses; how the connection was made (a TCP socket from Sockets, TLS over
// one, a later transport of another kind) stays with whoever made it. Nothing
// here blocks: what is not possible now is announced when it becomes so.
//
// Readiness comes as the message given to Watch, posted to the main window,
// with the stream's Id() in wParam, the event in the low word of lParam and
// an error code (0: none) in its high word, as WinSock's WSAAsyncSelect posts
// them:
// - kFdRead: bytes to read. It comes again only after a Read, and then at
//   once when bytes are still there.
// - kFdWrite: after a Write refused for want of room, room again.
// - kFdClose (once): the peer has closed (error 0) or reset the connection;
//   what it sent before may still be read.
class Stream {
 public:
  // A stream not closed is released without being shut down first.
  virtual ~Stream() = default;
  // What its notifications carry in wParam.
  virtual uintptr_t Id() const = 0;
  // Replaces which notifications come, and as which message.
  virtual bool Watch(uint32_t msg, long events) = 0;
  // How many bytes a Read would return now.
  virtual bool Available(unsigned long& count) = 0;
  // Up to len bytes: how many were read, 0 at the end of the peer's data, -1
  // on failure (LastError says why; kWsaeWouldBlock: nothing there yet).
  virtual int Read(char* buf, int len) = 0;
  // Takes some or all of len bytes and says how many, or -1 (LastError says
  // why; kWsaeWouldBlock: no room now, kFdWrite comes when there is).
  virtual int Write(const char* data, int len) = 0;
  virtual int LastError() = 0;
  // True when nothing is left to read and the peer has closed or reset the
  // connection: lets a read or write notice a close whose notification was lost.
  virtual bool PeerHasClosed() = 0;
  // Ends the connection both ways and releases it; nothing more comes. Once
  // only.
  virtual void Close() = 0;
};

// A stream that carries its bytes encrypted over another one (see above).
class TlsStream : public Stream {
 public:
  // The next steps of the handshake with what has arrived; after Failed the
  // stream is only fit to be closed.
  virtual TlsStatus Step(TlsError& error) = 0;
  // After Done: the protocol version ("TLSv1.3") and the cipher suite's name
  // ("TLS_AES_256_GCM_SHA384") for the log. False without an established TLS.
  virtual bool Describe(Bytes& protocol, Bytes& cipher) = 0;
  // Once the decrypted stream has ended: true, with error filled (Broken,
  // Alert or Truncated), when it ended otherwise than with the peer's close
  // alert. False for the orderly end.
  virtual bool Fault(TlsError& error) = 0;
};

// IPv4 and IPv6 TCP: making a connection (as a client, or as a server that
// listens), and the names of hosts. A socket's set-up events are posted to the
// main window as messages (WSAAsyncSelect), as a stream's are. Once connected,
// a socket becomes a Stream (OpenStream) and is used only through it.
class Sockets {
 public:
  virtual ~Sockets() = default;
  virtual Socket Create(IpFamily family) = 0;  // kInvalidSocket on failure
  // An IPv6 socket bound to an address takes IPv6 peers only, "::" included.
  virtual bool Bind(Socket s, const IpAddress& addr, uint16_t port) = 0;
  virtual bool Listen(Socket s, int backlog) = 0;
  virtual Socket Accept(Socket s, IpAddress& peer) = 0;  // kInvalidSocket on failure
  virtual bool Connect(Socket s, const IpAddress& addr, uint16_t port) = 0;  // false: see LastError
  // Releases a socket that did not become a stream.
  virtual void Close(Socket s) = 0;
  // Makes the socket non-blocking and replaces its event registration.
  virtual bool AsyncSelect(Socket s, uint32_t msg, long events) = 0;
  // Starts looking up every IPv4 and IPv6 address of a name without blocking
  // the thread; msg is posted (wParam: the handle, lParam high word: error)
  // when done. Returns 0 when the lookup cannot be started.
  virtual uintptr_t StartHostLookup(const Bytes& name, uint32_t msg) = 0;
  // The addresses of the lookup that has just finished, in the order the
  // resolver gave them. False when it found none.
  virtual bool HostLookupAddresses(uintptr_t handle, std::vector<IpAddress>& found) = 0;
  virtual void CancelAsyncRequest(uintptr_t handle) = 0;
  virtual int LastError() = 0;

  // A connected socket (accepted, or connected after Create and Connect) as
  // the stream that owns it from now on. Its Id() is s. (host/socket_streams.h
  // makes the streams of a socket layer that keeps its sockets' state itself.)
  virtual std::unique_ptr<Stream> OpenStream(Socket s) = 0;
  // TLS over a stream that OpenStream made, which the TLS stream takes over:
  // begins the handshake and takes its first step, whose outcome is status
  // (Pending, Done, or Failed with error filled: a file that cannot be used
  // fails here, before anything is sent). Never null.
  virtual std::unique_ptr<TlsStream> OpenTlsStream(std::unique_ptr<Stream> tcp,
                                                   const TlsOptions& options, TlsStatus& status,
                                                   TlsError& error) = 0;
};

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// The operator's side: the main window, its boxes and dialogs.
class Window {
 public:
  virtual ~Window() = default;
  // A modal message box owned by the main window; returns kIdOk, kIdCancel,
  // kIdYes or kIdNo.
  virtual int MessageBox(const Bytes& text, const Bytes& title, unsigned type) = 0;
  virtual void SetUpperStatus(const Bytes& text) = 0;
  virtual void SetLowerStatus(const Bytes& text) = 0;
  virtual void SetTitle(const Bytes& text) = 0;

  // The script-name edit (1000), the file button (1001) and the Run button (1002).
  virtual Bytes GetScriptName() = 0;
  virtual void SetScriptName(const Bytes& name) = 0;
  virtual void EnableScriptChoice(bool enable) = 0;
  virtual void SetRunButtonCaption(const Bytes& caption) = 0;
  virtual void FocusRunButton() = 0;
  // Slide of the Run button: PrepareSlideUp hides the file button, the edit and
  // their shadows and returns how many 4-pixel steps the slide takes (0 when
  // there is nothing to slide); PrepareSlide hides the Run button's shadow;
  // MoveRunButton moves the button and the remembered shadow rectangle;
  // FinishSlide shows the shadow again (and after a slide down the file button,
  // the edit and their shadows).
  virtual int PrepareSlideUp() = 0;
  virtual void PrepareSlide() = 0;
  virtual void MoveRunButton(int dy) = 0;
  virtual void FinishSlide(bool down) = 0;
  // ShowWindow on the main window: 6 minimise, 9 restore.
  virtual void ShowMain(int command) = 0;

  // Foreground handling around the operator's modal windows.
  virtual uintptr_t GetForeground() = 0;
  virtual void SetForeground(uintptr_t window) = 0;
  virtual void BringMainToFront() = 0;

  // Modal dialogs: kIdOk or another result.
  virtual int InputLine(const Bytes& prompt, Bytes& text) = 0;
  virtual int ConnectParams(Bytes& server, int& port) = 0;
  virtual int AcceptParams(int& port) = 0;

  // Check-box windows: a box and its shadow per slot.
  virtual Rect RunButtonRect() = 0;  // in client coordinates
  virtual void CreateCheckBox(int slot, const Bytes& mark, const Bytes& caption,
                              const Rect& box) = 0;
  virtual void DestroyCheckBox(int slot) = 0;
  virtual int GetCheck(int slot) = 0;  // 1 when checked
  virtual void SetCheck(int slot, int state) = 0;

  // Sounds play asynchronously; the result is never checked.
  virtual void PlaySound(const Bytes& path) = 0;
  virtual void StopSound() = 0;
};

// A window that shows nothing: every operation that only presents something
// does nothing, and what it reads back is empty. A front end overrides what it
// really does; the boxes and dialogs, which must answer, are left to it.
class WindowBase : public Window {
 public:
  void SetUpperStatus(const Bytes&) override {}
  void SetLowerStatus(const Bytes&) override {}
  void SetTitle(const Bytes&) override {}
  Bytes GetScriptName() override { return Bytes(); }
  void SetScriptName(const Bytes&) override {}
  void EnableScriptChoice(bool) override {}
  void SetRunButtonCaption(const Bytes&) override {}
  void FocusRunButton() override {}
  int PrepareSlideUp() override { return 0; }
  void PrepareSlide() override {}
  void MoveRunButton(int) override {}
  void FinishSlide(bool) override {}
  void ShowMain(int) override {}
  uintptr_t GetForeground() override { return 0; }
  void SetForeground(uintptr_t) override {}
  void BringMainToFront() override {}
  Rect RunButtonRect() override { return Rect(); }
  void CreateCheckBox(int, const Bytes&, const Bytes&, const Rect&) override {}
  void DestroyCheckBox(int) override {}
  int GetCheck(int) override { return 0; }
  void SetCheck(int, int) override {}
  void PlaySound(const Bytes&) override {}
  void StopSound() override {}
};

// One string per user, section "Tarvelin".
class Profile {
 public:
  virtual ~Profile() = default;
  virtual Bytes GetString(const char* key, const Bytes& fallback, size_t maxChars) = 0;
  virtual void SetString(const char* key, const Bytes& value) = 0;
};

class OutFile {
 public:
  virtual ~OutFile() = default;
  virtual bool Write(const char* data, size_t len) = 0;
  virtual bool Flush() = 0;
};

// The largest script file a run or the checker reads: a file that never ends
// (a device, a pipe) or a huge one must not take all memory.
constexpr size_t kMaxScriptBytes = 16 * 1024 * 1024;

// Why a script file was not opened.
enum class ScriptRefusal {
  Unreadable,  // missing, a folder, locked or not readable
  NotRegular,  // a device, a pipe or a socket, not a plain file
  TooLarge,    // larger than kMaxScriptBytes
};

class ScriptFile {
 public:
  // TooLarge: the file has grown past kMaxScriptBytes while it was read.
  enum class Read { Line, End, Error, TooLarge };
  virtual ~ScriptFile() = default;
  // The next line without its LF (and without a CR before the LF).
  virtual Read ReadLine(Bytes& line) = 0;
  // Whether the line read last ended with an LF: the last line of a file
  // may end with the file instead.
  virtual bool LineEndedWithLf() const = 0;
  virtual bool Rewind() = 0;
  // Full path of the open file, the base of script-relative names.
  virtual const Bytes& FullPath() const = 0;
};

// How the platform writes file names, for the portable resolution of names
// in scripts (shell/paths.h).
enum class PathSyntax {
  Posix,    // "/" separates folders; a name starting with "/" is absolute
  Windows,  // backslashes separate folders; "D:x" and "\\server\x" stand as they
            // are, "\x" goes on the drive of the base, the rest into its folder
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual PathSyntax Syntax() const = 0;
  // Created or truncated, other writers denied. Null on failure.
  virtual std::unique_ptr<OutFile> CreateLog(const Bytes& name) = 0;
  // Opened for reading, other writers denied. Null on failure, with the
  // reason in why when it is not null.
  virtual std::unique_ptr<ScriptFile> OpenScript(const Bytes& name, ScriptRefusal* why) = 0;
  // Created or truncated, readers allowed, other writers denied. Null on failure.
  virtual std::unique_ptr<OutFile> CreateCapture(const Bytes& name) = 0;
  // The same, but a file that exists is kept and written at its end.
  virtual std::unique_ptr<OutFile> AppendCapture(const Bytes& name) = 0;
  // For the script checker, which opens nothing for writing: whether name is
  // an existing file (not a folder), and whether the folder a new file of
  // that name would go into exists.
  virtual bool FileExists(const Bytes& name) = 0;
  virtual bool FolderOfExists(const Bytes& name) = 0;
};

struct Host {
  MessageQueue& queue;
  Sockets& sockets;
  Window& window;
  Profile& profile;
  FileSystem& files;
};

}  // namespace tv
