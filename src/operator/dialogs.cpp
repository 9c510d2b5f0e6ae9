// Message, Question and Input: the script stops and asks the operator
// through a modal window. Cancel in any of them ends the run quietly.
#include "engine/args.h"
#include "operator/commands.h"

namespace tv {

namespace {

const char kScriptMessageTitle[] = "Zpráva scriptu";
const char kNothingToReport[] = "Není co hlásit - řetězec je prázdný";
const char kDefaultInputPrompt[] = "Zadejte řádku pro předání scriptu";

// Brings the main window to the front for the life of an operator's modal
// window and gives the foreground back to whoever had it before, whatever the
// operator answered.
class ForegroundForOperator {
 public:
  explicit ForegroundForOperator(Window& window)
      : window_(window), previous_(window.GetForeground()) {
    window_.BringMainToFront();
  }
  ~ForegroundForOperator() { window_.SetForeground(previous_); }
  ForegroundForOperator(const ForegroundForOperator&) = delete;
  ForegroundForOperator& operator=(const ForegroundForOperator&) = delete;

 private:
  Window& window_;
  uintptr_t previous_;
};

int AskOperator(ScriptContext& ctx, const Bytes& text, unsigned type) {
  ForegroundForOperator front(ctx.host.window);
  return ctx.host.window.MessageBox(text, kScriptMessageTitle, type);
}

struct TextArgs {
  Bytes text;
};

bool ReadReported(Args& in, TextArgs& a, const char* syntax) {
  bool known = false;
  if (!in.Text(a.text, &known)) return false;
  if (known && a.text.empty()) return in.Syntax(kNothingToReport, syntax);
  return true;
}

bool ReadMessage(Args& in, TextArgs& a) {
  return ReadReported(in, a, "Message <řetězec>");
}

Flow RunMessage(ScriptContext& ctx, TextArgs& a, ScriptFileStack&) {
  const int answer = AskOperator(ctx, a.text, kMbOkCancel | kMbIconInformation);
  return answer == kIdCancel ? Flow::Cancel : Flow::Next;
}

bool ReadQuestion(Args& in, TextArgs& a) {
  return ReadReported(in, a, "Question <řetězec>");
}

Flow RunQuestion(ScriptContext& ctx, TextArgs& a, ScriptFileStack&) {
  const int answer = AskOperator(ctx, a.text, kMbYesNoCancel | kMbIconQuestion);
  if (answer == kIdYes) {
    ctx.symbols.Define("CONSENT");
  } else if (answer == kIdNo) {
    ctx.symbols.Undefine("CONSENT");
  } else {
    return Flow::Cancel;
  }
  return Flow::Next;
}

// An empty prompt is replaced by the default one.
bool ReadInput(Args& in, TextArgs& a) {
  return in.Text(a.text);
}

Flow RunInput(ScriptContext& ctx, TextArgs& a, ScriptFileStack&) {
  const Bytes& prompt = a.text.empty() ? Bytes(kDefaultInputPrompt) : a.text;
  Bytes typed;
  int result;
  {
    ForegroundForOperator front(ctx.host.window);
    result = ctx.host.window.InputLine(prompt, typed);
  }
  if (result != kIdOk) return Flow::Cancel;
  ctx.lastLine = typed;
  return Flow::Next;
}

}  // namespace

const CommandDef kMessage = DefineCommand<TextArgs, ReadMessage, RunMessage>();
const CommandDef kQuestion = DefineCommand<TextArgs, ReadQuestion, RunQuestion>();
const CommandDef kInput = DefineCommand<TextArgs, ReadInput, RunInput>();

}  // namespace tv
