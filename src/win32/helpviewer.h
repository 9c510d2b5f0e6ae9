// The program's own viewer for its help file TARVELIN.HLP, a plain
// Windows-1250 text: a window of its own that stays open beside the main
// window until the operator closes it.
#pragma once

#include "win32/winapi.h"

#include <string>

#include "host/host.h"

namespace tv::win {

constexpr wchar_t kHelpFileName[] = L"TARVELIN.HLP";

// Where the help file is: the current folder first, then the program's
// folder. Empty when it is in neither.
std::wstring FindHelpFile();

// The file's text ready for a multi-line edit: Windows-1250 turned into
// UTF-16 and every line end made CR LF.
std::wstring HelpTextForDisplay(const Bytes& fileBytes);

// Opens the viewer on the help file, or brings an open one to the front with
// the file read again. False when the file cannot be found or read.
bool ShowHelpViewer(HINSTANCE instance, HICON icon);

}  // namespace tv::win
