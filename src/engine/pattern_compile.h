// The compiler of patterns: the tree the reader built becomes a program for
// the matcher (pattern_match.h), with ECMAScript's rules for repeated groups
// written into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/pattern_parse.h"

namespace tv::regex {

// A cap on the program, far above what a pattern within kMaxWeight gives.
constexpr size_t kMaxInstructions = 20000;

enum class Op : uint8_t {
  Byte,   // c: one byte
  Any,    // any byte but CR and LF
  Set,    // x: one byte of a set
  Split,  // x first, then y
  Jmp,    // x
  Save,   // x: the slot the position goes to
  Reset,  // x: the first slot, y: how many; they become unset
  Enter,  // one more iteration of an optional repetition that may match nothing
  Check,  // that iteration has consumed something, or the path ends here
  LineStart,
  LineEnd,
  WordBoundary,
  NotWordBoundary,
  Match,
};

struct Inst {
  Op op = Op::Match;
  unsigned char c = 0;
  int x = 0;
  int y = 0;
};

struct Program {
  std::vector<Inst> code;
  std::vector<ByteSet> sets;
  // For each instruction, the iterations between an Enter and its Check it
  // lies in: the matcher's thread state there is the instruction and how
  // many of those iterations have consumed nothing yet.
  std::vector<uint8_t> depth;
  size_t slots = 2;       // two per group, group 0 the whole match
  bool anchored = false;  // tried at the line's start only
};

// False when the program would exceed kMaxInstructions.
bool Compile(const Tree& tree, Program& program);

}  // namespace tv::regex
