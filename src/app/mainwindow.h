// Start-up, the Run button and the end of the program: the main window's
// behaviour that does not depend on the platform.
#pragma once

#include "shell/context.h"

namespace tv {

// A syntax error of the command line.
struct CommandLineError {
  Bytes text;
};

// Parses the command line (the text after the program name). Throws
// CommandLineError.
void ParseCommandLine(const Bytes& text, StartupOptions& options, SymbolList& symbols,
                      CounterList& counters, TextList& texts);

// The main window's initialisation up to the layout: command line, script
// name, log, flags and status lines. False after a command-line error (its box
// has been shown).
bool InitFromCommandLine(ScriptContext& ctx, const Bytes& commandLine);
// Its last step: post the start-up connection or the Run button's command.
void PostAutomaticStart(ScriptContext& ctx);

void RunButtonClicked(ScriptContext& ctx);
// The program's exit status after its end, that of the last run: 0 when it
// ended normally, 3 when a time limit ended it, 1 otherwise; without a run, 1
// after a failed start-up connection and 0 else.
int ExitStatusOf(const ScriptContext& ctx);
// The end-of-program sequence; refused while a run is active.
void OnCancel(ScriptContext& ctx);
// Writes ScriptName unless the edit still shows the command line's script.
void WriteScriptNameProfile(ScriptContext& ctx);

// The main window procedure for a front end without a real window: the Run
// button's command, the cancel command, the close request (turned into a
// posted cancel command) and the start-up connection. Every other message is
// ignored.
void DispatchMainWindowMessage(ScriptContext& ctx, const Msg& msg);

}  // namespace tv
