// Integer expressions (Calc, TestCalc) and the byte items of texts (byte(e),
// hex(e), sub(t, i, n) ...). One parser and one evaluator serve the run and
// the checker: the run knows every value, the checker only which names some
// command of the checked files gives a counter or a text, so its values may
// be unknown, and then nothing that depends on them is judged.
//
// Values are signed 32-bit, as counters are. Arithmetic is exact: every
// literal and the result of every operation must lie in that range, or the
// evaluation fails; nothing wraps and nothing is clamped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/host.h"

namespace tv {

// What the names of expressions and texts stand for.
class ExprNames {
 public:
  enum class Kind { None, Counter, Text };
  virtual ~ExprNames() = default;
  // What name is. When the value is known, number (a counter) or text (a
  // text variable) is set and known is true.
  virtual Kind Find(const Bytes& name, int32_t& number, const Bytes*& text, bool& known) = 0;
  // The last line; null when it is not known.
  virtual const Bytes* LastLine() = 0;
  // The checker's names: a name that is neither is one that no command of the
  // checked files sets, which is said in other words than in the run.
  virtual bool Checking() const { return false; }
};

struct ExprError {
  size_t pos = 0;       // offset in the parsed text where the error lies
  bool syntax = false;  // the text is no expression (else: its value cannot be had)
  Bytes message;        // Czech, no full stop, no line end
};

// A value that may be unknown (in the checker).
struct ExprValue {
  bool known = false;
  int32_t value = 0;
};

class Expr {
 public:
  Expr();
  ~Expr();
  Expr(Expr&&) noexcept;
  Expr& operator=(Expr&&) noexcept;

  // The whole of text[begin, end) as one expression.
  bool Parse(const Bytes& text, size_t begin, size_t end, ExprError& error);
  // The item of a text that starts at text[begin] (a name and its
  // parenthesised arguments, as far as the matching parenthesis, blanks and
  // quoted strings inside); after it *next is where the text goes on. False
  // with the error when it is written wrongly.
  bool ParseItem(const Bytes& text, size_t begin, size_t* next, ExprError& error);

  bool Evaluate(ExprNames& names, ExprValue& result, ExprError& error) const;
  // An item's bytes; known false when they depend on an unknown value.
  bool EvaluateItem(ExprNames& names, Bytes& bytes, bool& known, ExprError& error) const;

  struct Node;

 private:
  std::vector<Node> nodes_;
  int root_ = -1;
};

// Whether the word begins an item of a text: the name of one (any case) and
// an opening parenthesis right behind it.
bool StartsTextItem(const Bytes& text, size_t pos);

}  // namespace tv
