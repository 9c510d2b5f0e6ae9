#include "app/mainwindow.h"

#include <cstdio>
#include <cstring>

#include "engine/expand.h"
#include "engine/numbers.h"
#include "app/commands.h"
#include "net/address.h"
#include "net/capture.h"
#include "net/connection.h"

namespace tv {

namespace {

const char kOptionTable[] = "p1d1D1c2a1n2t2";

bool IsBlank(unsigned char c) {
  return c >= 1 && c <= 32;
}

class CommandLineReader {
 public:
  explicit CommandLineReader(const Bytes& text) : text_(text.c_str()) {}
  bool AtEnd() const { return text_[pos_] == 0; }
  unsigned char Peek(size_t ahead = 0) const {
    for (size_t i = 0; i < ahead; ++i) {
      if (text_[pos_ + i] == 0) return 0;
    }
    return static_cast<unsigned char>(text_[pos_ + ahead]);
  }
  void Advance(size_t n = 1) { pos_ += n; }
  size_t Position() const { return pos_; }
  void Rewind(size_t pos) { pos_ = pos; }
  void SkipBlanks() {
    while (IsBlank(Peek())) ++pos_;
  }
  // A parameter or word: quoted with " or ' up to the same quote, else up to
  // the next blank.
  Bytes ReadWord() {
    Bytes word;
    unsigned char c = Peek();
    if (c == '"' || c == '\'') {
      ++pos_;
      while (Peek() != c) {
        if (AtEnd()) throw CommandLineError{"Řetězec na konci řádky není ukončen"};
        word.push_back(text_[pos_++]);
      }
      ++pos_;
    } else {
      while (!AtEnd() && !IsBlank(Peek())) word.push_back(text_[pos_++]);
    }
    return word;
  }

 private:
  const char* text_;
  size_t pos_ = 0;
};

Bytes Format(const char* format, char letter, int count, const char* ending) {
  char text[128];
  std::snprintf(text, sizeof text, format, letter, count, ending);
  return text;
}

Bytes BothKinds(const Bytes& name) {
  return "Jméno " + name + " nemůže patřit čítači i textové proměnné";
}

void SlideRunButtonUp(ScriptContext& ctx) {
  Window& window = ctx.host.window;
  ctx.buttonAnimation = true;
  window.SetRunButtonCaption("&Přerušení scriptu");
  ctx.slideCount = window.PrepareSlideUp();
  window.FocusRunButton();
  window.PrepareSlide();
  for (int i = 0; i < ctx.slideCount; ++i) {
    window.MoveRunButton(-4);
    ctx.PumpWindowMessages();
    ctx.TimedStep(20);
  }
  window.FinishSlide(false);
  ctx.buttonAnimation = false;
}

void SlideRunButtonDown(ScriptContext& ctx) {
  Window& window = ctx.host.window;
  ctx.buttonAnimation = true;
  window.ShowMain(9);
  window.PrepareSlide();
  for (int i = 0; i < ctx.slideCount; ++i) {
    window.MoveRunButton(4);
    ctx.PumpWindowMessages();
    const bool wasRunning = ctx.running;
    ctx.running = true;
    ctx.runningForced = !wasRunning;
    ctx.TimedStep(20);
    ctx.running = wasRunning;
    ctx.runningForced = false;
    // A close request during the pause must not be lost: the run is over, so
    // the cancel command goes back into the queue for the next loop.
    if (ctx.cancelRefusedWhileForced) {
      ctx.cancelRefusedWhileForced = false;
      ctx.host.queue.PostToMain(kWmCommand, kIdCancel, 0);
    }
  }
  window.FinishSlide(true);
  window.SetRunButtonCaption("&Spuštění scriptu");
  window.FocusRunButton();
  ctx.buttonAnimation = false;
}

}  // namespace

void ParseCommandLine(const Bytes& text, StartupOptions& options, SymbolList& symbols,
                      CounterList& counters, TextList& texts) {
  options = StartupOptions();
  symbols.Clear();
  CommandLineReader in(text);
  for (;;) {
    in.SkipBlanks();
    if (in.Peek() != '-') break;
    unsigned char letter = in.Peek(1);
    if (letter == '-') {
      in.Advance(2);
      in.SkipBlanks();
      break;
    }
    if (letter == 0 || IsBlank(letter)) {
      throw CommandLineError{"Za '-' v příkazové řádce musí následovat písmeno-parametr"};
    }
    in.Advance(2);
    const char* entry = nullptr;
    for (size_t i = 0; i + 1 < sizeof kOptionTable; i += 2) {
      if (static_cast<unsigned char>(kOptionTable[i]) == letter) entry = &kOptionTable[i];
    }
    if (!entry) {
      char message[64];
      std::snprintf(message, sizeof message, "Neznámý parametr: %c", letter);
      throw CommandLineError{message};
    }
    const int count = entry[1] - '0';
    Bytes params[2];
    for (int i = 0; i < count; ++i) {
      in.SkipBlanks();
      if (in.AtEnd()) {
        const char* ending = count == 1 ? "" : count <= 4 ? "y" : "ů";
        throw CommandLineError{
            Format("Parametr %c vyžaduje %d parametr%s", static_cast<char>(letter), count, ending)};
      }
      params[i] = in.ReadWord();
    }
    switch (letter) {
      case 'p':
        options.logFileName = params[0];
        break;
      case 'd':
      case 'D':
        symbols.Define(params[0]);
        break;
      case 'c':
        options.connectMode = 1;
        options.server = params[0];
        options.port = NumberOrZero(params[1]);
        break;
      case 'a': {
        options.connectMode = 2;
        options.server.clear();
        options.port = NumberOrZero(params[0]);
        // An address to listen on may follow, as after Accept: a word that
        // is one; any other word is left for what comes next.
        const size_t mark = in.Position();
        in.SkipBlanks();
        IpAddress address;
        const Bytes word = in.AtEnd() || in.Peek() == '-' ? Bytes() : in.ReadWord();
        if (!word.empty() && ParseIpLiteral(word, address)) {
          options.server = word;
        } else {
          in.Rewind(mark);
        }
        break;
      }
      case 'n':
        if (texts.Find(params[0])) throw CommandLineError{BothKinds(params[0])};
        *counters.Find(params[0], true) = NumberOrZero(params[1]);
        break;
      case 't':
        if (counters.Find(params[0], false)) throw CommandLineError{BothKinds(params[0])};
        if (!UsableTextName(params[0])) {
          throw CommandLineError{"Jméno " + params[0] + " nelze použít pro textovou proměnnou"};
        }
        if (params[1].size() > kMaxTextBytes) {
          throw CommandLineError{FormatText("Text parametru t je delší než %lu bytů",
                                            static_cast<unsigned long>(kMaxTextBytes))};
        }
        *texts.Find(params[0], true) = params[1];
        break;
    }
  }
  bool first = true;
  while (!in.AtEnd()) {
    Bytes word = in.ReadWord();
    if (first) options.scriptName = word;
    first = false;
    in.SkipBlanks();
  }
}

bool InitFromCommandLine(ScriptContext& ctx, const Bytes& commandLine) {
  try {
    ParseCommandLine(commandLine, ctx.options, ctx.symbols, ctx.counters, ctx.texts);
  } catch (const CommandLineError& error) {
    ctx.host.window.MessageBox(error.text, "Chyba v argumentech programu", kMbOk);
    return false;
  }
  if (!ctx.options.scriptName.empty()) {
    ctx.host.window.SetScriptName(ctx.options.scriptName);
  } else {
    ctx.host.window.SetScriptName(ctx.host.profile.GetString("ScriptName", "", 253));
  }
  if (!ctx.log.Open(ctx.host.files, ctx.options.logFileName)) {
    ctx.ReportWarning("Nelze vytvářet protokol " + ctx.options.logFileName);
  }
  ctx.running = false;
  ctx.connection.reset();
  ctx.tls = nullptr;
  ctx.pendingSocket = kInvalidSocket;
  ctx.buttonAnimation = false;
  ctx.SetLowerStatus("Program odstartován, čekám na spuštění scriptu.");
  ctx.SetUpperStatus("");
  ctx.host.window.SetTitle(kIdleTitle);
  return true;
}

void PostAutomaticStart(ScriptContext& ctx) {
  if (ctx.options.connectMode > 0) {
    ctx.host.queue.PostToMain(WM_STARTUP_CONNECT, 0, 0);
  } else if (!ctx.options.scriptName.empty()) {
    ctx.host.queue.PostToMain(kWmCommand, kIdRunButton, 0);
  }
}

void WriteScriptNameProfile(ScriptContext& ctx) {
  Bytes shown = ctx.host.window.GetScriptName();
  if (ctx.options.scriptName.empty() || ctx.options.scriptName != shown) {
    ctx.host.profile.SetString("ScriptName", shown);
  }
}

void RunButtonClicked(ScriptContext& ctx) {
  if (ctx.buttonAnimation) return;
  if (ctx.running) {
    ctx.LogPrintf("Akce přerušena obsluhou.\n");
    ctx.running = false;
    ctx.host.queue.PostToMain(WM_SCRIPT_WAKEUP, 0, 0);
    ctx.SetLowerStatus("Akce přerušena obsluhou.");
    return;
  }
  ctx.SetLowerStatus("Script spuštěn.");
  ctx.running = true;
  Bytes path = ctx.host.window.GetScriptName();
  WriteScriptNameProfile(ctx);
  ctx.host.window.SetTitle("Tarvelin - běží script " + path);
  SlideRunButtonUp(ctx);
  RunScript(ctx, path);
  SlideRunButtonDown(ctx);
  ctx.host.window.SetTitle(kIdleTitle);
  CloseCaptureAfterRun(ctx);
  if (ctx.running) {
    ctx.SetLowerStatus("Script ukončen.");
    ctx.running = false;
  }
}

int ExitStatusOf(const ScriptContext& ctx) {
  switch (ctx.lastOutcome) {
    case RunOutcome::None:
      return ctx.startupFailed ? 1 : 0;
    case RunOutcome::Normal:
      return 0;
    case RunOutcome::TimedOut:
      return 3;
    default:
      return 1;
  }
}

void OnCancel(ScriptContext& ctx) {
  if (ctx.running) {
    if (ctx.runningForced) ctx.cancelRefusedWhileForced = true;
    return;
  }
  WriteScriptNameProfile(ctx);
  ctx.log.Close();
  CloseConnection(ctx);
  ctx.running = false;
  ctx.host.queue.PostToMain(WM_SCRIPT_WAKEUP, 0, 0);
  ctx.host.window.StopSound();
  ctx.dialogEnded = true;
}

void DispatchMainWindowMessage(ScriptContext& ctx, const Msg& msg) {
  if (!msg.forMainWindow) return;
  switch (msg.id) {
    case kWmCommand: {
      // A click (notification code 0) on the Run button, or the cancel
      // command (close box, Escape key).
      const intptr_t w = static_cast<intptr_t>(msg.wParam);
      if (HighWord(w) != 0) break;
      if (LowWord(w) == kIdRunButton) RunButtonClicked(ctx);
      if (LowWord(w) == kIdCancel) OnCancel(ctx);
      break;
    }
    case kWmSysCommand:
      // The dialog's default processing turns a close request into a posted
      // cancel command.
      if (msg.wParam == kScClose) ctx.host.queue.PostToMain(kWmCommand, kIdCancel, 0);
      break;
    case WM_STARTUP_CONNECT:
      OnStartupConnect(ctx);
      break;
    default:
      break;
  }
}

}  // namespace tv
