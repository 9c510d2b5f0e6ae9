#include "engine/expand.h"

#include <cstdio>

#include "engine/numbers.h"
#include "engine/tokenizer.h"

namespace tv {

static Bytes Lower(const Bytes& s) {
  Bytes out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

Bytes ExpandText(ScriptContext& ctx, Bytes text) {
  Bytes result;
  Bytes piece;
  size_t pos = 0;
  while (GetNextWord(text, pos, piece, false, false)) {
    if (piece[0] == '"') {
      size_t len = piece.size() - 1;
      if (len > 0 && piece.back() == '"') --len;
      result.append(piece, 1, len);
      continue;
    }
    const Bytes lower = Lower(piece);
    if (lower == "nl" || lower == "lf") {
      result.push_back('\n');
    } else if (lower == "cr") {
      result.push_back('\r');
    } else if (lower == "tab") {
      result.push_back('\t');
    } else if (lower == "esc") {
      result.push_back(27);
    } else if (lower == "line" || lower == "lastline") {
      result += ctx.lastLine;
    } else if (const int32_t* counter = ctx.counters.Find(piece, false)) {
      char number[16];
      std::snprintf(number, sizeof number, "%ld", static_cast<long>(*counter));
      result += number;
    } else {
      int32_t code = 0;
      if (ParseNumber(piece, code)) result.push_back(static_cast<char>(code % 256));
    }
  }
  return result;
}

}  // namespace tv
