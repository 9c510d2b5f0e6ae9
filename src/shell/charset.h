// Windows-1250, the program's one code page, and UTF-8: the table of the code
// page and the conversions both programs share.
#pragma once

#include <cstddef>

#include "host/host.h"

namespace tv {

// The Unicode code point of a Windows-1250 byte; 0xFFFD for the five bytes the
// code page leaves undefined.
char32_t Cp1250ToUnicode(unsigned char byte);

// The Windows-1250 byte of a code point; false when the code page has none.
bool UnicodeToCp1250(char32_t c, char& byte);

// Appends the UTF-8 bytes of a code point.
void AppendUtf8(std::string& out, char32_t c);

// Decodes one character at s[i] and moves i past it; false (i unchanged) when
// the bytes there are not a well-formed, shortest-form character.
bool DecodeUtf8(const std::string& s, size_t& i, char32_t& c);

enum class Utf8Conversion { Done, NotUtf8, NoCp1250Form };

// A whole UTF-8 text in Windows-1250. On a failure out holds the text up to
// the first character that failed.
Utf8Conversion Utf8ToCp1250(const std::string& utf8, Bytes& out);

}  // namespace tv
