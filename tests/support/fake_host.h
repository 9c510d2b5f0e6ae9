// An in-memory host for unit tests: a message queue with a virtual clock,
// an operator whose answers are scripted, files held in memory, a profile map
// and sockets that tests can script (see FakeSockets).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/mainwindow.h"
#include "engine/runner.h"
#include "host/host.h"
#include "host/socket_streams.h"
#include "shell/context.h"

namespace tv::test {

class FakeQueue : public MessageQueue {
 public:
  // Called for every dispatched message that is not the quit message; by
  // default the main window procedure of the core.
  std::function<void(const Msg&)> dispatch;
  long long now = 0;            // virtual milliseconds
  bool blockedForever = false;  // a wait found nothing that could ever come
  std::vector<std::pair<long long, unsigned>> timersSet;  // (time, period)

  // Runs fn when the virtual clock reaches atMs.
  void At(long long atMs, std::function<void()> fn) { scheduled_.push_back({atMs, std::move(fn)}); }

  bool Peek(Msg& first) override {
    if (queue_.empty()) return false;
    first = queue_.front();
    return true;
  }
  bool RemoveForMain(uint32_t id, Msg& removed) override {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      if (it->forMainWindow && (it->id & 0xFFFF) == (id & 0xFFFF)) {
        removed = *it;
        queue_.erase(it);
        return true;
      }
    }
    return false;
  }
  bool DispatchOne() override {
    if (queue_.empty()) return true;
    Msg m = queue_.front();
    queue_.pop_front();
    if (m.id == kWmQuit) return false;
    if (dispatch) dispatch(m);
    return true;
  }
  void WaitForMessage() override {
    while (queue_.empty()) {
      long long next = -1;
      for (auto& s : scheduled_) {
        if (next < 0 || s.at < next) next = s.at;
      }
      for (auto& t : timers_) {
        if (next < 0 || t.second.due < next) next = t.second.due;
      }
      if (next < 0) {
        blockedForever = true;
        queue_.push_back(Msg{true, kWmQuit, 0, 0});
        return;
      }
      if (next > now) now = next;
      for (size_t i = 0; i < scheduled_.size();) {
        if (scheduled_[i].at <= now) {
          auto fn = std::move(scheduled_[i].fn);
          scheduled_.erase(scheduled_.begin() + static_cast<long>(i));
          fn();
        } else {
          ++i;
        }
      }
      for (auto& t : timers_) {
        if (t.second.due <= now) {
          t.second.due = now + t.second.period;
          queue_.push_back(Msg{true, kWmTimer, t.first, 0});
        }
      }
    }
  }
  void PostToMain(uint32_t id, uintptr_t w, intptr_t l) override {
    queue_.push_back(Msg{true, id, w, l});
  }
  void PostQuit(int code) override {
    queue_.push_back(Msg{true, kWmQuit, static_cast<uintptr_t>(code), 0});
  }
  void SetTimer(unsigned id, unsigned periodMs) override {
    timers_[id] = Timer{now + periodMs, periodMs};
    timersSet.push_back({now, periodMs});
  }
  void KillTimer(unsigned id) override { timers_.erase(id); }
  size_t Pending() const { return queue_.size(); }
  bool TimerRunning() const { return !timers_.empty(); }

 private:
  struct Timer {
    long long due;
    unsigned period;
  };
  struct Scheduled {
    long long at;
    std::function<void()> fn;
  };
  std::deque<Msg> queue_;
  std::map<unsigned, Timer> timers_;
  std::vector<Scheduled> scheduled_;
};

// The socket of the open connection's stream, kInvalidSocket without one.
inline Socket ConnectionId(const ScriptContext& ctx) {
  return ctx.connection ? static_cast<Socket>(ctx.connection->Id()) : kInvalidSocket;
}

// Sockets that fail everything unless a test overrides them.
class FakeSockets : public SocketLayer {
 public:
  Socket Create(IpFamily) override { return kInvalidSocket; }
  bool Bind(Socket, const IpAddress&, uint16_t) override { return false; }
  bool Listen(Socket, int) override { return false; }
  Socket Accept(Socket, IpAddress&) override { return kInvalidSocket; }
  bool Connect(Socket, const IpAddress&, uint16_t) override { return false; }
  int Send(Socket, const char*, int) override { return -1; }
  int Recv(Socket, char*, int) override { return -1; }
  bool BytesAvailable(Socket, unsigned long& n) override {
    n = 0;
    return true;
  }
  void Shutdown(Socket) override {}
  void Close(Socket) override {}
  bool AsyncSelect(Socket, uint32_t, long) override { return true; }
  uintptr_t StartHostLookup(const Bytes&, uint32_t) override { return 0; }
  bool HostLookupAddresses(uintptr_t, std::vector<IpAddress>&) override { return false; }
  void CancelAsyncRequest(uintptr_t) override {}
  int LastError() override { return 0; }
  bool PeerHasClosed(Socket) override { return false; }
  TlsStatus StartTls(Socket, const TlsOptions&, TlsError& error) override {
    error.failure = TlsFailure::NotAvailable;
    return TlsStatus::Failed;
  }
  TlsStatus TlsStep(Socket, TlsError& error) override {
    error.failure = TlsFailure::NotAvailable;
    return TlsStatus::Failed;
  }
  bool TlsDescribe(Socket, Bytes&, Bytes&) override { return false; }
  bool TlsFault(Socket, TlsError&) override { return false; }
};

class FakeWindow : public WindowBase {
 public:
  // "[title] text" of every box, and a few other events, in order.
  std::vector<Bytes> transcript;
  std::vector<unsigned> boxTypes;            // the type of every message box, in order
  std::deque<int> answers;                   // for message boxes; empty: default button
  std::deque<std::pair<int, Bytes>> inputs;  // for InputLine
  Bytes upper, lower, title, scriptName, runCaption;
  bool scriptChoiceEnabled = true;
  int checks[MAX_CHECKBOXES] = {};
  Bytes captions[MAX_CHECKBOXES];
  bool boxShown[MAX_CHECKBOXES] = {};
  Rect boxRects[MAX_CHECKBOXES];
  std::vector<Bytes> sounds;
  std::vector<int> showCommands;
  uintptr_t foreground = 77;
  std::vector<uintptr_t> foregroundCalls;

  int MessageBox(const Bytes& text, const Bytes& boxTitle, unsigned type) override {
    transcript.push_back("[" + boxTitle + "] " + text);
    boxTypes.push_back(type);
    if (!answers.empty()) {
      int a = answers.front();
      answers.pop_front();
      return a;
    }
    unsigned buttons = type & 0x0F;
    return (buttons == kMbYesNo || buttons == kMbYesNoCancel) ? kIdYes : kIdOk;
  }
  void SetUpperStatus(const Bytes& t) override { upper = t; }
  void SetLowerStatus(const Bytes& t) override { lower = t; }
  void SetTitle(const Bytes& t) override { title = t; }
  Bytes GetScriptName() override { return scriptName; }
  void SetScriptName(const Bytes& n) override { scriptName = n; }
  void EnableScriptChoice(bool e) override { scriptChoiceEnabled = e; }
  void SetRunButtonCaption(const Bytes& c) override { runCaption = c; }
  void ShowMain(int command) override { showCommands.push_back(command); }
  uintptr_t GetForeground() override { return foreground; }
  void SetForeground(uintptr_t w) override {
    foreground = w;
    foregroundCalls.push_back(w);
  }
  void BringMainToFront() override {
    foreground = 1;
    foregroundCalls.push_back(1);
  }
  int InputLine(const Bytes& prompt, Bytes& text) override {
    transcript.push_back("[" + prompt + "]");
    if (inputs.empty()) return kIdOk;
    auto a = inputs.front();
    inputs.pop_front();
    if (a.first == kIdOk) text = a.second;
    return a.first;
  }
  int ConnectParams(Bytes& server, int& port) override {
    transcript.push_back("[Parametry pro Connect] " + server + " " + std::to_string(port));
    return answers.empty() ? kIdOk : Pop();
  }
  int AcceptParams(int& port) override {
    transcript.push_back("[Parametry pro Accept] " + std::to_string(port));
    return answers.empty() ? kIdOk : Pop();
  }
  Rect RunButtonRect() override { return Rect{26, 10, 606, 33}; }
  void CreateCheckBox(int slot, const Bytes& mark, const Bytes& caption, const Rect& r) override {
    transcript.push_back("+box " + std::to_string(slot) + " " + mark + " " + caption);
    boxShown[slot] = true;
    captions[slot] = caption;
    checks[slot] = 0;
    boxRects[slot] = r;
  }
  void DestroyCheckBox(int slot) override {
    transcript.push_back("-box " + std::to_string(slot));
    boxShown[slot] = false;
  }
  int GetCheck(int slot) override { return checks[slot]; }
  void SetCheck(int slot, int state) override { checks[slot] = state; }
  void PlaySound(const Bytes& path) override { sounds.push_back(path); }
  void StopSound() override { sounds.push_back("<stop>"); }

 private:
  int Pop() {
    int a = answers.front();
    answers.pop_front();
    return a;
  }
};

class FakeProfile : public Profile {
 public:
  std::map<std::string, Bytes> values;
  Bytes GetString(const char* key, const Bytes& fallback, size_t maxChars) override {
    auto it = values.find(key);
    if (it == values.end()) return fallback;
    return it->second.substr(0, maxChars);
  }
  void SetString(const char* key, const Bytes& value) override { values[key] = value; }
};

// Files in memory: scripts are read from `files`; the log and capture files
// are written into it. Paths use '/' like the headless program.
class FakeFiles : public FileSystem {
 public:
  std::map<Bytes, Bytes> files;
  std::set<Bytes> unreadable;              // names whose reads fail
  std::set<Bytes> locked;                  // names that cannot be created
  std::set<Bytes> folders;                 // folders (ending in '/') that exist without files
  std::map<Bytes, ScriptRefusal> refused;  // names whose open is refused, and why

  std::unique_ptr<OutFile> CreateLog(const Bytes& name) override { return Create(name); }
  std::unique_ptr<OutFile> CreateCapture(const Bytes& name) override { return Create(name); }
  std::unique_ptr<OutFile> AppendCapture(const Bytes& name) override {
    const Bytes kept = files[name];
    auto out = Create(name);
    if (out) files[name] = kept;
    return out;
  }
  std::unique_ptr<ScriptFile> OpenScript(const Bytes& name, ScriptRefusal* why) override {
    if (why) *why = ScriptRefusal::Unreadable;
    const auto refusal = refused.find(name);
    if (refusal != refused.end()) {
      if (why) *why = refusal->second;
      return nullptr;
    }
    if (!files.count(name)) return nullptr;
    return std::make_unique<MemScript>(this, name);
  }
  PathSyntax Syntax() const override { return PathSyntax::Posix; }
  bool FileExists(const Bytes& name) override { return files.count(name) > 0; }
  // A folder exists when a file is in it, or when it is in folders.
  bool FolderOfExists(const Bytes& name) override {
    const Bytes folder = name.substr(0, name.rfind('/') + 1);
    if (folder.empty() || folders.count(folder)) return true;
    for (const auto& file : files) {
      if (file.first.compare(0, folder.size(), folder) == 0) return true;
    }
    return false;
  }

 private:
  class MemOut : public OutFile {
   public:
    MemOut(FakeFiles* fs, Bytes name) : fs_(fs), name_(std::move(name)) {}
    ~MemOut() override { fs_->locked.erase(name_); }
    bool Write(const char* d, size_t n) override {
      fs_->files[name_].append(d, n);
      return true;
    }
    bool Flush() override { return true; }

   private:
    FakeFiles* fs_;
    Bytes name_;
  };
  class MemScript : public ScriptFile {
   public:
    MemScript(FakeFiles* fs, Bytes name) : fs_(fs), name_(std::move(name)) {}
    Read ReadLine(Bytes& line) override {
      if (fs_->unreadable.count(name_)) return Read::Error;
      const Bytes& text = fs_->files[name_];
      if (pos_ >= text.size()) return Read::End;
      size_t lf = text.find('\n', pos_);
      size_t end = lf == Bytes::npos ? text.size() : lf;
      line.assign(text, pos_, end - pos_);
      if (lf != Bytes::npos && !line.empty() && line.back() == '\r') line.pop_back();
      pos_ = lf == Bytes::npos ? text.size() : lf + 1;
      lf_ = lf != Bytes::npos;
      return Read::Line;
    }
    bool Rewind() override {
      pos_ = 0;
      return true;
    }
    bool LineEndedWithLf() const override { return lf_; }
    const Bytes& FullPath() const override { return name_; }

   private:
    FakeFiles* fs_;
    Bytes name_;
    size_t pos_ = 0;
    bool lf_ = false;
  };
  std::unique_ptr<OutFile> Create(const Bytes& name) {
    if (locked.count(name) || name.empty() || name.back() == '/') return nullptr;
    locked.insert(name);
    files[name].clear();
    return std::make_unique<MemOut>(this, name);
  }
};

// A whole fake host and a script context on it, with the log turned on.
struct FakeHost {
  FakeQueue queue;
  FakeSockets sockets;
  FakeWindow window;
  FakeProfile profile;
  FakeFiles files;
  ScriptContext ctx{Host{queue, sockets, window, profile, files}};

  FakeHost() {
    queue.dispatch = [this](const Msg& m) { DispatchMainWindowMessage(ctx, m); };
    ctx.log.Open(files, "test.log");
  }
  // The log with CR LF turned back into LF.
  Bytes LogText() {
    Bytes out;
    for (char c : files.files["test.log"]) {
      if (c != '\r') out.push_back(c);
    }
    return out;
  }
  // Runs a script held in memory as "/s/main.tvl" with the running flag set.
  void Run(const Bytes& script, const Bytes& path = "/s/main.tvl") {
    files.files[path] = script;
    ctx.running = true;
    RunScript(ctx, path);
    ctx.running = false;
  }
};

}  // namespace tv::test
