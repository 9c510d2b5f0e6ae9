// Regular expressions of scripts: ECMAScript syntax, searched in a line, with
// "(?i)" at the start for ASCII letters in either case. One engine for
// WaitFor Matching, TestLine Matching and ParseLine.
//
// The match and the groups are ECMAScript's; the matcher never backtracks:
// one pass over the line, its time bounded by the line's length times the
// pattern's size, its stack by the pattern alone. Patterns it cannot run that
// way (back-references, lookahead) and patterns too large or too deeply
// nested are refused when they are compiled. The parts: pattern_parse.h,
// pattern_compile.h, pattern_match.h.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "host/host.h"

namespace tv {

class Pattern {
 public:
  struct Group {
    bool matched = false;  // false: the group took no part in the match
    Bytes text;
  };

  Pattern();
  ~Pattern();
  Pattern(Pattern&&) noexcept;
  Pattern& operator=(Pattern&&) noexcept;

  // False with the reason (one Czech sentence, no line end) when the text is
  // not a pattern the matcher runs.
  bool Compile(const Bytes& text, Bytes& reason);
  bool Compiled() const { return impl_ != nullptr; }
  // The number of capturing groups.
  size_t GroupCount() const;

  // Whether the pattern is found in len bytes at line.
  bool Search(const char* line, size_t len) const;
  // The same, with group 0 (the whole match) and every capturing group.
  bool Search(const char* line, size_t len, std::vector<Group>& groups) const;
  // Search without the literal test that runs before the matcher (for tests).
  bool SearchWithoutPrefilter(const char* line, size_t len) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tv
