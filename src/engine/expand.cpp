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

ExprNames::Kind RunNames::Find(const Bytes& name, int32_t& number, const Bytes*& text,
                               bool& known) {
  known = true;
  if (const int32_t* counter = ctx_->counters.Find(name, false)) {
    number = *counter;
    return Kind::Counter;
  }
  if (const Bytes* found = ctx_->texts.Find(name)) {
    text = found;
    return Kind::Text;
  }
  return Kind::None;
}

bool ExpandPieces(const Bytes& text, ExprNames& names, Bytes& result, bool& known, ExprError& error,
                  const std::function<void(size_t)>& doubledQuote) {
  result.clear();
  known = true;
  Bytes piece;
  size_t pos = 0;
  size_t end = 0;
  for (;;) {
    size_t start = pos;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
    if (!GetNextWord(text, pos, piece, false, false, &end)) break;
    // A string ends at the first quote after its opening one, and the
    // character after it is dropped: a doubled quote meant as one quote ends
    // the string instead.
    if (piece[0] == '"' && doubledQuote && end < text.size() && text[end] == '"') {
      doubledQuote(end - 1);
    }
    const Piece kind = ExpandLiteral(piece, result);
    if (kind == Piece::Literal) continue;
    if (kind == Piece::LastLine) {
      if (const Bytes* line = names.LastLine()) {
        result += *line;
      } else {
        known = false;
      }
      continue;
    }
    int32_t number = 0;
    const Bytes* value = nullptr;
    bool valueKnown = false;
    const ExprNames::Kind name = names.Find(piece, number, value, valueKnown);
    if (name != ExprNames::Kind::None) {
      if (!valueKnown) {
        known = false;
      } else if (name == ExprNames::Kind::Counter) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%ld", static_cast<long>(number));
        result += digits;
      } else {
        result += *value;
      }
      continue;
    }
    if (StartsTextItem(text, start)) {
      Expr item;
      size_t next = start;
      Bytes bytes;
      bool itemKnown = false;
      if (!item.ParseItem(text, start, &next, error) ||
          !item.EvaluateItem(names, bytes, itemKnown, error)) {
        return false;
      }
      if (itemKnown) {
        result += bytes;
      } else {
        known = false;
      }
      pos = next;
      continue;
    }
    ExpandCode(piece, result);
  }
  return true;
}

bool UsableTextName(const Bytes& name) {
  if (name.empty() || name[0] == '"' || name.find('(') != Bytes::npos) return false;
  int32_t number = 0;
  if (ParseNumber(name, number)) return false;
  Bytes ignored;
  return ExpandLiteral(name, ignored) == Piece::Other;
}

bool ExpandText(ScriptContext& ctx, const Bytes& text, Bytes& result, ExprError& error) {
  RunNames names(&ctx);
  bool known = true;
  return ExpandPieces(text, names, result, known, error);
}

}  // namespace tv
