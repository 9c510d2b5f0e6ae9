#include "engine/pattern_compile.h"

#include <algorithm>

// Repetitions as ECMAScript defines them, in the program's terms:
// - Every iteration starts with the groups inside the repeated atom unset
//   (a Reset), so (?:(a)|b)+ on "ab" leaves group 1 unset.
// - An iteration beyond the minimum that consumes nothing fails; a
//   backtracking matcher would then try the path after it. Only atoms that
//   can match the empty text need the test: Enter starts such an iteration,
//   Check ends it.
// - A counted repetition {n,m} is n copies of its atom, then m-n optional
//   ones (or a loop for {n,}).

namespace tv::regex {

namespace {

bool Nullable(const Node& n) {
  switch (n.kind) {
    case Node::Kind::Char:
    case Node::Kind::Any:
    case Node::Kind::Set:
      return false;
    case Node::Kind::Empty:
    case Node::Kind::Assert:
      return true;
    case Node::Kind::Group:
      return Nullable(n.kids[0]);
    case Node::Kind::Concat:
      return std::all_of(n.kids.begin(), n.kids.end(), Nullable);
    case Node::Kind::Alt:
      return std::any_of(n.kids.begin(), n.kids.end(), Nullable);
    case Node::Kind::Repeat:
      return n.min == 0 || Nullable(n.kids[0]);
  }
  return true;
}

// The capturing groups in n: numbered in a row, as they open left to right.
void GroupsIn(const Node& n, int& first, int& last) {
  if (n.kind == Node::Kind::Group && n.group > 0) {
    if (first == 0) first = n.group;
    last = std::max(last, n.group);
  }
  for (const Node& k : n.kids) GroupsIn(k, first, last);
}

bool IsAsciiLetter(uint32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

class Emitter {
 public:
  Emitter(const Tree& tree, Program& prog) : tree_(tree), prog_(prog) {}

  bool Emit(const Node& n) {
    if (prog_.code.size() > kMaxInstructions) return false;
    switch (n.kind) {
      case Node::Kind::Empty:
        return true;
      case Node::Kind::Char:
        EmitChar(n.code);
        return true;
      case Node::Kind::Any:
        Add({Op::Any});
        return true;
      case Node::Kind::Set:
        Add({Op::Set, 0, n.set});
        return true;
      case Node::Kind::Assert:
        Add({AssertOp(n.assertion)});
        return true;
      case Node::Kind::Group:
        if (n.group >= 0) Add({Op::Save, 0, 2 * n.group});
        if (!Emit(n.kids[0])) return false;
        if (n.group >= 0) Add({Op::Save, 0, 2 * n.group + 1});
        return true;
      case Node::Kind::Concat:
        for (const Node& k : n.kids) {
          if (!Emit(k)) return false;
        }
        return true;
      case Node::Kind::Alt: {
        std::vector<size_t> jumps;
        for (size_t k = 0; k < n.kids.size(); ++k) {
          const bool last = k + 1 == n.kids.size();
          const size_t split = last ? 0 : Add({Op::Split});
          if (!Emit(n.kids[k])) return false;
          if (!last) {
            jumps.push_back(Add({Op::Jmp}));
            prog_.code[split].x = static_cast<int>(split + 1);
            prog_.code[split].y = static_cast<int>(prog_.code.size());
          }
        }
        for (size_t j : jumps) prog_.code[j].x = static_cast<int>(prog_.code.size());
        return true;
      }
      case Node::Kind::Repeat:
        return EmitRepeat(n);
    }
    return false;
  }

 private:
  static Op AssertOp(Assertion a) {
    switch (a) {
      case Assertion::LineStart:
        return Op::LineStart;
      case Assertion::LineEnd:
        return Op::LineEnd;
      case Assertion::WordBoundary:
        return Op::WordBoundary;
      default:
        return Op::NotWordBoundary;
    }
  }

  void EmitChar(uint32_t c) {
    if (c > 255 || (tree_.icase && IsAsciiLetter(c))) {
      // Above 255 nothing in a line of bytes matches: the empty set.
      ByteSet s;
      if (c <= 255) {
        s[c | 0x20] = true;
        s[c & ~0x20u] = true;
      }
      prog_.sets.push_back(s);
      Add({Op::Set, 0, static_cast<int>(prog_.sets.size() - 1)});
      return;
    }
    Add({Op::Byte, static_cast<unsigned char>(c)});
  }

  // One iteration of body; optional ones may not be empty.
  bool EmitIteration(const Node& body, bool optional, bool reset, bool nullable, int first,
                     int last) {
    const bool checked = optional && nullable;
    if (checked) {
      Add({Op::Enter});
      ++depth_;
    }
    if (reset && first > 0) Add({Op::Reset, 0, 2 * first, 2 * (last - first + 1)});
    if (!Emit(body)) return false;
    if (checked) {
      Add({Op::Check});
      --depth_;
    }
    return true;
  }

  bool EmitRepeat(const Node& n) {
    const Node& body = n.kids[0];
    const bool nullable = Nullable(body);
    int first = 0, last = 0;
    GroupsIn(body, first, last);
    int copies = 0;  // no reset before the first one: nothing in it is set yet
    for (; copies < n.min; ++copies) {
      if (!EmitIteration(body, false, copies > 0, nullable, first, last)) return false;
    }
    if (n.max == -1) {
      const size_t split = Add({Op::Split});
      if (!EmitIteration(body, true, true, nullable, first, last)) return false;
      Add({Op::Jmp, 0, static_cast<int>(split)});
      Choose(split, split + 1, prog_.code.size(), n.greedy);
      return true;
    }
    std::vector<size_t> splits;
    for (; copies < n.max; ++copies) {
      splits.push_back(Add({Op::Split}));
      if (!EmitIteration(body, true, copies > 0, nullable, first, last)) return false;
    }
    for (size_t s : splits) Choose(s, s + 1, prog_.code.size(), n.greedy);
    return true;
  }

  size_t Add(Inst inst) {
    prog_.code.push_back(inst);
    prog_.depth.push_back(static_cast<uint8_t>(depth_));
    return prog_.code.size() - 1;
  }

  void Choose(size_t split, size_t body, size_t out, bool greedy) {
    prog_.code[split].x = static_cast<int>(greedy ? body : out);
    prog_.code[split].y = static_cast<int>(greedy ? out : body);
  }

  const Tree& tree_;
  Program& prog_;
  int depth_ = 0;
};

bool StartsAnchored(const Node& root) {
  const Node* first = &root;
  if (root.kind == Node::Kind::Concat) {
    if (root.kids.empty()) return false;
    first = &root.kids[0];
  }
  return first->kind == Node::Kind::Assert && first->assertion == Assertion::LineStart;
}

}  // namespace

bool Compile(const Tree& tree, Program& program) {
  program = Program();
  program.sets = tree.sets;
  program.slots = 2 * (static_cast<size_t>(tree.groups) + 1);
  Emitter emitter(tree, program);
  // Group 0 around the root.
  program.code.push_back({Op::Save, 0, 0});
  program.depth.push_back(0);
  if (!emitter.Emit(tree.root)) return false;
  program.code.push_back({Op::Save, 0, 1});
  program.code.push_back({Op::Match});
  program.depth.push_back(0);
  program.depth.push_back(0);
  if (program.code.size() > kMaxInstructions) return false;
  program.anchored = StartsAnchored(tree.root);
  return true;
}

}  // namespace tv::regex
