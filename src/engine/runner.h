// The script runner: the stack of open script files, the line loop, the
// command table it dispatches through and the common end of a run. The
// table itself is filled where the subsystems meet (app/commands.h): the
// engine knows only its shape.
#pragma once

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "engine/check.h"
#include "engine/scripttext.h"
#include "shell/context.h"

namespace tv {

class CommandTable;

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
  explicit ScriptFileStack(const CommandTable& commands) : commands_(&commands) {}
  // The commands of this run (IfDef runs the rest of its line through them).
  const CommandTable& Commands() const { return *commands_; }
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
  const CommandTable* commands_;
  std::array<std::unique_ptr<ScriptText>, MAX_SCRIPT_FILES> files_;
  int depth_ = 0;
};

using Handler = Flow (*)(ScriptContext& ctx, Bytes& rest, ScriptFileStack& stack);

// What a command does, in the run and in the checker; both read the
// command's arguments the same way (engine/args.h).
struct CommandDef {
  Handler run;
  CheckFunction check;
};

struct Command {
  const char* keyword;  // upper-case
  const CommandDef* def;
};

// Run at the end of every run, in the order given, after the script files
// are closed and before the last log line.
using EndOfRunHook = void (*)(ScriptContext& ctx);

class CommandTable {
 public:
  CommandTable(std::vector<Command> commands, std::vector<EndOfRunHook> endOfRun);
  // The command of an upper-cased word; null for an unknown word.
  const CommandDef* Find(const Bytes& word) const;
  const std::vector<Command>& Commands() const { return commands_; }
  void EndOfRun(ScriptContext& ctx) const;

 private:
  // Found by length and first and last letter first: a lookup costs a few
  // byte compares, once for every line a run reads.
  static size_t Bucket(const char* word, size_t len);
  std::vector<Command> commands_;
  std::array<std::vector<std::pair<Bytes, const CommandDef*>>, 128> byKeyword_;
  std::vector<EndOfRunHook> endOfRun_;
};

// Runs the script at path with these commands until the run ends; sets
// ctx.lastOutcome.
void RunScript(ScriptContext& ctx, const Bytes& path, const CommandTable& commands);

// Runs the command of an upper-cased word with the rest of its line; an
// unknown word ends the run with its log line and box.
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

// The box and the log line of a script file that was not opened.
void ScriptNotOpened(ScriptContext& ctx, const Bytes& path, ScriptRefusal why);

// What a script line read gives the runner or GoTo other than a line or the
// end: a read failure, or a line of a UTF-8 script that has no Windows-1250
// text (its box and log line; the run ends as after a failed command).
Flow LineReadFailure(ScriptContext& ctx, ScriptText& file, ScriptText::Read read);

}  // namespace tv
