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

// An ASCII byte that XmlEscape copies as it is.
bool PlainAscii(unsigned char b, bool attribute) {
  if (b >= 0x80 || b == '&' || b == '<' || b == '>' || b == '\r') return false;
  if (b == '\n' || b == '\t' || b == '"' || b == '\'') return !attribute;
  return b >= 0x20;
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
  // CleanUtf8 and the references in one pass: most of a long output is
  // ASCII, taken a byte at a time.
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size();) {
    // A run of printable ASCII that needs no reference goes over whole.
    size_t plain = i;
    while (plain < text.size() && PlainAscii(static_cast<unsigned char>(text[plain]), attribute)) {
      ++plain;
    }
    if (plain > i) {
      out.append(text, i, plain - i);
      i = plain;
      continue;
    }
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x80) {
      const size_t start = i;
      char32_t c;
      if (!DecodeUtf8(text, i, c)) {
        ++i;
        c = kReplacement;
      } else if (XmlAllows(c)) {
        out.append(text, start, i - start);
        continue;
      }
      AppendUtf8(out, kReplacement);
      continue;
    }
    ++i;
    switch (b) {
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
        if (b < 0x20) {
          AppendUtf8(out, kReplacement);
        } else {
          out.push_back(static_cast<char>(b));
        }
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

std::string XmlTextStream::Put(const char* data, size_t size) {
  std::string text = held_;
  text.append(data, size);
  held_.clear();
  size_t keep = text.size();
  if (log_) {
    if (!text.empty() && text.back() == '\r') keep = text.size() - 1;
  } else {
    // The last byte that is not a continuation byte, when it leads a
    // sequence the text may not hold whole yet.
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
      const unsigned char b = static_cast<unsigned char>(text[text.size() - back]);
      if ((b & 0xC0) == 0x80) continue;
      if (b >= 0xC0) keep = text.size() - back;
      break;
    }
  }
  held_ = text.substr(keep);
  text.resize(keep);
  return XmlEscape(log_ ? LogToUtf8(text) : text, false);
}

std::string XmlTextStream::End() {
  std::string rest;
  rest.swap(held_);
  return XmlEscape(log_ ? LogToUtf8(rest) : rest, false);
}

}  // namespace tv::suite
