// Whole runs over the fake host. The input is split at NUL bytes into
//   0: the main script (/s/main.tvl)
//   1: the operator's answers to message boxes and dialogs, a byte each
//   2: the peer: chunks split at byte 1; a chunk's first byte says what it is
//   3: lines the operator types into Input dialogs (a leading '!' cancels)
//   4...: more scripts, /s/f1.tvl, /s/f2.tvl, ...
// A main script that begins with byte 2 has a command line up to its first
// LF: what its -d, -n and -t set, the run starts with and the checker knows.
// Scripts may also Call the files the run writes: the log /s/t.log and any
// capture file. A run is cut short after a budget of script lines read and
// carried out and of waits, so that loops in the script end.
//
// The checker reads the same scripts first. It must never report an error on
// a line the run carried out without failing, unless the line's command runs
// behind a condition or the run read scripts the checker could not see (files
// the run wrote itself).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "app/commands.h"
#include "app/mainwindow.h"
#include "check.h"
#include "engine/check.h"
#include "engine/tokenizer.h"
#include "engine/runner.h"
#include "net/capture.h"
#include "support/fake_sockets.h"

namespace {

using tv::Bytes;

constexpr int kLineBudget = 3000;
constexpr int kWaitBudget = 3000;

class BudgetQueue : public tv::test::FakeQueue {
 public:
  int waits = 0;
  void WaitForMessage() override {
    if (++waits > kWaitBudget) {
      PostQuit(0);
      return;
    }
    FakeQueue::WaitForMessage();
  }
};

class BudgetScript : public tv::ScriptFile {
 public:
  BudgetScript(std::unique_ptr<tv::ScriptFile> inner, int* lines)
      : inner_(std::move(inner)), lines_(lines) {}
  Read ReadLine(Bytes& line) override {
    if (++*lines_ > kLineBudget) return Read::Error;
    return inner_->ReadLine(line);
  }
  bool Rewind() override { return inner_->Rewind(); }
  bool LineEndedWithLf() const override { return inner_->LineEndedWithLf(); }
  const Bytes& FullPath() const override { return inner_->FullPath(); }

 private:
  std::unique_ptr<tv::ScriptFile> inner_;
  int* lines_;
};

class BudgetFiles : public tv::test::FakeFiles {
 public:
  int lines = 0;
  std::set<Bytes> opened, written;
  std::unique_ptr<tv::ScriptFile> OpenScript(const Bytes& name, tv::ScriptRefusal* why) override {
    auto inner = FakeFiles::OpenScript(name, why);
    if (!inner) return nullptr;
    opened.insert(name);
    return std::make_unique<BudgetScript>(std::move(inner), &lines);
  }
  std::unique_ptr<tv::OutFile> CreateLog(const Bytes& name) override {
    written.insert(name);
    return FakeFiles::CreateLog(name);
  }
  std::unique_ptr<tv::OutFile> CreateCapture(const Bytes& name) override {
    written.insert(name);
    return FakeFiles::CreateCapture(name);
  }
};

// Records the lines the runner carries out, where the runner says it is.
// A loop runs its lines from the file's kept text, without reading them
// again: after a budget of lines carried out the run is interrupted, as the
// operator would.
class RecordingWindow : public tv::test::FakeWindow {
 public:
  tv::ScriptContext* ctx = nullptr;
  std::vector<std::pair<Bytes, int>> carriedOut;
  void SetUpperStatus(const Bytes& text) override {
    if (ctx && ctx->running) {
      carriedOut.push_back({ctx->place.file, ctx->place.line});
      if (carriedOut.size() >= static_cast<size_t>(kLineBudget)) ctx->running = false;
    }
    FakeWindow::SetUpperStatus(text);
  }
};

struct Host {
  BudgetQueue queue;
  tv::test::ScriptedSockets sockets{queue};
  BudgetFiles files;
  RecordingWindow window;
  tv::test::FakeProfile profile;
  tv::ScriptContext ctx{tv::Host{queue, sockets, window, profile, files}};
};

std::vector<Bytes> Split(const Bytes& text, char at) {
  std::vector<Bytes> parts(1);
  for (char c : text) {
    if (c == at) {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

// Peer events for whatever connection is live when they come due.
void SchedulePeer(Host& h, const Bytes& peer) {
  long long t = 2;
  for (const Bytes& chunk : Split(peer, '\x01')) {
    const char kind = chunk.empty() ? 0 : chunk[0];
    const Bytes body = chunk.empty() ? Bytes() : chunk.substr(1);
    t += 1 + (static_cast<unsigned char>(kind) >> 4) * 50;
    auto& s = h.sockets;
    auto& q = h.queue;
    h.queue.At(t, [&s, &q, kind, body] {
      if (kind % 8 == 5) {
        s.ClientArrives(q.now);  // for Accept; fires at once
        return;
      }
      if (kind % 8 == 4) {
        q.PostToMain(tv::kWmCommand, tv::kIdRunButton, 0);  // the operator interrupts
        return;
      }
      if (s.live == tv::kInvalidSocket || !s.socks.count(s.live)) return;
      switch (kind % 8) {
        case 1:
          s.PeerCloses(q.now);
          break;
        case 2:
          s.PeerResets(q.now);
          break;
        case 3:
          s.RoomFor(q.now, static_cast<long>(body.size()));
          break;
        case 6:
          s.Arrive(q.now, body, false);
          break;
        default:
          s.Arrive(q.now, body + "\r\n");
          break;
      }
    });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Bytes> parts = Split(Bytes(reinterpret_cast<const char*>(data), size), '\0');
  Host h;
  h.queue.dispatch = [&h](const tv::Msg& m) { tv::DispatchMainWindowMessage(h.ctx, m); };
  h.window.ctx = &h.ctx;
  h.ctx.log.Open(h.files, "/s/t.log");
  h.sockets.hosts["peer"] = {tv::test::Ip(127, 0, 0, 1)};

  if (parts.size() > 1) {
    for (char c : parts[1]) {
      static const int kAnswers[] = {tv::kIdOk, tv::kIdCancel, tv::kIdYes, tv::kIdNo};
      h.window.answers.push_back(kAnswers[static_cast<unsigned char>(c) % 4]);
    }
    h.sockets.connectAtOnce = !parts[1].empty() && (parts[1][0] & 0x40);
    if (!parts[1].empty() && (parts[1][0] & 0x20)) h.sockets.connectAnswerError = 10061;
  }
  if (parts.size() > 2) SchedulePeer(h, parts[2]);
  if (parts.size() > 3) {
    for (const Bytes& line : Split(parts[3], '\n')) {
      if (!line.empty() && line[0] == '!') {
        h.window.inputs.push_back({tv::kIdCancel, Bytes()});
      } else {
        h.window.inputs.push_back({tv::kIdOk, line});
      }
    }
  }
  for (size_t i = 4; i < parts.size(); ++i) {
    h.files.files["/s/f" + std::to_string(i - 3) + ".tvl"] = parts[i];
  }

  Bytes main = parts[0];
  tv::CheckStart start;
  if (!main.empty() && main[0] == '\x02') {
    const size_t lf = main.find('\n');
    const Bytes commandLine = main.substr(1, lf == Bytes::npos ? Bytes::npos : lf - 1);
    main.erase(0, lf == Bytes::npos ? main.size() : lf + 1);
    tv::StartupOptions options;
    try {
      tv::ParseCommandLine(commandLine, options, h.ctx.symbols, h.ctx.counters, h.ctx.texts);
    } catch (const tv::CommandLineError&) {
      return 0;  // the program would not start
    }
    for (const auto& c : h.ctx.counters.Items()) start.counters.insert(c.name);
    for (const auto& t : h.ctx.texts.Items()) start.texts.insert(t.name);
  }
  h.files.files["/s/main.tvl"] = main;

  tv::test::FakeFiles before;
  before.files = h.files.files;
  const std::vector<tv::CheckFinding> findings = tv::CheckScript(before, "/s/main.tvl", start);

  h.ctx.running = true;
  tv::RunScript(h.ctx, "/s/main.tvl");
  h.ctx.running = false;
  tv::CloseCaptureAfterRun(h.ctx);

  FUZZ_CHECK(h.ctx.lastOutcome != tv::RunOutcome::None);
  FUZZ_CHECK(h.ctx.fillCount >= 0 && h.ctx.fillCount <= tv::kReceiveBufferSize);
  FUZZ_CHECK(!h.ctx.capture);
  // A run that ended through its common end took the check boxes down.
  if (h.ctx.lastOutcome != tv::RunOutcome::Failed &&
      h.ctx.lastOutcome != tv::RunOutcome::NotOpened) {
    for (const Bytes& mark : h.ctx.checkBoxMarks) FUZZ_CHECK(mark.empty());
  }
  h.ctx.log.Close();

  bool sameFiles = true;
  for (const Bytes& name : h.files.opened) {
    if (h.files.written.count(name) || !before.files.count(name)) sameFiles = false;
  }
  std::vector<std::pair<Bytes, int>> accepted = h.window.carriedOut;
  // The last line of a run that did not end normally may be the one it
  // refused.
  if (h.ctx.lastOutcome != tv::RunOutcome::Normal && !accepted.empty()) accepted.pop_back();
  const std::set<std::pair<Bytes, int>> acceptedSet(accepted.begin(), accepted.end());
  for (const tv::CheckFinding& f : findings) {
    if (!sameFiles || !f.error || !acceptedSet.count({f.file, f.line})) continue;
    Bytes line;
    Bytes word;
    auto script = before.OpenScript(f.file, nullptr);
    for (int n = 0; n < f.line && script->ReadLine(line) == tv::ScriptFile::Read::Line;) ++n;
    tv::GetNextWord(line, word, true, false);
    if (word == "IFDEF" || word == "IFNOTDEF" || word == "IFNDEF") continue;
    // A Timeout's label is looked for only when the limit runs out, in a later
    // command: the Timeout line itself runs whether the label exists or not.
    if (word == "TIMEOUT" && f.message.rfind("Návěští ", 0) == 0) continue;
    std::fprintf(stderr, "%s\n", tv::FormatFinding(f).c_str());
    const bool errorOnAnAcceptedLine = true;
    FUZZ_CHECK(!errorOnAnAcceptedLine);
  }
  return 0;
}
