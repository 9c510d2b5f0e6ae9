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
#include "posix/sockets.h"
#include "posix/window.h"

namespace tv::posix {

namespace {

int ExitStatus(const ScriptContext& ctx) {
  if (ctx.startupFailed) return 1;
  switch (ctx.lastOutcome) {
    case RunOutcome::None:
    case RunOutcome::Normal:
      return 0;
    case RunOutcome::TimedOut:
      return 3;
    default:
      return 1;
  }
}

}  // namespace

int RunProgram(const std::vector<std::string>& args) {
  // A peer that vanishes must never end the program.
  signal(SIGPIPE, SIG_IGN);
  // Nor a log or capture file that reaches the file-size limit: the write
  // then fails with EFBIG, and the file's own rules for a failed write apply.
  signal(SIGXFSZ, SIG_IGN);
  Console& console = Console::Stderr();

  const Bytes commandLine = RebuildCommandLine(args);
  if (args.empty() || NamesNothingToDo(commandLine)) {
    console.Print(UsageText());
    return 2;
  }

  PosixQueue queue;
  PosixSockets sockets(queue);
  OperatorChannel channel(STDIN_FILENO, queue, console);
  PosixWindow window(console, channel);
  IniProfile profile(DefaultProfilePath());
  PosixFileSystem files;
  ScriptContext ctx(Host{queue, sockets, window, profile, files});

  bool windowGone = false;
  queue.SetDispatch([&](const Msg& m) {
    if (m.id == WM_OPERATOR_CLICK) {
      Bytes mark = queue.TakeClickedMark(m.wParam);
      if (!windowGone) ClickCheckBox(ctx, mark);
    } else if (windowGone) {
      // The main window no longer exists: its messages go nowhere.
    } else if (m.id == WM_OPERATOR_INTERRUPT) {
      if (ctx.running) RunButtonClicked(ctx);
    } else {
      DispatchMainWindowMessage(ctx, m);
    }
  });
  queue.SetStallNote(
      [&console] { console.Print("Nic dalšího už nemůže přijít - zavírám okno.\n"); });

  if (!InitFromCommandLine(ctx, commandLine)) {
    console.Finish();
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
  return ExitStatus(ctx);
}

}  // namespace tv::posix
