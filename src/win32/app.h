// The application: starts Windows Sockets, runs the main window modally and
// ends the program when it has ended.
#pragma once

#include "win32/winapi.h"

namespace tv::win {

class CScriptApp {
 public:
  // The start-up routine; the program ends when it returns, with the exit
  // status it gives: 2 after an error in the command line (as the headless
  // program), 1 when Windows Sockets cannot start, otherwise 0.
  int InitInstance(HINSTANCE instance);
};

}  // namespace tv::win
