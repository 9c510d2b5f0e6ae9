// The system's message box, widened when its title would not fit beside the
// close button and kept on the screen when its text holds a long path.
#pragma once

#include "win32/winapi.h"

#include <functional>
#include <string>

namespace tv::win {

// MessageBoxW with the same arguments and result. A word of the text too
// wide for the box to stay on the screen (a long path: the box breaks lines
// only between words) is shortened in the middle, see ShortenLongWords.
int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT type);

// The width of a text in pixels.
using TextWidth = std::function<int(const std::wstring&)>;

// A word no wider than limit, or the word with its middle replaced by "…":
// a path keeps its file name (from the last separator on) and as much of
// its start as fits; what is still too wide keeps its start and its end.
std::wstring ShortenInMiddle(const std::wstring& word, int limit, const TextWidth& width);

// The text with every word (what lies between blanks and line ends) wider
// than limit shortened by ShortenInMiddle.
std::wstring ShortenLongWords(const std::wstring& text, int limit, const TextWidth& width);

// The width a window needs for this title in its caption: the text in the
// caption font, the close button and the frame, with a little room.
int CaptionWidthFor(HWND window, const std::wstring& title);

}  // namespace tv::win
