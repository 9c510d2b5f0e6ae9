#include "posix/charset.h"

#include "shell/charset.h"

namespace tv::posix {

std::string ToUtf8ForDisplay(const Bytes& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if ((b < 0x20 && b != '\n' && b != '\t') || b == 0x7F) {
      out.push_back('?');
      continue;
    }
    AppendUtf8(out, Cp1250ToUnicode(b));
  }
  return out;
}

std::string FileNameToUtf8(const Bytes& name) {
  std::string out;
  out.reserve(name.size());
  for (char ch : name) {
    unsigned char b = static_cast<unsigned char>(ch);
    char32_t c = b < 0x80 ? b : Cp1250ToUnicode(b);
    if (c == 0xFFFD) {
      out.push_back(ch);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

Bytes FromUtf8(const std::string& utf8) {
  Bytes out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t c;
    if (!DecodeUtf8(utf8, i, c)) return utf8;
    char byte;
    out.push_back(UnicodeToCp1250(c, byte) ? byte : '?');
  }
  return out;
}

}  // namespace tv::posix
