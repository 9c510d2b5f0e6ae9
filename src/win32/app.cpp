#include "win32/app.h"

#include "app/mainwindow.h"
#include "win32/winapi.h"

#include "win32/files.h"
#include "win32/maindialog.h"
#include "win32/queue.h"
#include "win32/resource.h"
#include "win32/sockets.h"
#include "win32/text.h"

namespace tv::win {

int CScriptApp::InitInstance(HINSTANCE instance) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    wchar_t text[256] = L"";
    LoadStringW(instance, IDS_SOCKETS_FAILED, text, 256);
    MessageBoxW(nullptr, text, L"Tarvelin", MB_OK);
    return 1;
  }
  int status = 0;
  // The three-dimensional look of the controls is the system's own.
  {
    Win32Queue queue;
    WinSockets sockets;
    Win32Profile profile;
    Win32Files files;
    const Bytes commandLine = FromWide(ArgumentsAfterProgramName(GetCommandLineW()));
    CMainDialog dialog(instance, queue, sockets, profile, files, commandLine);
    dialog.DoModal();
    status = dialog.CommandLineFailed() ? 2 : ExitStatusOf(dialog.Context());
    // What is still queued is handled before the program ends; a quit
    // message stops this at once.
    queue.SetMainWindow(nullptr);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE)) {
      if (!queue.DispatchOne()) break;
    }
  }
  WSACleanup();
  return status;
}

}  // namespace tv::win

// One application object for the whole program.
static tv::win::CScriptApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return theApp.InitInstance(instance);
}
