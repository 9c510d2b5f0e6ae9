// The reader of patterns: ECMAScript syntax in bytes of the code page, read
// once from the left into a tree. It also measures the pattern as it reads
// it, so that one too deeply nested or too large for the matcher is refused
// before anything is built from it.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "host/host.h"

namespace tv::regex {

// The nesting of brackets a pattern may have, and the size of the automaton
// it may compile to, in the units the reader counts: each character, class
// or group end 1, a group 2 more, each *, + and ? 2, each | 1, a counted
// repetition {n,m} as max(n,m) copies of what it repeats.
constexpr int kMaxNesting = 32;
constexpr long kMaxWeight = 500;

extern const char kReasonTooLarge[];

using ByteSet = std::bitset<256>;

enum class Assertion : uint8_t { LineStart, LineEnd, WordBoundary, NotWordBoundary };

struct Node {
  enum class Kind : uint8_t { Empty, Char, Any, Set, Group, Concat, Alt, Repeat, Assert };
  Kind kind = Kind::Empty;
  Assertion assertion = Assertion::LineStart;
  bool greedy = true;  // Repeat
  uint32_t code = 0;   // Char: the code unit (above 255 it matches no byte)
  int set = 0;         // Set: index into Tree::sets
  int group = -1;      // Group: its number, -1 for (?:...)
  int min = 0;         // Repeat
  int max = 0;         // Repeat; -1: no limit
  std::vector<Node> kids;
};

struct Tree {
  Node root;
  std::vector<ByteSet> sets;  // the classes, already folded for (?i)
  int groups = 0;             // capturing groups, numbered from 1 by their "("
  bool icase = false;         // a Char that is an ASCII letter matches either case
};

// Reads text (the pattern without its "(?i)", which icase stands for).
// False with the reason (one Czech sentence) when it is not a pattern the
// matcher runs.
bool Parse(const Bytes& text, bool icase, Tree& tree, Bytes& reason);

}  // namespace tv::regex
