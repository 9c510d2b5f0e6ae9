// Conversions between the program's Windows-1250 texts and the UTF-8 of the
// terminal and of the operator channel.
#pragma once

#include "host/host.h"
#include "shell/charset.h"

namespace tv::posix {

// Every byte becomes its character. Control characters other than LF and
// TAB are shown as '?', so a text from a script or a peer cannot steer the
// terminal; a CR right before an LF is dropped.
std::string ToUtf8ForDisplay(const Bytes& cp1250);

// UTF-8 to Windows-1250; a character the code page lacks becomes '?'. A text
// that is not valid UTF-8 is taken as Windows-1250 already and kept as it is.
Bytes FromUtf8(const std::string& utf8);

// A Windows-1250 file name as the Linux file system spells it: every byte
// above 127 becomes its UTF-8 character (the five undefined bytes stay as they
// are); nothing is replaced.
std::string FileNameToUtf8(const Bytes& cp1250);

using tv::Cp1250ToUnicode;

}  // namespace tv::posix
