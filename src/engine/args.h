// The arguments of one command line, read by one function per command for
// both of its uses: the run, which acts on them and reports a wrong line with
// a box and a log line, and the checker, which reports the same line with its
// column and does not run anything. A command is written as
//
//   struct SendArgs { Bytes text; };
//   bool ReadSend(Args& in, SendArgs& a);                     // the arguments
//   Flow RunSend(ScriptContext& ctx, SendArgs& a, ScriptFileStack& stack);
//   const CommandDef kSend = DefineCommand<SendArgs, ReadSend, RunSend>();
//
// and its check comes from its reader. A reader returns false after it has
// reported what is wrong through one of the failures below. What only the
// run can know (the state of the connection, a counter's value, a visible
// check box) it tests through Run(), which is null in the checker; what only
// the checker says (warnings, the files and labels a line refers to) goes
// through the calls that do nothing in the run.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/check.h"
#include "engine/expand.h"
#include "engine/expr.h"
#include "engine/runner.h"

namespace tv {

class Args {
 public:
  // For the run of a command.
  Args(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack)
      : rest_(rest), ctx_(&ctx), stack_(&stack) {}
  // For its check.
  Args(LineCheck& check, Bytes& rest) : rest_(rest), check_(&check) {}
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  // The run's context and script files; null in the checker.
  ScriptContext* Run() const { return ctx_; }
  ScriptFileStack* Stack() const { return stack_; }
  bool Checking() const { return check_ != nullptr; }
  // Whether only blanks are left.
  bool AtEnd() const;
  // What is left of the line (the words read so far are taken off it now:
  // until then they are only passed over, so that a long line read word by
  // word is not moved for each word).
  Bytes& Rest();

  // The next word (false when there is none); Column() then tells where it
  // began, or where a missing word was expected. Word() keeps a quoted
  // string's quotes and replaces its escapes, Keyword() also upper-cases
  // plain letters, FileName() takes a quoted name literally, without quotes.
  bool Word(Bytes& word);
  bool Keyword(Bytes& word);
  bool FileName(Bytes& word);
  // The next word, or the value of the variable it names when it is not a
  // quoted string: a text variable's bytes or, with counters, a counter's
  // value in decimal digits. In the checker the word stays as it is, and
  // variable tells whether it may name one.
  bool WordOrValue(Bytes& word, bool fileName, bool counters, bool* variable = nullptr);
  int Column() const { return column_; }
  // The column of what follows now (the checker's; 0 in the run).
  int Here() const;

  // The rest of the line as a text. The run expands it; the checker knows it
  // only when it is the same in every run (known then true, text holding
  // it), and warns of a doubled quote that ends a string. False after the
  // failure when an item of the text is written wrongly or has no value.
  bool Text(Bytes& text, bool* known = nullptr);
  // The rest of the line as an expression, and its value (known false in the
  // checker when it depends on the run). False after the failure.
  bool Expression(ExprValue& value);
  // What a name stands for now: the run's counters and texts, the checker's
  // names of the checked files.
  ExprNames& Names();

  // A number word (the run's and the checker's rule), or the name of a
  // counter: the run takes an existing counter's value, the checker any name
  // that some command of the checked files gives a counter (value then 0).
  bool NumberOrCounter(const Bytes& word, int32_t& value);

  // Failures; each returns false for the reader to return. The run shows box
  // and writes its log line; the checker reports checkText (box when not
  // given) as an error at Column(), or at the column set by At().
  //   Syntax:    the log says "Špatný formát příkazu !" and "Syntaxe: " syntax
  //   Malformed: the log says "Špatný formát příkazu !" and what
  //   Error:     the log says logLine (with its line end)
  bool Syntax(const Bytes& box, const char* syntax);
  bool Syntax(const Bytes& box, const char* syntax, const Bytes& checkText);
  bool Malformed(const Bytes& box, const char* what, const Bytes& checkText);
  bool Error(const Bytes& box, const char* logLine);
  bool Error(const Bytes& box, const char* logLine, const Bytes& checkText);
  // A failure of the run that has been reported already (only in the run).
  bool Failed(Flow flow);
  // The column of the next failure or warning in the checker.
  Args& At(int column);
  // How the run goes on after a reader returned false.
  Flow Failure() const { return failure_; }

  // Only the checker says these; the run does nothing.
  void Warning(const Bytes& text);
  void CounterNamed(const Bytes& name);  // at Column()
  void TextNamed(const Bytes& name);     // at Column()
  void TargetNamed(const Bytes& name);
  // A counter the command reads (at Column()): an error when the name can be
  // only a text variable's.
  void CounterUsed(const Bytes& name);
  // GoTo and Timeout: the label must be visible from this file.
  void LabelUsed(const Bytes& label);
  void EndsFlow(const char* command);
  void Calls(const Bytes& name);    // a script file, checked too
  void CallsUnknownFile();          // a script file named by a variable
  void Reads(const Bytes& name);    // a file opened for reading at run time
  void Creates(const Bytes& name);  // a file created at run time
  // The rest of the line as a command of its own (after IfDef and IfNotDef).
  void ConditionalCommand();

 private:
  int ColumnForReport();
  // An expression or item that failed: syntax or evaluation, at offset from
  // the start of the unread words.
  bool ExprFailure(const ExprError& error, size_t offset);

  Bytes& rest_;
  size_t pos_ = 0;  // where the words not read yet begin
  ScriptContext* ctx_ = nullptr;
  ScriptFileStack* stack_ = nullptr;
  LineCheck* check_ = nullptr;
  int column_ = 0;
  int at_ = 0;  // the column set by At(), 0: none
  Flow failure_ = Flow::Fail;
  // What names stand for: the run's or the checker's.
  class CheckNames : public ExprNames {
   public:
    explicit CheckNames(LineCheck* check) : check_(check) {}
    Kind Find(const Bytes& name, int32_t&, const Bytes*&, bool& known) override;
    const Bytes* LastLine() override { return nullptr; }
    bool Checking() const override { return true; }

   private:
    LineCheck* check_;
  };
  RunNames runNames_{ctx_};
  CheckNames checkNames_{check_};
};

// A command that takes no arguments: the rest of its line is ignored.
struct NoArgs {};
bool ReadNoArgs(Args& in, NoArgs& a);

template <typename A, bool (*Read)(Args&, A&), Flow (*Act)(ScriptContext&, A&, ScriptFileStack&)>
Flow RunCommand(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack) {
  A args{};
  Args in(ctx, rest, stack);
  if (!Read(in, args)) return in.Failure();
  return Act(ctx, args, stack);
}

template <typename A, bool (*Read)(Args&, A&)>
void CheckCommand(LineCheck& lc, Bytes& rest) {
  A args{};
  Args in(lc, rest);
  Read(in, args);
}

// The run and the check of a command from its reader and its action.
template <typename A, bool (*Read)(Args&, A&), Flow (*Act)(ScriptContext&, A&, ScriptFileStack&)>
constexpr CommandDef DefineCommand() {
  return CommandDef{&RunCommand<A, Read, Act>, &CheckCommand<A, Read>};
}

}  // namespace tv
