#include "shell/context.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "shell/escape.h"

namespace tv {

void SymbolList::Define(const Bytes& name) {
  if (!IsDefined(name)) items_.push_back(name);
}

void SymbolList::Undefine(const Bytes& name) {
  auto it = std::find(items_.begin(), items_.end(), name);
  if (it != items_.end()) items_.erase(it);
}

bool SymbolList::IsDefined(const Bytes& name) const {
  return std::find(items_.begin(), items_.end(), name) != items_.end();
}

int32_t* CounterList::Find(const Bytes& name, bool create) {
  const auto found = byName_.find(name);
  if (found != byName_.end()) return found->second;
  if (!create) return nullptr;
  entries_.push_back(Counter{name, 0});
  return byName_[name] = &entries_.back().value;
}

std::vector<CounterList::Counter> CounterList::Items() const {
  return std::vector<Counter>(entries_.rbegin(), entries_.rend());
}

Bytes* TextList::Find(const Bytes& name, bool create) {
  const auto found = byName_.find(name);
  if (found != byName_.end()) return found->second;
  if (!create) return nullptr;
  entries_.push_back(Text{name, Bytes()});
  return byName_[name] = &entries_.back().value;
}

const Bytes* TextList::Find(const Bytes& name) const {
  const auto found = byName_.find(name);
  return found == byName_.end() ? nullptr : found->second;
}

std::vector<TextList::Text> TextList::Items() const {
  return std::vector<Text>(entries_.rbegin(), entries_.rend());
}

bool FormatInto(Bytes& text, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  // Most texts fit here; a longer one is formatted again at its full length.
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, args);
  if (n < 0) {
    text.clear();
  } else if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return n >= 0;
}

Bytes FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Bytes text;
  FormatInto(text, format, args);
  va_end(args);
  return text;
}

void ScriptContext::LogPrintf(const char* format, ...) {
  if (!log.IsOpen()) return;
  va_list args;
  va_start(args, format);
  const bool formatted = FormatInto(logLine_, format, args);
  va_end(args);
  if (formatted) log.Write(logLine_);
}

void ScriptContext::LogData(const char* prefix, const char* data, size_t len) {
  if (!log.IsOpen()) return;
  logLine_.assign(prefix);
  EscapeForLog(logLine_, data, len);
  logLine_.push_back('\n');
  log.Write(logLine_);
}

void ScriptContext::ReportError(const Bytes& text) {
  lastError.shown = true;
  lastError.text = text;
  lastError.place = place;
  host.window.MessageBox(text, "*** CHYBA ***", kMbOk);
}

void ScriptContext::ReportWarning(const Bytes& text) {
  host.window.MessageBox(text, "*** VAROVÁNÍ ***", kMbOk);
}

// A close request or the destruction of the main window, or a quit for any
// window: the run must stop.
static bool StopsTheRun(const Msg& m) {
  if (m.id == kWmQuit) return true;
  return m.forMainWindow && ((m.id == kWmSysCommand && m.wParam == kScClose) || m.id == kWmDestroy);
}

// A nested loop that has taken the quit message off the queue puts it back,
// so that the main window's own loop still ends the program.
static void RepostQuit(MessageQueue& queue) {
  queue.PostQuit(0);
}

void ScriptContext::StartTimeLimit() {
  timeLimit.expired = false;
  timeLimit.armed = timeLimit.ms > 0;
  if (timeLimit.armed) host.queue.SetTimer(ID_LIMIT_TIMER, static_cast<unsigned>(timeLimit.ms));
}

bool ScriptContext::EndTimeLimit() {
  if (timeLimit.armed) host.queue.KillTimer(ID_LIMIT_TIMER);
  timeLimit.armed = false;
  return timeLimit.expired;
}

bool ScriptContext::TakeLimitTick(const Msg& first) {
  if (!timeLimit.armed || !first.forMainWindow || first.id != kWmTimer ||
      first.wParam != ID_LIMIT_TIMER) {
    return false;
  }
  Msg removed;
  host.queue.RemoveForMain(kWmTimer, removed);
  // The timer is periodic: once is enough.
  host.queue.KillTimer(ID_LIMIT_TIMER);
  timeLimit.armed = false;
  timeLimit.expired = true;
  return true;
}

bool ScriptContext::PumpWindowMessages() {
  for (;;) {
    if (!running) return false;
    Msg first;
    if (!host.queue.Peek(first)) return true;
    if (TakeLimitTick(first)) return false;
    // The stopping message is still dispatched below.
    if (StopsTheRun(first)) running = false;
    if (!host.queue.DispatchOne()) {
      running = false;
      RepostQuit(host.queue);
      return false;
    }
  }
}

bool ScriptContext::WaitForWindowMessage(uint32_t id) {
  for (;;) {
    if (!running) return false;
    Msg first;
    while (!host.queue.Peek(first)) host.queue.WaitForMessage();
    if (TakeLimitTick(first)) return false;
    if (first.forMainWindow && (first.id & 0xFFFF) == (id & 0xFFFF)) {
      Msg removed;
      if (host.queue.RemoveForMain(id, removed)) {
        lastMessageWParam = removed.wParam;
        lastMessageLParam = removed.lParam;
      }
      return true;
    }
    // A close, a destruction or a quit stays queued for the main window's
    // own loop.
    if (StopsTheRun(first)) {
      running = false;
      return false;
    }
    if (!host.queue.DispatchOne()) {
      running = false;
      RepostQuit(host.queue);
      return false;
    }
  }
}

bool ScriptContext::TimedStep(unsigned periodMs) {
  host.queue.SetTimer(ID_WAIT_TIMER, periodMs);
  bool arrived = WaitForWindowMessage(kWmTimer);
  host.queue.KillTimer(ID_WAIT_TIMER);
  return arrived;
}

}  // namespace tv
