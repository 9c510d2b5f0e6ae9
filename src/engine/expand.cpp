#include "engine/expand.h"

#include <cstdio>

#include "engine/check.h"
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

namespace {

enum class Piece { Literal, LastLine, Other };

// Appends the pieces whose bytes are the same in every run: quoted strings
// and the words for control characters. The last line, counter values and
// character codes are left to the caller.
Piece ExpandLiteral(const Bytes& piece, Bytes& result) {
  if (piece[0] == '"') {
    size_t len = piece.size() - 1;
    if (len > 0 && piece.back() == '"') --len;
    result.append(piece, 1, len);
    return Piece::Literal;
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
    return Piece::LastLine;
  } else {
    return Piece::Other;
  }
  return Piece::Literal;
}

void ExpandCode(const Bytes& piece, Bytes& result) {
  int32_t code = 0;
  if (ParseNumber(piece, code)) result.push_back(static_cast<char>(code % 256));
}

}  // namespace

Bytes ExpandText(ScriptContext& ctx, const Bytes& text) {
  Bytes result;
  Bytes piece;
  size_t pos = 0;
  while (GetNextWord(text, pos, piece, false, false)) {
    const Piece kind = ExpandLiteral(piece, result);
    if (kind == Piece::Literal) continue;
    if (kind == Piece::LastLine) {
      result += ctx.lastLine;
    } else if (const int32_t* counter = ctx.counters.Find(piece, false)) {
      char number[16];
      std::snprintf(number, sizeof number, "%ld", static_cast<long>(*counter));
      result += number;
    } else {
      ExpandCode(piece, result);
    }
  }
  return result;
}

bool LiteralText(LineCheck& lc, const Bytes& rest, Bytes& text) {
  text.clear();
  bool literal = true;
  Bytes piece;
  size_t pos = 0;
  size_t end = 0;
  while (GetNextWord(rest, pos, piece, false, false, &end)) {
    // A string ends at the first quote after its opening one, and the
    // character after it is dropped: a doubled quote meant as one quote ends
    // the string instead.
    if (piece[0] == '"' && end < rest.size() && rest[end] == '"') {
      lc.Warning(lc.Column(rest.substr(end - 1)),
                 "Dvojice uvozovek \"\" uvnitř řetězce jej ukončí");
    }
    const Piece kind = ExpandLiteral(piece, text);
    if (kind == Piece::LastLine || (kind == Piece::Other && lc.MayBeCounter(piece))) {
      literal = false;
    } else if (kind == Piece::Other) {
      ExpandCode(piece, text);
    }
  }
  return literal;
}

}  // namespace tv
