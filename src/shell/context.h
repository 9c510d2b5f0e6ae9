// The script context: everything that outlives one command. The main window
// of the Windows program and the headless program each own one.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/host.h"
#include "shell/log.h"

namespace tv {

// printf into text, replacing what it held: the one formatting routine behind
// FormatText and LogPrintf. False, with text empty, on a formatting error.
bool FormatInto(Bytes& text, const char* format, va_list args);
// printf into a text, for status lines and boxes.
Bytes FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Symbols: defined or not, case-sensitive, kept in the order of definition.
class SymbolList {
 public:
  void Define(const Bytes& name);
  void Undefine(const Bytes& name);
  bool IsDefined(const Bytes& name) const;
  const std::vector<Bytes>& Items() const { return items_; }
  void Clear() { items_.clear(); }

 private:
  std::vector<Bytes> items_;
};

// Named signed 32-bit counters. A new counter goes to the head of the list;
// Items() lists them from the head (newest) to the oldest.
class CounterList {
 public:
  struct Counter {
    Bytes name;
    int32_t value = 0;
  };
  // The value of the counter with that name, created with 0 when asked to;
  // null when there is none and create is off.
  int32_t* Find(const Bytes& name, bool create);
  std::vector<Counter> Items() const;

 private:
  std::deque<Counter> entries_;  // the head of the list is the back; values never move
  std::unordered_map<Bytes, int32_t*> byName_;
};

// The longest text a text variable holds.
constexpr size_t kMaxTextBytes = 65536;

// Named texts (text variables), kept as counters are: case-sensitive names,
// the newest first in Items(). A name is a counter's or a text's, never
// both (the commands that create them see to it).
class TextList {
 public:
  struct Text {
    Bytes name;
    Bytes value;
  };
  Bytes* Find(const Bytes& name, bool create);
  const Bytes* Find(const Bytes& name) const;
  std::vector<Text> Items() const;

 private:
  std::deque<Text> entries_;  // values never move
  std::unordered_map<Bytes, Bytes*> byName_;
};

struct StartupOptions {
  Bytes logFileName = "TARVELIN.LOG";
  int connectMode = 0;  // 0 none, 1 connect, 2 accept
  Bytes server;         // -c: the server; -a: the address to listen on (empty: all)
  int port = 0;
  Bytes scriptName;  // from the command line
};

// How the last run ended, for the headless program's exit status.
enum class RunOutcome { None, Normal, Failed, Cancelled, Interrupted, NotOpened, TimedOut };

// The main window's title while no script runs.
constexpr const char* kIdleTitle = "Tarvelin 1.10";

constexpr int MAX_SCRIPT_FILES = 80;
constexpr int MAX_CHECKBOXES = 10;
constexpr int kReceiveBufferSize = 4096;

// The time limit that Timeout sets for the commands that wait for the peer or
// for a check box. While such a command runs, the limit is one window timer of
// its own; the waits end when it ticks.
struct TimeLimit {
  int32_t ms = 0;  // 0: no limit
  Bytes label;     // empty: the command fails when the limit runs out
  bool armed = false;
  bool expired = false;
  bool endedRun = false;  // the run ended because a limit ran out
};

// A place in a run: the script file and the number of its line (0: no line
// of it read yet).
struct ScriptPlace {
  Bytes file;
  int line = 0;
};

// The last error box a run showed and where the run was then, for the
// headless program's machine-readable result.
struct LastError {
  bool shown = false;
  Bytes text;
  ScriptPlace place;
};

class ScriptContext {
 public:
  explicit ScriptContext(const Host& services) : host(services) {}
  ScriptContext(const ScriptContext&) = delete;
  ScriptContext& operator=(const ScriptContext&) = delete;

  Host host;

  // Log and reporting.
  Log log;
  void LogPrintf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // prefix, the data escaped for the log, then a line end: one log line.
  void LogData(const char* prefix, const char* data, size_t len);
  // The error box; it is also kept as lastError, with the place.
  void ReportError(const Bytes& text);
  void ReportWarning(const Bytes& text);
  void SetUpperStatus(const Bytes& text) { host.window.SetUpperStatus(text); }
  void SetLowerStatus(const Bytes& text) { host.window.SetLowerStatus(text); }

  // Message pumps and the running flag.
  bool running = false;
  uintptr_t lastMessageWParam = 0;
  intptr_t lastMessageLParam = 0;
  bool PumpWindowMessages();
  bool WaitForWindowMessage(uint32_t id);
  bool TimedStep(unsigned periodMs);

  // The limit of the command that starts waiting now: its timer is set when
  // a limit is in force. EndTimeLimit kills it and says whether it ran out
  // (the waits then returned false with the running flag still set).
  TimeLimit timeLimit;
  void StartTimeLimit();
  bool EndTimeLimit();

  // Start-up and the main window.
  StartupOptions options;
  bool buttonAnimation = false;
  int slideCount = 0;
  // The running flag is set only for a pause of the Run button's slide down;
  // a cancel command refused meanwhile is posted again after the pause.
  bool runningForced = false;
  bool cancelRefusedWhileForced = false;
  bool dialogEnded = false;  // the main window has ended (OnCancel)
  RunOutcome lastOutcome = RunOutcome::None;
  bool startupFailed = false;

  // Script engine.
  SymbolList symbols;
  CounterList counters;
  TextList texts;
  Bytes lastLine;
  // The line the runner read last; set by the runner.
  ScriptPlace place;
  LastError lastError;

  // Connection, receiving, sending.
  // The open connection; null when there is none.
  std::unique_ptr<Stream> connection;
  // A socket that is being connected or listens for the connection, until it
  // becomes the connection or is given up.
  Socket pendingSocket = kInvalidSocket;
  // How the open connection was made (Connect or Accept), the host Connect
  // was given, and the TLS stream the connection is once TLS runs on it
  // (connection itself; null without TLS).
  bool connectedAsClient = false;
  Bytes connectHost;
  TlsStream* tls = nullptr;
  uintptr_t hostLookup = 0;
  char receiveBuffer[kReceiveBufferSize] = {};
  int fillCount = 0;
  // How many bytes at the front of the receive buffer the capture file holds
  // already (an interruption reports unread bytes and copies them): the read
  // that takes them later does not copy them again.
  int capturedCount = 0;
  Bytes scratch;  // the bytes kept by the last read
  const char* failureReason = "???";
  // How the TLS stream broke, when the reason is that it did.
  Bytes tlsFault;

  // Capture file.
  std::unique_ptr<OutFile> capture;

  // Check boxes: an empty mark is a free slot.
  std::array<Bytes, MAX_CHECKBOXES> checkBoxMarks;

 private:
  // Takes the limit's tick off the queue when it is the first message and a
  // limit is armed.
  bool TakeLimitTick(const Msg& first);
  Bytes logLine_;  // reused by LogPrintf and LogData
};

}  // namespace tv
