// The application: starts Windows Sockets, runs the main window modally and
// ends the program when it has ended.
#pragma once

#include "win32/winapi.h"

namespace tv::win {

class CScriptApp {
 public:
  // The start-up routine; the program ends when it returns. Always false,
  // like a dialog-based application's start-up: there is no loop after it.
  bool InitInstance(HINSTANCE instance);
};

}  // namespace tv::win
