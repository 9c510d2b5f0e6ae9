#include "suite/report.h"

#include <cstdio>

#include "posix/charset.h"

namespace tv::suite {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One character at s[i]; a malformed or overlong sequence gives U+FFFD and
// moves on by one byte.
char32_t NextChar(const std::string& s, size_t& i) {
  char32_t c;
  if (DecodeUtf8(s, i, c)) return c;
  ++i;
  return kReplacement;
}

bool XmlAllows(char32_t c) {
  if (c < 0x20) return c == '\t' || c == '\n' || c == '\r';
  return c != 0xFFFE && c != 0xFFFF && !(c >= 0xD800 && c <= 0xDFFF) && c <= 0x10FFFF;
}

}  // namespace

std::string LogToUtf8(const std::string& log) {
  std::string out;
  out.reserve(log.size() + log.size() / 8);
  for (size_t i = 0; i < log.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(log[i]);
    if (b == '\r' && i + 1 < log.size() && log[i + 1] == '\n') continue;
    char32_t c = posix::Cp1250ToUnicode(b);
    if (!XmlAllows(c) || c == 0x7F) c = kReplacement;
    AppendUtf8(out, c);
  }
  return out;
}

std::string CleanUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = NextChar(text, i);
    if (!XmlAllows(c)) c = kReplacement;
    AppendUtf8(out, c);
  }
  return out;
}

std::string XmlEscape(const std::string& text, bool attribute) {
  const std::string clean = CleanUtf8(text);
  std::string out;
  out.reserve(clean.size() + clean.size() / 8);
  for (char ch : clean) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      case '\'':
        out += attribute ? "&apos;" : "'";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      // A bare CR would reach the reader as LF.
      case '\r':
        out += "&#13;";
        break;
      default:
        out.push_back(ch);
    }
  }
  return out;
}

std::string YamlQuote(const std::string& text) {
  const std::string clean = CleanUtf8(text);
  std::string out = "\"";
  for (char ch : clean) {
    switch (ch) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(ch);
    }
  }
  return out + "\"";
}

std::string FormatSeconds(double seconds, int decimals, bool comma) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, seconds < 0 ? 0.0 : seconds);
  std::string out = buf;
  if (comma) {
    for (char& ch : out) {
      if (ch == '.') ch = ',';
    }
  }
  return out;
}

}  // namespace tv::suite
