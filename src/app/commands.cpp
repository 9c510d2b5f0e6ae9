#include "app/commands.h"

#include "engine/commands.h"
#include "net/commands.h"
#include "net/connection.h"
#include "operator/checkboxes.h"
#include "operator/commands.h"

namespace tv {

namespace {

// The end of a run removes the check boxes, then asks about a connection
// still open.
void AskAboutOpenConnection(ScriptContext& ctx) {
  if (ctx.connection) EndOfRunConnectionQuestion(ctx);
}

CommandTable MakeTable() {
  return CommandTable(
      {
          {"IFDEF", &kIfDef},
          {"IFNOTDEF", &kIfNotDef},
          {"IFNDEF", &kIfNotDef},
          {"GOTO", &kGoTo},
          {"LABEL", &kLabel},
          {"CALL", &kCall},
          {"RETURN", &kReturn},
          {"STOP", &kStop},
          {"END", &kEnd},
          {"COMMENT", &kComment},
          {"DEFINE", &kDefine},
          {"UNDEFINE", &kUndefine},
          {"SETCOUNTER", &kSetCounter},
          {"INCREMENTCOUNTER", &kIncrementCounter},
          {"TESTCOUNTER", &kTestCounter},
          {"TIMEOUT", &kTimeout},
          {"FAIL", &kFail},
          {"SETTEXT", &kSetText},
          {"CALC", &kCalc},
          {"TESTCALC", &kTestCalc},
          {"CONNECT", &kConnect},
          {"ACCEPT", &kAccept},
          {"DISCONNECT", &kDisconnect},
          {"SEND", &kSend},
          {"WAITFOR", &kWaitFor},
          {"RECEIVE", &kReceive},
          {"SKIPTO", &kSkipTo},
          {"TESTLINE", &kTestLine},
          {"PARSELINE", &kParseLine},
          {"STARTTLS", &kStartTls},
          {"OUTPUTFILE", &kOutputFile},
          {"CLOSEOUTPUT", &kCloseOutput},
          {"MESSAGE", &kMessage},
          {"QUESTION", &kQuestion},
          {"INPUT", &kInput},
          {"SHOWCHECKBOX", &kShowCheckBox},
          {"CHECKBOX", &kShowCheckBox},
          {"HIDECHECKBOX", &kHideCheckBox},
          {"DESTROYCHECKBOX", &kHideCheckBox},
          {"SETCHECK", &kSetCheck},
          {"SETCHECKBOX", &kSetCheck},
          {"TESTCHECK", &kTestCheck},
          {"CHECKED", &kTestCheck},
          {"WAITCHECK", &kWaitCheck},
          {"WAITFORCHECK", &kWaitCheck},
          {"WAIT", &kWait},
          {"SIGNALIZE", &kSignalize},
          {"SHOWWINDOW", &kShowWindow},
      },
      {DestroyAllCheckBoxes, AskAboutOpenConnection});
}

}  // namespace

const CommandTable& ScriptCommands() {
  static const CommandTable table = MakeTable();
  return table;
}

void RunScript(ScriptContext& ctx, const Bytes& path) {
  RunScript(ctx, path, ScriptCommands());
}

std::vector<CheckFinding> CheckScript(FileSystem& files, const Bytes& path,
                                      const CheckStart& start) {
  return CheckScript(files, path, ScriptCommands(), start);
}

}  // namespace tv
