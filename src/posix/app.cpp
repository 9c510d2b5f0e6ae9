#include "posix/app.h"

#include <signal.h>
#include <unistd.h>

#include "app/mainwindow.h"
#include "net/connection.h"
#include "operator/checkboxes.h"
#include "posix/cmdline.h"
#include "posix/console.h"
#include "posix/files.h"
#include "posix/operator.h"
#include "posix/profile.h"
#include "posix/queue.h"
#include "posix/result.h"
#include "posix/sockets.h"
#include "posix/window.h"

namespace tv::posix {

namespace {

// Why an interrupted run stopped, as the result file names it.
enum class StopReason { None, Operator, Stall, Window };

const char* OutcomeWord(const ScriptContext& ctx) {
  if (ctx.startupFailed) return "startup-failed";
  switch (ctx.lastOutcome) {
    case RunOutcome::None:
    case RunOutcome::Normal:
      return "normal";
    case RunOutcome::Failed:
      return "failed";
    case RunOutcome::Cancelled:
      return "cancelled";
    case RunOutcome::Interrupted:
      return "interrupted";
    case RunOutcome::NotOpened:
      return "not-opened";
    case RunOutcome::TimedOut:
      return "timed-out";
  }
  return "failed";
}

void WriteOutcome(ResultFile& result, const ScriptContext& ctx, StopReason stop, int status) {
  result.Write("outcome", OutcomeWord(ctx));
  if (ctx.lastOutcome == RunOutcome::Interrupted && !ctx.startupFailed) {
    result.Write("stop", stop == StopReason::Operator ? "operator"
                         : stop == StopReason::Stall  ? "stall"
                                                      : "window");
  }
  if (ctx.lastError.shown) {
    result.WriteText("box", ctx.lastError.text);
    if (!ctx.lastError.place.file.empty()) {
      result.WritePath("file", ctx.lastError.place.file);
      result.Write("line", std::to_string(ctx.lastError.place.line));
    }
  }
  result.Write("exit", std::to_string(status));
}

}  // namespace

int RunProgram(const std::vector<std::string>& args) {
  // A peer that vanishes must never end the program.
  signal(SIGPIPE, SIG_IGN);
  // Nor a log or capture file that reaches the file-size limit: the write
  // then fails with EFBIG, and the file's own rules for a failed write apply.
  signal(SIGXFSZ, SIG_IGN);
  Console& console = Console::Stderr();
  ResultFile result = ResultFile::FromEnvironment();

  const Bytes commandLine = RebuildCommandLine(args);
  if (args.empty() || NamesNothingToDo(commandLine)) {
    console.Print(UsageText());
    result.Write("outcome", "usage");
    result.Write("exit", "2");
    return 2;
  }

  PosixQueue queue;
  PosixSockets sockets(queue);
  OperatorChannel channel(STDIN_FILENO, queue, console);
  PosixWindow window(console, channel);
  IniProfile profile(DefaultProfilePath());
  PosixFileSystem files(&result);
  ScriptContext ctx(Host{queue, sockets, window, profile, files});

  bool windowGone = false;
  StopReason stop = StopReason::None;
  queue.SetDispatch([&](const Msg& m) {
    if (m.id == WM_OPERATOR_CLICK) {
      Bytes mark = queue.TakeClickedMark(m.wParam);
      if (!windowGone) ClickCheckBox(ctx, mark);
    } else if (windowGone) {
      // The main window no longer exists: its messages go nowhere.
    } else if (m.id == WM_OPERATOR_INTERRUPT) {
      if (ctx.running) {
        RunButtonClicked(ctx);
        if (!ctx.running && stop == StopReason::None) stop = StopReason::Operator;
      }
    } else {
      DispatchMainWindowMessage(ctx, m);
    }
  });
  queue.SetStallNote([&console, &stop] {
    console.Print("Nic dalšího už nemůže přijít - zavírám okno.\n");
    if (stop == StopReason::None) stop = StopReason::Stall;
  });

  if (!InitFromCommandLine(ctx, commandLine)) {
    console.Finish();
    result.Write("outcome", "arguments");
    result.WriteText("box", window.LastBoxText());
    result.Write("exit", "2");
    return 2;
  }
  PostAutomaticStart(ctx);

  // The main window's modal loop. A run is one long dispatch inside it; when
  // nothing is left to do, the operator's part is to close the window.
  while (!ctx.dialogEnded) {
    Msg first;
    if (!queue.Peek(first)) {
      if (ctx.running) {
        queue.WaitForMessage();
      } else {
        OnCancel(ctx);
      }
      continue;
    }
    if (!queue.DispatchOne()) break;  // the quit message ends the loop at once
  }
  windowGone = true;

  // What is still queued is processed as after the window has gone.
  while (queue.Pending() > 0) {
    if (!queue.DispatchOne()) break;
  }
  CloseConnection(ctx);
  window.StopSound();
  console.Finish();
  const int status = ExitStatusOf(ctx);
  WriteOutcome(result, ctx, stop, status);
  return status;
}

}  // namespace tv::posix
