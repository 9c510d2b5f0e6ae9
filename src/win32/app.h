// The application: starts Windows Sockets, runs the main window modally and
// ends the program when it has ended.
#pragma once

#include "win32/winapi.h"

namespace tv::win {

class CScriptApp {
 public:
  // The start-up routine; the program ends when it returns, with the exit
  // status it gives, the headless program's: 2 after an error in the command
  // line; after the last run 0 when it ended normally, 3 when a time limit
  // ended it, 1 after an error (Fail included), a Cancel, an interruption or
  // a script that could not be opened; without a run 1 when the start-up
  // connection failed, otherwise 0. 1 also when Windows Sockets cannot
  // start.
  int InitInstance(HINSTANCE instance);
};

}  // namespace tv::win
