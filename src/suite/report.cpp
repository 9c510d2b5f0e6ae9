#include "suite/report.h"

#include <cstdio>

#include "posix/charset.h"

namespace tv::suite {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// One character at s[i]; a malformed or overlong sequence gives U+FFFD and
// moves on by one byte.
char32_t NextChar(const std::string& s, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  int more;
  char32_t c, min;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    more = 1, min = 0x80, c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    more = 2, min = 0x800, c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    more = 3, min = 0x10000, c = b0 & 0x07;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + static_cast<size_t>(more) >= s.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= more; ++k) {
    const unsigned char b = byte(i + static_cast<size_t>(k));
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += static_cast<size_t>(more) + 1;
  return c;
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
