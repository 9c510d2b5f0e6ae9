#include "engine/pattern_match.h"

#include <algorithm>

// A thread-list machine. Every position of the line is visited once; the
// threads there are kept in the order a backtracking matcher would try
// them, so the first thread to reach Match is the match that matcher would
// report. Two threads in the same state at the same position have the same
// future (the groups do not steer the match), so only the first is kept.
// The state is the instruction and, inside optional iterations that must
// consume something (Enter ... Check), how many of the innermost ones have
// consumed nothing yet: a thread whose iteration is still empty may not end
// it, another one may.

namespace tv::regex {

namespace {

// The instructions a thread waits at between positions: what comes after
// them does not depend on the iterations the thread is in.
bool Waits(Op op) {
  return op == Op::Byte || op == Op::Any || op == Op::Set || op == Op::Match;
}

bool IsWordByte(unsigned char b) {
  return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_';
}

}  // namespace

Matcher::Matcher(const Program& program) : prog_(program) {
  const size_t n = prog_.code.size();
  base_.resize(n);
  span_.resize(n);
  int states = 0;
  for (size_t pc = 0; pc < n; ++pc) {
    base_[pc] = states;
    span_[pc] = Waits(prog_.code[pc].op) ? 0 : prog_.depth[pc];
    states += span_[pc] + 1;
  }
  flat_ = states == static_cast<int>(n);
  for (List* l : {&a_, &b_}) {
    l->mark.assign(static_cast<size_t>(states), 0);
    l->pcs.reserve(n);
    l->caps.reserve(n * prog_.slots);
  }
  FindFirstBytes();
}

// The bytes a match can begin with, over every path from the start (the
// assertions taken as passed); none of that when a match can be empty.
void Matcher::FindFirstBytes() {
  std::vector<bool> seen(prog_.code.size(), false);
  std::vector<int> todo{0};
  skips_ = true;
  while (!todo.empty() && skips_) {
    const size_t pc = static_cast<size_t>(todo.back());
    todo.pop_back();
    if (seen[pc]) continue;
    seen[pc] = true;
    const Inst& in = prog_.code[pc];
    switch (in.op) {
      case Op::Byte:
        first_[in.c] = true;
        break;
      case Op::Any: {
        ByteSet any;
        any.set();
        any['\n'] = any['\r'] = false;
        first_ |= any;
        break;
      }
      case Op::Set:
        first_ |= prog_.sets[static_cast<size_t>(in.x)];
        break;
      case Op::Match:
        skips_ = false;
        break;
      case Op::Split:
        todo.push_back(in.y);
        todo.push_back(in.x);
        break;
      case Op::Jmp:
        todo.push_back(in.x);
        break;
      default:
        todo.push_back(static_cast<int>(pc + 1));
        break;
    }
  }
}

void Matcher::Clear(List& l) {
  l.pcs.clear();
  l.caps.clear();
  if (++l.generation == 0) {
    std::fill(l.mark.begin(), l.mark.end(), 0);
    l.generation = 1;
  }
}

bool Matcher::Search(const unsigned char* s, size_t len, std::vector<int>& caps) {
  const size_t slots = prog_.slots;
  List* cur = &a_;
  List* next = &b_;
  Clear(*cur);
  bool matched = false;
  fresh_.assign(slots, -1);
  for (size_t pos = 0;; ++pos) {
    if (!matched && (!prog_.anchored || pos == 0)) {
      // With no thread alive, a match can only begin at a byte it begins
      // with.
      if (cur->pcs.empty() && skips_ && !prog_.anchored) {
        while (pos < len && !first_[s[pos]]) ++pos;
        if (pos == len) break;
      }
      Add(*cur, 0, 0, fresh_.data(), s, len, pos);
    }
    if (cur->pcs.empty() && (matched || prog_.anchored || pos >= len)) break;
    Clear(*next);
    for (size_t t = 0; t < cur->pcs.size(); ++t) {
      const Inst& in = prog_.code[static_cast<size_t>(cur->pcs[t])];
      const int* tc = &cur->caps[t * slots];
      if (in.op == Op::Match) {
        caps.assign(tc, tc + slots);
        matched = true;
        break;  // the threads after this one have a lower priority
      }
      if (pos >= len) continue;
      const unsigned char b = s[pos];
      bool step = false;
      switch (in.op) {
        case Op::Byte:
          step = b == in.c;
          break;
        case Op::Any:
          step = b != '\n' && b != '\r';
          break;
        case Op::Set:
          step = prog_.sets[static_cast<size_t>(in.x)][b];
          break;
        default:
          break;
      }
      // Having consumed a byte, no iteration the thread is in is empty.
      if (step) Add(*next, cur->pcs[t] + 1, 0, tc, s, len, pos + 1);
    }
    std::swap(cur, next);
    if (pos >= len) break;
  }
  return matched;
}

// Follows the empty moves from pc at pos in priority order, with an explicit
// stack; each state enters the list once.
void Matcher::Add(List& l, int pc0, int empty0, const int* caps, const unsigned char* s, size_t len,
                  size_t pos) {
  const size_t slots = prog_.slots;
  work_.assign(caps, caps + slots);
  stack_.clear();
  stack_.push_back({pc0, empty0});
  const int at = static_cast<int>(pos);
  while (!stack_.empty()) {
    const Frame f = stack_.back();
    stack_.pop_back();
    if (f.pc < 0) {
      work_[static_cast<size_t>(-1 - f.pc)] = f.arg;
      continue;
    }
    const size_t pc = static_cast<size_t>(f.pc);
    const int empty = f.arg;
    const size_t state = flat_ ? pc : static_cast<size_t>(base_[pc] + std::min(empty, span_[pc]));
    if (l.mark[state] == l.generation) continue;
    l.mark[state] = l.generation;
    const Inst& in = prog_.code[pc];
    switch (in.op) {
      case Op::Jmp:
        stack_.push_back({in.x, empty});
        break;
      case Op::Split:
        stack_.push_back({in.y, empty});
        stack_.push_back({in.x, empty});
        break;
      case Op::Save:
        stack_.push_back({-1 - in.x, work_[static_cast<size_t>(in.x)]});
        work_[static_cast<size_t>(in.x)] = at;
        stack_.push_back({f.pc + 1, empty});
        break;
      case Op::Reset:
        for (int k = in.x; k < in.x + in.y; ++k) {
          stack_.push_back({-1 - k, work_[static_cast<size_t>(k)]});
          work_[static_cast<size_t>(k)] = -1;
        }
        stack_.push_back({f.pc + 1, empty});
        break;
      case Op::Enter:
        stack_.push_back({f.pc + 1, empty + 1});
        break;
      case Op::Check:
        if (empty == 0) stack_.push_back({f.pc + 1, 0});
        break;
      case Op::LineStart:
        if (pos == 0) stack_.push_back({f.pc + 1, empty});
        break;
      case Op::LineEnd:
        if (pos == len) stack_.push_back({f.pc + 1, empty});
        break;
      case Op::WordBoundary:
      case Op::NotWordBoundary: {
        const bool before = pos > 0 && IsWordByte(s[pos - 1]);
        const bool after = pos < len && IsWordByte(s[pos]);
        if ((before != after) == (in.op == Op::WordBoundary)) {
          stack_.push_back({f.pc + 1, empty});
        }
        break;
      }
      default:
        l.pcs.push_back(f.pc);
        l.caps.insert(l.caps.end(), work_.begin(), work_.end());
        break;
    }
  }
}

}  // namespace tv::regex
