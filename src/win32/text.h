// Texts stay Windows-1250 bytes inside the program; everything shown in a
// window or used as a file name goes through UTF-16, so that Czech letters
// read right whatever code page the system runs with.
#pragma once

#include <string>

#include "host/host.h"

namespace tv::win {

constexpr unsigned kCzechCodePage = 1250;

std::wstring ToWide(const Bytes& text);
// Characters that Windows-1250 lacks become '?'.
Bytes FromWide(const std::wstring& text);
Bytes FromWide(const wchar_t* text);

// The part of a process command line after the program name, the way the C
// runtime cuts it for WinMain: a quoted name runs to the closing quote, an
// unquoted one to the first blank or control character; what follows up to
// the next character above the blank is skipped.
std::wstring ArgumentsAfterProgramName(const wchar_t* commandLine);

}  // namespace tv::win
