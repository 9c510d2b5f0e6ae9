// Turns the rest of a command line into bytes: quoted strings, the words for
// control characters, the last line, counter values, text variables, the
// byte items (byte(e), hex(e), sub(t, i, n), ...) and character codes. The
// run and the checker expand with the same code over different names.
#pragma once

#include <functional>

#include "engine/expr.h"
#include "shell/context.h"

namespace tv {

// The names of a run: its counters, text variables and last line.
class RunNames : public ExprNames {
 public:
  explicit RunNames(ScriptContext* ctx) : ctx_(ctx) {}
  Kind Find(const Bytes& name, int32_t& number, const Bytes*& text, bool& known) override;
  const Bytes* LastLine() override { return &ctx_->lastLine; }

 private:
  ScriptContext* ctx_;
};

// Expands text with the values of names. known is false when some piece has
// a value that names does not know (then result lacks it). False with the
// error when an item is written wrongly or cannot be evaluated. doubledQuote,
// when given, hears of every string followed at once by a quote: a doubled
// quote meant as one quote ends the string instead (its offset in text).
bool ExpandPieces(const Bytes& text, ExprNames& names, Bytes& result, bool& known, ExprError& error,
                  const std::function<void(size_t)>& doubledQuote = {});

// Whether a text variable may have the name: a text would read it otherwise
// when it is one of the words for control characters or the last line, when
// it begins like a number or a string, or when it holds a parenthesis (the
// items of texts).
bool UsableTextName(const Bytes& name);

// The run's expansion.
bool ExpandText(ScriptContext& ctx, const Bytes& text, Bytes& result, ExprError& error);

}  // namespace tv
