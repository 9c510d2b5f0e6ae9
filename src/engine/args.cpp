#include "engine/args.h"

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

int Args::Here() const {
  return check_ ? check_->Column(pos_ == 0 ? rest_ : rest_.substr(pos_)) : 0;
}

bool Args::Text(Bytes& text) {
  column_ = Here();
  if (ctx_) {
    text = ExpandText(*ctx_, pos_ == 0 ? rest_ : rest_.substr(pos_));
    return true;
  }
  return LiteralText(*check_, pos_ == 0 ? rest_ : rest_.substr(pos_), text);
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
  if (check_) check_->CounterNamed(name);
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
