// The system's message box, widened when its title would not fit beside the
// close button.
#pragma once

#include "win32/winapi.h"

#include <string>

namespace tv::win {

// MessageBoxW with the same arguments and result.
int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT type);

// The width a window needs for this title in its caption: the text in the
// caption font, the close button and the frame, with a little room.
int CaptionWidthFor(HWND window, const std::wstring& title);

}  // namespace tv::win
