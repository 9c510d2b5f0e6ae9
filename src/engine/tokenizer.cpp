#include "engine/tokenizer.h"

namespace tv {

static bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
static bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
static char Upper(char c, bool upperCase) {
  return (upperCase && c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

static char EscapeLetter(char e) {
  switch (e) {
    case 'b':
      return 7;
    case 'e':
      return 27;
    case 'f':
      return 12;
    case 'n':
      return 10;
    case 'r':
      return 13;
    case 't':
      return 9;
    default:
      return e;
  }
}

bool GetNextWord(const Bytes& line, size_t& pos, Bytes& word, bool upperCase, bool fileNameQuotes,
                 size_t* wordEnd) {
  const size_t n = line.size();
  size_t p = pos < n ? pos : n;
  while (p < n && IsBlank(line[p])) ++p;
  word.clear();
  if (p >= n || line[p] != '"') {
    size_t start = p;
    while (p < n && !IsBlank(line[p])) ++p;
    word.assign(line, start, p - start);
    if (upperCase) {
      for (char& c : word) c = Upper(c, true);
    }
  } else if (fileNameQuotes) {
    ++p;
    while (p < n) {
      if (line[p] == '"' && p + 1 < n && line[p + 1] == '"') {
        word.push_back('"');
        p += 2;
      } else if (line[p] == '"') {
        break;
      } else {
        word.push_back(line[p++]);
      }
    }
    if (p < n && line[p] == '"') ++p;
  } else {
    ++p;
    word.push_back('"');
    while (p < n) {
      char ch = line[p];
      if (ch == '\\' && p + 1 < n) {
        ++p;
        char e = line[p];
        if (IsDigit(e)) {
          int value = 0;
          for (int digits = 0; digits < 3 && p < n && IsDigit(line[p]); ++digits, ++p) {
            value = value * 10 + (line[p] - '0');
          }
          word.push_back(static_cast<char>(value % 256));
        } else {
          word.push_back(EscapeLetter(e));
          ++p;
        }
      } else if (ch == '\\') {
        word.push_back('\\');
        ++p;
      } else if (ch == '"') {
        break;
      } else {
        word.push_back(Upper(ch, upperCase));
        ++p;
      }
    }
    if (p < n && line[p] == '"') ++p;
    word.push_back('"');
  }
  if (wordEnd) *wordEnd = p;
  // The character that ended the word is dropped, whatever it is.
  pos = p + 1 < n ? p + 1 : n;
  return !word.empty();
}

bool GetNextWord(Bytes& line, Bytes& word, bool upperCase, bool fileNameQuotes) {
  size_t pos = 0;
  const bool got = GetNextWord(line, pos, word, upperCase, fileNameQuotes);
  line.erase(0, pos);
  return got;
}

}  // namespace tv
