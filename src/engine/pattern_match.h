// The matcher of patterns: runs a compiled program (pattern_compile.h) over a
// line in one pass, never backtracking. Its time is bounded by the line's
// length times the program's size, its memory and stack by the program.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/pattern_compile.h"

namespace tv::regex {

class Matcher {
 public:
  explicit Matcher(const Program& program);

  // The first match in len bytes at s as a backtracking ECMAScript matcher
  // would find it: leftmost, then by the priority of alternatives and
  // quantifiers. caps gets two positions per group, -1 where unset.
  bool Search(const unsigned char* s, size_t len, std::vector<int>& caps);

 private:
  // The threads at one position, in priority order, each waiting at an
  // instruction that reads a byte (or at Match).
  struct List {
    std::vector<int> pcs;
    std::vector<int> caps;  // slots per thread
    std::vector<unsigned> mark;
    unsigned generation = 1;
  };
  // A state to visit (pc >= 0, arg the innermost iterations that have
  // consumed nothing), or a slot to put back (pc = -1 - slot, arg its value).
  struct Frame {
    int pc;
    int arg;
  };

  void FindFirstBytes();
  void Clear(List& l);
  void Add(List& l, int pc, int empty, const int* caps, const unsigned char* s, size_t len,
           size_t pos);

  const Program& prog_;
  std::vector<int> base_;  // the first state of each instruction
  std::vector<int> span_;  // its states beyond the first
  bool flat_ = true;       // one state per instruction: no Enter in the program
  ByteSet first_;          // the bytes a match can begin with
  bool skips_ = false;     // no match is empty: positions without them are skipped
  std::vector<int> fresh_;
  List a_, b_;
  std::vector<int> work_;
  std::vector<Frame> stack_;
};

}  // namespace tv::regex
