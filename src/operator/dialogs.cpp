// Message, Question and Input: the script stops and asks the operator
// through a modal window. Cancel in any of them ends the run quietly.
#include "engine/commands.h"
#include "engine/expand.h"

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

}  // namespace

Flow CmdMessage(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  const Bytes text = ExpandText(ctx, rest);
  if (text.empty()) {
    return SyntaxError(ctx, kNothingToReport, "Message <řetězec>");
  }
  const int answer = AskOperator(ctx, text, kMbOkCancel | kMbIconInformation);
  return answer == kIdCancel ? Flow::Cancel : Flow::Next;
}

Flow CmdQuestion(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  const Bytes text = ExpandText(ctx, rest);
  if (text.empty()) {
    return SyntaxError(ctx, kNothingToReport, "Question <řetězec>");
  }
  const int answer = AskOperator(ctx, text, kMbYesNoCancel | kMbIconQuestion);
  if (answer == kIdYes) {
    ctx.symbols.Define("CONSENT");
  } else if (answer == kIdNo) {
    ctx.symbols.Undefine("CONSENT");
  } else {
    return Flow::Cancel;
  }
  return Flow::Next;
}

Flow CmdInput(ScriptContext& ctx, Bytes& rest, ScriptFileStack&) {
  Bytes prompt = ExpandText(ctx, rest);
  if (prompt.empty()) prompt = kDefaultInputPrompt;
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

void CheckMessage(LineCheck& lc, Bytes& rest) {
  const int column = lc.Column(rest);
  Bytes text;
  if (LiteralText(lc, rest, text) && text.empty()) lc.Error(column, kNothingToReport);
}

void CheckQuestion(LineCheck& lc, Bytes& rest) {
  CheckMessage(lc, rest);
}

// An empty prompt is replaced by the default one.
void CheckInput(LineCheck& lc, Bytes& rest) {
  Bytes text;
  LiteralText(lc, rest, text);
}

}  // namespace tv
