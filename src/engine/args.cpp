#include "engine/args.h"

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "engine/expand.h"
#include "engine/numbers.h"
#include "engine/tokenizer.h"

namespace tv {

Bytes& Args::Rest() {
  rest_.erase(0, pos_);
  pos_ = 0;
  return rest_;
}

bool Args::Word(Bytes& word) {
  column_ = Here();
  return GetNextWord(rest_, pos_, word, false, false);
}

bool Args::Keyword(Bytes& word) {
  column_ = Here();
  return GetNextWord(rest_, pos_, word, true, false);
}

bool Args::FileName(Bytes& word) {
  column_ = Here();
  return GetNextWord(rest_, pos_, word, false, true);
}

bool Args::WordOrValue(Bytes& word, bool fileName, bool counters, bool* variable) {
  size_t start = pos_;
  while (start < rest_.size() && (rest_[start] == ' ' || rest_[start] == '\t')) ++start;
  const bool quoted = start < rest_.size() && rest_[start] == '"';
  if (!(fileName ? FileName(word) : Word(word))) return false;
  bool named = false;
  if (!quoted && ctx_) {
    if (const Bytes* text = ctx_->texts.Find(word)) {
      word = *text;
      named = true;
    } else if (const int32_t* counter = counters ? ctx_->counters.Find(word, false) : nullptr) {
      word = FormatText("%ld", static_cast<long>(*counter));
      named = true;
    }
  } else if (!quoted && check_) {
    named = check_->MayBeText(word) || (counters && check_->MayBeCounter(word));
  }
  if (variable) *variable = named;
  return true;
}

bool Args::AtEnd() const {
  for (size_t p = pos_; p < rest_.size(); ++p) {
    if (rest_[p] != ' ' && rest_[p] != '\t') return false;
  }
  return true;
}

int Args::Here() const {
  return check_ ? check_->Column(pos_ == 0 ? rest_ : rest_.substr(pos_)) : 0;
}

namespace {

constexpr char kBadExpressionBox[] = "Nesprávný výraz ve scriptu";

}  // namespace

ExprNames::Kind Args::CheckNames::Find(const Bytes& name, int32_t&, const Bytes*&, bool& known) {
  known = false;
  if (check_->MayBeCounter(name)) return Kind::Counter;
  if (check_->MayBeText(name)) return Kind::Text;
  return Kind::None;
}

ExprNames& Args::Names() {
  if (ctx_) return runNames_;
  return checkNames_;
}

bool Args::ExprFailure(const ExprError& error, size_t offset) {
  if (check_) {
    const Bytes after = rest_.substr(std::min(rest_.size(), pos_ + offset));
    check_->Error(check_->Column(after), (error.syntax ? "Nesprávný výraz: "
                                                       : "Výraz nelze "
                                                         "vyhodnotit: ") +
                                             error.message);
    return false;
  }
  if (error.syntax) {
    failure_ = MalformedCommand(*ctx_, kBadExpressionBox, error.message.c_str());
  } else {
    const Bytes text = "Výraz nelze vyhodnotit: " + error.message;
    failure_ = CommandError(*ctx_, text, (text + "\n").c_str());
  }
  return false;
}

bool Args::Text(Bytes& text, bool* known) {
  column_ = Here();
  const Bytes rest = pos_ == 0 ? rest_ : rest_.substr(pos_);
  bool all = true;
  ExprError error;
  std::function<void(size_t)> doubledQuote;
  if (check_) {
    doubledQuote = [this, &rest](size_t at) {
      check_->Warning(check_->Column(rest.substr(at)),
                      "Dvojice uvozovek \"\" uvnitř řetězce jej ukončí");
    };
  }
  if (!ExpandPieces(rest, Names(), text, all, error, doubledQuote)) {
    return ExprFailure(error, error.pos);
  }
  if (known) *known = all;
  return true;
}

namespace {

// The expression of a text, parsed once: a loop evaluates the same few
// expressions over and over, and parsing costs more than evaluating. Null
// with the error when the text is no expression.
const Expr* ParsedExpression(const Bytes& text, ExprError& error) {
  constexpr size_t kKept = 1024;
  thread_local std::unordered_map<Bytes, Expr> parsed;
  const auto found = parsed.find(text);
  if (found != parsed.end()) return &found->second;
  Expr expr;
  if (!expr.Parse(text, 0, text.size(), error)) return nullptr;
  if (parsed.size() >= kKept) parsed.clear();
  return &parsed.emplace(text, std::move(expr)).first->second;
}

}  // namespace

bool Args::Expression(ExprValue& value) {
  column_ = Here();
  const Bytes text = rest_.substr(pos_);
  ExprError error;
  const Expr* expr = ParsedExpression(text, error);
  if (!expr || !expr->Evaluate(Names(), value, error)) return ExprFailure(error, error.pos);
  pos_ = rest_.size();
  return true;
}

bool Args::NumberOrCounter(const Bytes& word, int32_t& value) {
  if (ParseNumber(word, value)) return true;
  if (ctx_) {
    const int32_t* counter = ctx_->counters.Find(word, false);
    if (!counter) return false;
    value = *counter;
    return true;
  }
  value = 0;
  return check_->MayBeCounter(word);
}

int Args::ColumnForReport() {
  const int column = at_ ? at_ : column_;
  at_ = 0;
  return column;
}

Args& Args::At(int column) {
  at_ = column;
  return *this;
}

bool Args::Syntax(const Bytes& box, const char* syntax) {
  return Syntax(box, syntax, box);
}

bool Args::Syntax(const Bytes& box, const char* syntax, const Bytes& checkText) {
  if (ctx_) {
    failure_ = SyntaxError(*ctx_, box, syntax);
  } else {
    check_->Error(ColumnForReport(), checkText);
  }
  return false;
}

bool Args::Malformed(const Bytes& box, const char* what, const Bytes& checkText) {
  if (ctx_) {
    failure_ = MalformedCommand(*ctx_, box, what);
  } else {
    check_->Error(ColumnForReport(), checkText);
  }
  return false;
}

bool Args::Error(const Bytes& box, const char* logLine) {
  return Error(box, logLine, box);
}

bool Args::Error(const Bytes& box, const char* logLine, const Bytes& checkText) {
  if (ctx_) {
    failure_ = CommandError(*ctx_, box, logLine);
  } else {
    check_->Error(ColumnForReport(), checkText);
  }
  return false;
}

bool Args::Failed(Flow flow) {
  failure_ = flow;
  return false;
}

void Args::Warning(const Bytes& text) {
  if (check_) check_->Warning(ColumnForReport(), text);
}

void Args::CounterNamed(const Bytes& name) {
  if (check_) check_->CounterNamed(name, column_);
}

void Args::TargetNamed(const Bytes& name) {
  if (check_) check_->TargetNamed(name);
}

void Args::CounterUsed(const Bytes& name) {
  if (check_ && check_->OnlyText(name)) {
    check_->Error(column_,
                  "Čítač nebyl dosud definován: " + name + " je textová proměnná, ne čítač");
  }
}

void Args::TextNamed(const Bytes& name) {
  if (check_) check_->TextNamed(name, column_);
}

void Args::LabelUsed(const Bytes& label) {
  if (check_ && !check_->LabelVisible(label)) {
    check_->Error(ColumnForReport(),
                  "Návěští " + label +
                      " nenalezeno za žádným příkazem Label tohoto souboru ani souborů, "
                      "které jej volají");
  }
}

void Args::EndsFlow(const char* command) {
  if (check_) check_->EndsFlow(command);
}

void Args::Calls(const Bytes& name) {
  if (check_) check_->Call(name, ColumnForReport());
}

void Args::CallsUnknownFile() {
  if (check_) check_->CallOfUnknownFile();
}

void Args::Reads(const Bytes& name) {
  if (check_) check_->FileRead(name, ColumnForReport());
}

void Args::Creates(const Bytes& name) {
  if (check_) check_->FileCreated(name, ColumnForReport());
}

void Args::ConditionalCommand() {
  if (check_) check_->CheckConditionalCommand(Rest());
}

bool ReadNoArgs(Args&, NoArgs&) {
  return true;
}

}  // namespace tv
