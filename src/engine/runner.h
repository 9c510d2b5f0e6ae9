// The script runner: the stack of open script files, the line loop, the
// command table and the common end of a run.
#pragma once

#include <array>
#include <memory>

#include "engine/scripttext.h"
#include "shell/context.h"

namespace tv {

// How a command handler finishes.
enum class Flow {
  Next,        // done: pump once, then the next line
  NextNoPump,  // the next line at once, without a pump (a failed IfDef/IfNotDef)
  Stop,        // end of run, the run ended normally (Stop, End, Return in the main script)
  Fail,        // end of run after an error box
  Cancel,      // end of run after Cancel in an operator dialog
  Abandon,     // leave at once, without the end of run (Call cannot open its file, read error)
};

class ScriptFileStack {
 public:
  int Depth() const { return depth_; }  // number of open files
  ScriptText& Top() { return *files_[static_cast<size_t>(depth_ - 1)]; }
  bool Full() const { return depth_ >= MAX_SCRIPT_FILES; }
  void Push(std::unique_ptr<ScriptFile> file) {
    files_[static_cast<size_t>(depth_++)] = std::make_unique<ScriptText>(std::move(file));
  }
  void Pop() { files_[static_cast<size_t>(--depth_)].reset(); }
  void CloseAll() {
    while (depth_ > 0) Pop();
  }

 private:
  std::array<std::unique_ptr<ScriptText>, MAX_SCRIPT_FILES> files_;
  int depth_ = 0;
};

using Handler = Flow (*)(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// Runs the script at path until the run ends; sets ctx.lastOutcome.
void RunScript(ScriptContext& ctx, const Bytes& path);

// The handler of an upper-cased command word; null for an unknown word.
Handler FindHandler(const Bytes& word);

// Runs the handler of an upper-cased command word with the rest of its line;
// an unknown word ends the run with its log line and box.
Flow DispatchCommand(ScriptContext& ctx, const Bytes& word, Bytes& rest, ScriptFileStack& stack);

// The common error report of a handler: the box, then the log line.
Flow CommandError(ScriptContext& ctx, const Bytes& box, const char* logLine);

// A command written wrongly: the box, then "Špatný formát příkazu !" and on
// a line of its own what is wrong (without the line end) in the log.
Flow MalformedCommand(ScriptContext& ctx, const Bytes& box, const char* what);

// The same with the command's syntax for what is wrong: "Syntaxe: " and the
// syntax.
Flow SyntaxError(ScriptContext& ctx, const Bytes& box, const char* syntax);

// The end of a command whose time limit has run out while it waited: the log
// line that names the limit, then the box "Vypršel časový limit příkazu " and
// the command's name and the end of run, or, when the limit has a label, the
// jump to that label as GoTo makes it.
Flow TimeLimitExpired(ScriptContext& ctx, const char* command, ScriptFileStack& stack);

// A script file that cannot be read on: its box and log line; returns Abandon
// (the runner closes the script files and returns).
Flow ReadFailure(ScriptContext& ctx);

// What a script line read gives the runner or GoTo other than a line or the
// end: a read failure, or a line of a UTF-8 script that has no Windows-1250
// text (its box and log line; the run ends as after a failed command).
Flow LineReadFailure(ScriptContext& ctx, ScriptText& file, ScriptText::Read read);

}  // namespace tv
