#include "engine/runner.h"

#include <cstring>

#include "engine/check.h"
#include "engine/commands.h"
#include "engine/tokenizer.h"
#include "net/connection.h"
#include "operator/checkboxes.h"

namespace tv {

namespace {

struct Command {
  const char* keyword;
  Handler handler;
  CheckFunction check;  // the same arguments taken without running
};

const Command kCommands[] = {
    {"IFDEF", CmdIfDef, CheckIfDef},
    {"IFNOTDEF", CmdIfNotDef, CheckIfNotDef},
    {"IFNDEF", CmdIfNotDef, CheckIfNotDef},
    {"GOTO", CmdGoTo, CheckGoTo},
    {"LABEL", CmdLabel, CheckNoArguments},
    {"CALL", CmdCall, CheckCall},
    {"RETURN", CmdReturn, CheckNoArguments},
    {"STOP", CmdStop, CheckStop},
    {"END", CmdEnd, CheckEnd},
    {"COMMENT", CmdComment, CheckNoArguments},
    {"DEFINE", CmdDefine, CheckDefine},
    {"UNDEFINE", CmdUndefine, CheckUndefine},
    {"SETCOUNTER", CmdSetCounter, CheckSetCounter},
    {"INCREMENTCOUNTER", CmdIncrementCounter, CheckIncrementCounter},
    {"TESTCOUNTER", CmdTestCounter, CheckTestCounter},
    {"TIMEOUT", CmdTimeout, CheckTimeout},
    {"CONNECT", CmdConnect, CheckConnect},
    {"ACCEPT", CmdAccept, CheckAccept},
    {"DISCONNECT", CmdDisconnect, CheckNoArguments},
    {"SEND", CmdSend, CheckSend},
    {"WAITFOR", CmdWaitFor, CheckWaitFor},
    {"RECEIVE", CmdReceive, CheckReceive},
    {"SKIPTO", CmdSkipTo, CheckSkipTo},
    {"TESTLINE", CmdTestLine, CheckTestLine},
    {"PARSELINE", CmdParseLine, CheckParseLine},
    {"STARTTLS", CmdStartTls, CheckStartTls},
    {"OUTPUTFILE", CmdOutputFile, CheckOutputFile},
    {"CLOSEOUTPUT", CmdCloseOutput, CheckNoArguments},
    {"MESSAGE", CmdMessage, CheckMessage},
    {"QUESTION", CmdQuestion, CheckQuestion},
    {"INPUT", CmdInput, CheckInput},
    {"SHOWCHECKBOX", CmdShowCheckBox, CheckShowCheckBox},
    {"CHECKBOX", CmdShowCheckBox, CheckShowCheckBox},
    {"HIDECHECKBOX", CmdHideCheckBox, CheckHideCheckBox},
    {"DESTROYCHECKBOX", CmdHideCheckBox, CheckHideCheckBox},
    {"SETCHECK", CmdSetCheck, CheckSetCheck},
    {"SETCHECKBOX", CmdSetCheck, CheckSetCheck},
    {"TESTCHECK", CmdTestCheck, CheckTestCheck},
    {"CHECKED", CmdTestCheck, CheckTestCheck},
    {"WAITCHECK", CmdWaitCheck, CheckWaitCheck},
    {"WAITFORCHECK", CmdWaitCheck, CheckWaitCheck},
    {"WAIT", CmdWait, CheckWait},
    {"SIGNALIZE", CmdSignalize, CheckSignalize},
    {"SHOWWINDOW", CmdShowWindow, CheckShowWindow},
};

void EndOfRun(ScriptContext& ctx, ScriptFileStack& stack) {
  stack.CloseAll();
  DestroyAllCheckBoxes(ctx);
  if (ctx.connection != kInvalidSocket) EndOfRunConnectionQuestion(ctx);
  ctx.LogPrintf("Soubor interpretován a uzavřen.\n");
}

// An interruption (operator, window close, quit) is the cause whatever the
// interrupted command reported afterwards.
RunOutcome OutcomeOf(const ScriptContext& ctx, Flow ended) {
  if (!ctx.running) return RunOutcome::Interrupted;
  switch (ended) {
    case Flow::Fail:
      return ctx.timeLimit.endedRun ? RunOutcome::TimedOut : RunOutcome::Failed;
    case Flow::Cancel:
      return RunOutcome::Cancelled;
    default:
      return RunOutcome::Normal;
  }
}

}  // namespace

Flow CommandError(ScriptContext& ctx, const Bytes& box, const char* logLine) {
  ctx.ReportError(box);
  ctx.LogPrintf("%s", logLine);
  return Flow::Fail;
}

Flow MalformedCommand(ScriptContext& ctx, const Bytes& box, const char* what) {
  ctx.ReportError(box);
  ctx.LogPrintf("Špatný formát příkazu !\n%s\n", what);
  return Flow::Fail;
}

Flow SyntaxError(ScriptContext& ctx, const Bytes& box, const char* syntax) {
  return MalformedCommand(ctx, box, (Bytes("Syntaxe: ") + syntax).c_str());
}

Handler FindHandler(const Bytes& word) {
  for (const Command& command : kCommands) {
    if (word == command.keyword) return command.handler;
  }
  return nullptr;
}

Flow DispatchCommand(ScriptContext& ctx, const Bytes& word, Bytes& rest, ScriptFileStack& stack) {
  if (const Handler handler = FindHandler(word)) return handler(ctx, rest, stack);
  ctx.LogPrintf("Příkaz %s nerozpoznán, předčasně ukončuji interpretaci souboru.\n", word.c_str());
  ctx.SetLowerStatus("Příkaz nebyl rozpoznán");
  ctx.ReportError("Neznámý příkaz scriptu: " + word);
  return Flow::Fail;
}

void CheckCommandWord(LineCheck& lc, const Bytes& word, int column, Bytes& rest) {
  for (const Command& command : kCommands) {
    if (word == command.keyword) return command.check(lc, rest);
  }
  lc.Error(column, "Neznámý příkaz scriptu: " + word);
}

bool IsCommandWord(const Bytes& word) {
  for (const Command& command : kCommands) {
    if (word == command.keyword) return true;
  }
  return false;
}

std::vector<CommandKeyword> CommandKeywords() {
  std::vector<CommandKeyword> keywords;
  for (const Command& command : kCommands) {
    keywords.push_back({command.keyword, command.check != nullptr});
  }
  return keywords;
}

Flow ReadFailure(ScriptContext& ctx) {
  ctx.ReportError("Chyby čtení souboru, soubor nelze interpretovat až do konce");
  ctx.LogPrintf("Chyby při čtení souboru, soubor nelze dočíst do konce.\n");
  return Flow::Abandon;
}

Flow LineReadFailure(ScriptContext& ctx, ScriptText& file, ScriptText::Read read) {
  const int number = file.LineNumber();
  if (read == ScriptText::Read::NoCp1250Form) {
    ctx.ReportError(FormatText("Znak na řádce %d scriptu nemá podobu ve Windows-1250", number));
    ctx.LogPrintf(
        "Znak na řádce %d souboru %s nemá podobu ve Windows-1250, předčasně ukončuji "
        "interpretaci souboru.\n",
        number, file.FullPath().c_str());
    return Flow::Fail;
  }
  if (read == ScriptText::Read::NotUtf8) {
    ctx.ReportError(FormatText("Řádka %d scriptu není platný text v UTF-8", number));
    ctx.LogPrintf(
        "Řádka %d souboru %s není platný text v UTF-8, předčasně ukončuji interpretaci "
        "souboru.\n",
        number, file.FullPath().c_str());
    return Flow::Fail;
  }
  return ReadFailure(ctx);
}

void RunScript(ScriptContext& ctx, const Bytes& path) {
  ScriptFileStack stack;
  ctx.lastError = LastError();
  ctx.place = ScriptPlace{path, 0};
  std::unique_ptr<ScriptFile> main = ctx.host.files.OpenScript(path);
  if (!main) {
    ctx.ReportError("Nelze otevřít pro čtení soubor " + path);
    ctx.LogPrintf("Soubor %s nelze otevřít pro čtení.\n", path.c_str());
    ctx.lastOutcome = RunOutcome::NotOpened;
    return;
  }
  stack.Push(std::move(main));
  // Every run starts without a time limit.
  ctx.timeLimit = TimeLimit();
  ctx.LogPrintf("Interpretuji soubor %s\n", path.c_str());
  ctx.SetLowerStatus("Zahájena interpretace souboru " + path);

  Flow ended = Flow::Stop;
  Bytes line;
  Bytes word;
  bool testRunning = true;
  for (;;) {
    // After a failed IfDef the next line is read at once: nothing has been
    // dispatched since the last test, so the flag cannot have changed.
    if (testRunning && !ctx.running) break;
    testRunning = true;
    const ScriptText::Read read = stack.Top().ReadLine(line);
    ctx.place.file = stack.Top().FullPath();
    ctx.place.line = stack.Top().LineNumber();
    if (read == ScriptText::Read::Error) {
      ReadFailure(ctx);
      stack.CloseAll();
      ctx.lastOutcome = RunOutcome::Failed;
      return;
    }
    if (read == ScriptText::Read::NotUtf8 || read == ScriptText::Read::NoCp1250Form) {
      ended = LineReadFailure(ctx, stack.Top(), read);
      break;
    }
    if (read == ScriptText::Read::End) {
      if (stack.Depth() == 1) break;
      // The caller goes on after its Call line, without a pump.
      stack.Pop();
      continue;
    }
    ctx.SetUpperStatus(line);
    ctx.LogPrintf("$$ %s\n", line.c_str());
    if (!GetNextWord(line, word, true, false) || word[0] == '/') continue;
    const Flow flow = DispatchCommand(ctx, word, line, stack);
    if (flow == Flow::Next) {
      ctx.PumpWindowMessages();
    } else if (flow == Flow::NextNoPump) {
      testRunning = false;
    } else if (flow == Flow::Abandon) {
      // Abrupt return: the files close, nothing else of the end of run.
      stack.CloseAll();
      ctx.lastOutcome = RunOutcome::Failed;
      return;
    } else {
      ended = flow;
      break;
    }
  }
  ctx.lastOutcome = OutcomeOf(ctx, ended);
  EndOfRun(ctx, stack);
}

}  // namespace tv
