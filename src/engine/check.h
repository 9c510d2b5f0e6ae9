// The script checker: reads scripts as the runner reads them, through the
// same files, tokenizer and command table, and reports what it can tell
// without running them. A command's check reads its arguments with the same
// reader as its run (engine/args.h).
#pragma once

#include <set>
#include <vector>

#include "host/host.h"

namespace tv {

class CommandTable;

// What a command's check may learn and say about the line it checks.
class LineCheck {
 public:
  virtual ~LineCheck() = default;
  // The 1-based column (a byte of the line as read) where the next word of
  // rest begins; rest must be what the tokenizer left of this line.
  virtual int Column(const Bytes& rest) const = 0;
  virtual void Error(int column, const Bytes& text) = 0;
  virtual void Warning(int column, const Bytes& text) = 0;

  // Checks the rest of the line as a command of its own: the command after
  // an IfDef or IfNotDef, which runs only when the condition holds.
  virtual void CheckConditionalCommand(Bytes& rest) = 0;
  // Stop, End or GoTo: unless it stands behind a condition, the lines after
  // it are reachable only through a label.
  virtual void EndsFlow(const char* command) = 0;

  // Whether a Label line of this file or of a file that calls it, directly
  // or through others, names the label (where GoTo looks for it).
  virtual bool LabelVisible(const Bytes& label) const = 0;
  // Counters and text variables: a command that sets one names it; a word
  // may stand for a counter (a text) when some command of the checked
  // scripts sets one of that name. A name set as both is an error at the
  // line that makes it the second kind.
  virtual void CounterNamed(const Bytes& name, int column) = 0;
  virtual bool MayBeCounter(const Bytes& name) const = 0;
  virtual void TextNamed(const Bytes& name, int column) = 0;
  // A target that takes a text when a text variable has the name, else a
  // number (ParseLine).
  virtual void TargetNamed(const Bytes& name) = 0;
  virtual bool MayBeText(const Bytes& name) const = 0;
  // Whether the name can be nothing but a text variable in a run: the
  // command line or a command of the checked scripts sets it as one, none
  // makes it a counter or a target, and every script file a Call may open
  // was checked (one the checker cannot read may create counters).
  virtual bool OnlyText(const Bytes& name) const = 0;

  // Call: the file is checked too (once), or a warning says it is missing.
  virtual void Call(const Bytes& name, int column) = 0;
  // A Call of a file that only the run knows (a variable's name).
  virtual void CallOfUnknownFile() = 0;
  // A file the command opens at run time (a sound): a warning when missing.
  virtual void FileRead(const Bytes& name, int column) = 0;
  // A file the command creates at run time: a warning when its folder is
  // missing.
  virtual void FileCreated(const Bytes& name, int column) = 0;
};

using CheckFunction = void (*)(LineCheck& lc, Bytes& rest);

struct CheckFinding {
  Bytes file;  // as the runner names it
  int line = 0;
  int column = 0;
  bool error = false;
  Bytes message;  // Windows-1250
};

// What the command line sets before a run (-n, -t): such a name is a
// counter or a text variable from the first line on.
struct CheckStart {
  std::set<Bytes> counters;
  std::set<Bytes> texts;
};

// Checks the script at path and the files its Call lines name, in the order
// of the files' first Call and of the lines.
std::vector<CheckFinding> CheckScript(FileSystem& files, const Bytes& path,
                                      const CommandTable& commands,
                                      const CheckStart& start = CheckStart());

// Whether any of the findings is an error.
bool HasErrors(const std::vector<CheckFinding>& findings);

// "FILE:LINE:COLUMN: chyba: TEXT" (or "varování"), without a line end.
Bytes FormatFinding(const CheckFinding& finding);

}  // namespace tv
