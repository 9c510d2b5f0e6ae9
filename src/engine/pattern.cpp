#include "engine/pattern.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <locale>
#include <regex>
#include <string_view>

// The standard library's compiler checks a pattern's syntax and names the
// error; the matching is done here. The library's default matcher
// backtracks: its recursion grows with the line and its time can grow
// exponentially (a 4096-byte line is enough to exhaust a stack or hang). Its
// breadth-first executor (regex_constants::__polynomial, which also refuses
// back-references) reports other groups than ECMAScript's. The thread-list
// machine below gives ECMAScript's match and groups in one pass over the line.
#ifndef __GLIBCXX__
#error "the syntax check of patterns needs libstdc++ (regex_constants::__polynomial)"
#endif

namespace tv {

namespace {

// A pattern is one script line, which may be long: its nesting and the size
// of the automaton it compiles to are bounded, so neither the compiler's
// recursion nor the executor's recursion over the automaton's empty moves can
// exhaust the stack, and one line costs at most about the line's length times
// this size.
constexpr int kMaxNesting = 32;
constexpr long kMaxWeight = 500;
constexpr size_t kMaxInstructions = 20000;

constexpr char kCaseInsensitive[] = "(?i)";

constexpr char kReasonBackReference[] =
    "Zpětné odkazy (\\1 až \\9) nejsou v regulárních výrazech podporovány.";
constexpr char kReasonLookahead[] = "Aserce (?= a (?! nejsou v regulárních výrazech podporovány.";
constexpr char kReasonGroupKind[] =
    "Konstrukce (? je v regulárním výrazu dovolena jen jako (?: a (?i) jen na jeho začátku.";
constexpr char kReasonNothingToRepeat[] = "Opakování v regulárním výrazu nemá co opakovat.";
constexpr char kReasonNesting[] =
    "Příliš hluboce vnořené závorky v regulárním výrazu (nejvýše 32 úrovní).";
constexpr char kReasonTooLarge[] = "Regulární výraz je příliš rozsáhlý.";
constexpr char kReasonUnknown[] = "Regulární výraz nelze přeložit.";

const char* ReasonOf(std::regex_constants::error_type code) {
  namespace rc = std::regex_constants;
  switch (code) {
    case rc::error_collate:
      return "Neplatný název znaku pro porovnávání v regulárním výrazu.";
    case rc::error_ctype:
      return "Neznámá třída znaků v regulárním výrazu.";
    case rc::error_escape:
      return "Neplatná sekvence se zpětným lomítkem v regulárním výrazu.";
    case rc::error_backref:
      return "Neplatný zpětný odkaz v regulárním výrazu.";
    case rc::error_brack:
      return "Neuzavřená hranatá závorka v regulárním výrazu.";
    case rc::error_paren:
      return "Nespárovaná kulatá závorka v regulárním výrazu.";
    case rc::error_brace:
      return "Nespárovaná složená závorka v regulárním výrazu.";
    case rc::error_badbrace:
      return "Neplatný počet opakování ve složených závorkách regulárního výrazu.";
    case rc::error_range:
      return "Neplatný rozsah znaků v regulárním výrazu.";
    case rc::error_badrepeat:
      return "Opakování v regulárním výrazu nemá co opakovat.";
    case rc::error_space:
    case rc::error_complexity:
    case rc::error_stack:
      return kReasonTooLarge;
    default:
      return kReasonUnknown;
  }
}

long Clamp(long w) {
  return std::min(w, kMaxWeight + 1);
}

// Reads the decimal digits at p[i...]; false when there are none.
bool ReadCount(const Bytes& p, size_t& i, long& value) {
  const size_t start = i;
  value = 0;
  while (i < p.size() && p[i] >= '0' && p[i] <= '9') {
    value = Clamp(value * 10 + (p[i] - '0'));
    ++i;
  }
  return i > start;
}

// Refuses what the executor cannot run in one pass, and patterns too deeply
// nested or too large. The size is an estimate of the compiled automaton's
// states: a counted repetition {n,m} copies its atom max(n,m) times. What is
// not valid syntax is left for the compiler to report.
bool CheckShape(const Bytes& p, Bytes& reason) {
  struct Frame {
    long total = 0;
    long last = 0;            // the weight of the last atom, for a quantifier after it
    bool repeatable = false;  // an atom is there for a quantifier
  };
  std::vector<Frame> frames(1);
  const size_t n = p.size();
  size_t i = 0;
  while (i < n) {
    Frame& f = frames.back();
    const char c = p[i];
    long atom = 1;
    if (c == '\\') {
      if (i + 1 < n && p[i + 1] >= '1' && p[i + 1] <= '9') {
        reason = kReasonBackReference;
        return false;
      }
      i += 2;
    } else if (c == '[') {
      ++i;
      if (i < n && p[i] == '^') ++i;
      while (i < n && p[i] != ']') i += p[i] == '\\' ? 2 : 1;
      ++i;
    } else if (c == '(') {
      if (i + 2 < n && p[i + 1] == '?' && (p[i + 2] == '=' || p[i + 2] == '!')) {
        reason = kReasonLookahead;
        return false;
      }
      if (i + 1 < n && p[i + 1] == '?' && (i + 2 >= n || p[i + 2] != ':')) {
        reason = kReasonGroupKind;
        return false;
      }
      if (static_cast<int>(frames.size()) > kMaxNesting) {
        reason = kReasonNesting;
        return false;
      }
      frames.emplace_back();
      i += p.compare(i, 3, "(?:") == 0 ? 3 : 1;
      continue;
    } else if (c == ')' && frames.size() > 1) {
      atom = Clamp(frames.back().total + 2);
      frames.pop_back();
      ++i;
    } else if ((c == '*' || c == '+' || c == '?' || c == '{') && !f.repeatable) {
      reason = kReasonNothingToRepeat;
      return false;
    } else if (c == '*' || c == '+' || c == '?') {
      f.repeatable = false;
      f.total = Clamp(f.total + 2);
      ++i;
      if (i < n && p[i] == '?') ++i;
      continue;
    } else if (c == '{') {
      size_t j = i + 1;
      long low = 0;
      long high = 0;
      if (ReadCount(p, j, low)) {
        high = low;
        if (j < n && p[j] == ',') {
          ++j;
          if (!ReadCount(p, j, high)) high = low + 1;
        }
        if (j < n && p[j] == '}') {
          const long copies = std::max(std::max(low, high), 1L);
          f.total = Clamp(f.total + f.last * (copies - 1) + 2);
          f.last = Clamp(f.last * copies);
          f.repeatable = false;
          i = j + 1;
          if (i < n && p[i] == '?') ++i;
          if (f.total > kMaxWeight) break;
          continue;
        }
        // Refused here: the library's compiler would read the count on
        // without a bound.
        reason = ReasonOf(std::regex_constants::error_brace);
        return false;
      }
      ++i;
    } else if (c == '|') {
      f.total = Clamp(f.total + 1);
      f.last = 0;
      f.repeatable = false;
      ++i;
      continue;
    } else {
      ++i;
    }
    Frame& g = frames.back();
    g.total = Clamp(g.total + atom);
    g.last = atom;
    g.repeatable = true;
    if (g.total > kMaxWeight) break;
  }
  long total = 0;
  for (const Frame& f : frames) total = Clamp(total + f.total);
  if (total > kMaxWeight) {
    reason = kReasonTooLarge;
    return false;
  }
  return true;
}

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualFolded(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// What a line must hold for the pattern to match, read from the pattern's
// start: an optional ^, then plain characters up to the first construct that
// is anything else. A pattern made only of that (with an optional $ at its
// end) needs no matcher at all.
struct Literal {
  Bytes text;
  bool atStart = false;  // the text must begin the line
  bool atEnd = false;    // ... and end it (only in a whole literal)
  bool whole = false;    // the pattern is the literal and nothing else
  bool useful = false;   // there is a test to make
};

bool HasTopLevelAlternative(const Bytes& p) {
  int depth = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      ++i;
      if (i < p.size() && p[i] == '^') ++i;
      while (i < p.size() && p[i] != ']') i += p[i] == '\\' ? 2 : 1;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (c == '|' && depth == 0) {
      return true;
    }
  }
  return false;
}

bool IsQuantifier(char c) {
  return c == '*' || c == '+' || c == '?' || c == '{';
}

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

Literal ReadLiteral(const Bytes& p) {
  Literal lit;
  if (HasTopLevelAlternative(p)) return lit;
  const size_t n = p.size();
  size_t i = 0;
  if (n > 0 && p[0] == '^') {
    lit.atStart = true;
    i = 1;
  }
  bool whole = true;
  while (i < n) {
    char c = p[i];
    size_t next = i + 1;
    if (c == '\\') {
      if (i + 1 >= n) {
        whole = false;
        break;
      }
      const char e = p[i + 1];
      next = i + 2;
      if (e == 'n') {
        c = '\n';
      } else if (e == 'r') {
        c = '\r';
      } else if (e == 't') {
        c = '\t';
      } else if (e == 'f') {
        c = '\f';
      } else if (e == 'v') {
        c = '\v';
      } else if (!IsAsciiAlnum(e)) {
        c = e;
      } else {
        whole = false;
        break;
      }
    } else if (c == '$' && next == n) {
      lit.atEnd = true;
      break;
    } else if (std::strchr("^$.*+?()[]{}|", c)) {
      whole = false;
      break;
    }
    // A quantified character may be absent or repeated: the literal ends
    // before it.
    if (next < n && IsQuantifier(p[next])) {
      whole = false;
      break;
    }
    lit.text.push_back(c);
    i = next;
  }
  lit.whole = whole;
  if (!whole) lit.atEnd = false;
  lit.useful = whole || !lit.text.empty();
  return lit;
}

// Whether the line passes the literal test (for a whole literal: whether it
// matches).
bool PassesLiteral(const Literal& lit, bool icase, const char* line, size_t len) {
  const size_t k = lit.text.size();
  if (k > len) return false;
  const char* t = lit.text.data();
  auto equal = [&](const char* at) {
    return icase ? EqualFolded(at, t, k) : std::memcmp(at, t, k) == 0;
  };
  if (lit.atStart && lit.atEnd) return k == len && equal(line);
  if (lit.atStart) return equal(line);
  if (lit.atEnd) return equal(line + len - k);
  if (k == 0) return true;
  if (!icase)
    return std::string_view(line, len).find(std::string_view(t, k)) != std::string_view::npos;
  for (size_t at = 0; at + k <= len; ++at) {
    if (equal(line + at)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- the matcher

// The pattern compiles to a program for a thread-list machine: every
// position of the line is visited once, with at most one thread per
// instruction, kept in the order a backtracking matcher would try them, so
// the first thread to reach Match is the match that matcher would report
// (leftmost, then by the priority of alternatives and quantifiers).
enum class Op : uint8_t { Char, Any, Class, Split, Jmp, Save, Bol, Eol, WordB, NotWordB, Match };

struct Inst {
  Op op;
  unsigned char c = 0;
  int x = 0;  // Split: first choice; Jmp: target; Save: slot; Class: set
  int y = 0;  // Split: second choice
};

using ByteSet = std::bitset<256>;

struct Node {
  enum Kind { Empty, Char, Any, Class, Group, Concat, Alt, Repeat, Assert } kind = Empty;
  unsigned char c = 0;
  int set = 0;           // Class
  int group = -1;        // Group: its number, -1 for (?:...)
  int min = 0, max = 0;  // Repeat; max -1: no limit
  bool greedy = true;
  Op assertion = Op::Bol;
  std::vector<Node> kids;
};

class Parser {
 public:
  Parser(const Bytes& p, bool icase, std::vector<ByteSet>& sets)
      : p_(p), icase_(icase), sets_(sets) {}

  bool Parse(Node& root) {
    if (!Alternation(root, 0) || i_ != p_.size()) return false;
    return true;
  }
  int Groups() const { return groups_; }

 private:
  bool More() const { return i_ < p_.size(); }
  char Peek() const { return p_[i_]; }

  bool Alternation(Node& out, int depth) {
    if (depth > kMaxNesting + 1) return false;
    Node alt;
    alt.kind = Node::Alt;
    for (;;) {
      Node seq;
      seq.kind = Node::Concat;
      while (More() && Peek() != '|' && Peek() != ')') {
        Node term;
        if (!Term(term, depth)) return false;
        seq.kids.push_back(std::move(term));
      }
      alt.kids.push_back(std::move(seq));
      if (!More() || Peek() != '|') break;
      ++i_;
    }
    out = alt.kids.size() == 1 ? std::move(alt.kids[0]) : std::move(alt);
    return true;
  }

  bool ReadInt(int& v) {
    const size_t start = i_;
    long value = 0;
    while (More() && Peek() >= '0' && Peek() <= '9') {
      value = std::min(value * 10 + (Peek() - '0'), 100000L);
      ++i_;
    }
    v = static_cast<int>(value);
    return i_ > start;
  }

  bool Term(Node& out, int depth) {
    Node atom;
    if (!Atom(atom, depth)) return false;
    while (More()) {
      int lo = 0, hi = 0;
      const char q = Peek();
      if (q == '*') {
        lo = 0, hi = -1;
        ++i_;
      } else if (q == '+') {
        lo = 1, hi = -1;
        ++i_;
      } else if (q == '?') {
        lo = 0, hi = 1;
        ++i_;
      } else if (q == '{') {
        ++i_;
        if (!ReadInt(lo)) return false;
        hi = lo;
        if (More() && Peek() == ',') {
          ++i_;
          if (!ReadInt(hi)) hi = -1;
        }
        if (!More() || Peek() != '}') return false;
        ++i_;
        if (hi != -1 && hi < lo) return false;
      } else {
        break;
      }
      Node rep;
      rep.kind = Node::Repeat;
      rep.min = lo;
      rep.max = hi;
      if (More() && Peek() == '?') {
        rep.greedy = false;
        ++i_;
      }
      rep.kids.push_back(std::move(atom));
      atom = std::move(rep);
    }
    out = std::move(atom);
    return true;
  }

  int NewSet(const ByteSet& s) {
    sets_.push_back(s);
    return static_cast<int>(sets_.size() - 1);
  }

  static ByteSet ClassOf(char e) {
    ByteSet s;
    for (int b = 0; b < 256; ++b) {
      const bool digit = b >= '0' && b <= '9';
      const bool word = digit || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_';
      const bool space = b == ' ' || (b >= 9 && b <= 13);
      switch (e) {
        case 'd':
          s[b] = digit;
          break;
        case 'D':
          s[b] = !digit;
          break;
        case 'w':
          s[b] = word;
          break;
        case 'W':
          s[b] = !word;
          break;
        case 's':
          s[b] = space;
          break;
        case 'S':
          s[b] = !space;
          break;
      }
    }
    return s;
  }

  static int Hex(char h) {
    if (h >= '0' && h <= '9') return h - '0';
    if (h >= 'a' && h <= 'f') return h - 'a' + 10;
    if (h >= 'A' && h <= 'F') return h - 'A' + 10;
    return -1;
  }

  // The byte an escape stands for (after the backslash); false for a class
  // or an assertion, or a malformed escape. Code points above 255 give 256.
  bool EscapedByte(int& value) {
    const char e = p_[i_++];
    switch (e) {
      case 'n':
        value = '\n';
        return true;
      case 'r':
        value = '\r';
        return true;
      case 't':
        value = '\t';
        return true;
      case 'f':
        value = '\f';
        return true;
      case 'v':
        value = '\v';
        return true;
      case '0':
        value = 0;
        return true;
      case 'c':
        if (!More()) return false;
        value = static_cast<unsigned char>(p_[i_++]) % 32;
        return true;
      case 'x':
      case 'u': {
        const int digits = e == 'x' ? 2 : 4;
        value = 0;
        for (int k = 0; k < digits; ++k) {
          if (!More() || Hex(Peek()) < 0) return false;
          value = value * 16 + Hex(p_[i_++]);
        }
        if (value > 255) value = 256;
        return true;
      }
      default:
        value = static_cast<unsigned char>(e);
        return true;
    }
  }

  void AddFolded(ByteSet& s, int b) {
    s[static_cast<size_t>(b)] = true;
    // NOLINTBEGIN(bugprone-misplaced-widening-cast): b is a byte, the sum one too
    if (icase_ && b >= 'a' && b <= 'z') s[static_cast<size_t>(b - 'a' + 'A')] = true;
    if (icase_ && b >= 'A' && b <= 'Z') s[static_cast<size_t>(b - 'A' + 'a')] = true;
    // NOLINTEND(bugprone-misplaced-widening-cast)
  }

  bool PosixClass(ByteSet& s) {
    // [:name:]
    const size_t end = p_.find(":]", i_ + 2);
    if (end == Bytes::npos) return false;
    const Bytes name = p_.substr(i_ + 2, end - i_ - 2);
    i_ = end + 2;
    for (int b = 0; b < 128; ++b) {
      const bool upper = b >= 'A' && b <= 'Z', lower = b >= 'a' && b <= 'z';
      const bool digit = b >= '0' && b <= '9', alpha = upper || lower;
      const bool space = b == ' ' || (b >= 9 && b <= 13), cntrl = b < 32 || b == 127;
      const bool print = b >= 32 && b<127, graph = b> 32 && b < 127;
      bool in;
      if (name == "alpha")
        in = alpha;
      else if (name == "digit" || name == "d")
        in = digit;
      else if (name == "alnum")
        in = alpha || digit;
      else if (name == "upper")
        in = upper || (icase_ && lower);
      else if (name == "lower")
        in = lower || (icase_ && upper);
      else if (name == "space" || name == "s")
        in = space;
      else if (name == "blank")
        in = b == ' ' || b == '\t';
      else if (name == "cntrl")
        in = cntrl;
      else if (name == "print")
        in = print;
      else if (name == "graph")
        in = graph;
      else if (name == "punct")
        in = graph && !alpha && !digit;
      else if (name == "xdigit")
        in = digit || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
      else if (name == "w")
        in = alpha || digit || b == '_';
      else
        return false;
      if (in) s[static_cast<size_t>(b)] = true;
    }
    return true;
  }

  bool Bracket(Node& out) {
    ByteSet s;
    bool negate = false;
    if (More() && Peek() == '^') {
      negate = true;
      ++i_;
    }
    while (More() && Peek() != ']') {
      int lo;
      if (Peek() == '[' && i_ + 1 < p_.size() && p_[i_ + 1] == ':') {
        if (!PosixClass(s)) return false;
        continue;
      }
      if (Peek() == '[' && i_ + 1 < p_.size() && (p_[i_ + 1] == '.' || p_[i_ + 1] == '=')) {
        return false;
      }
      if (Peek() == '\\') {
        ++i_;
        if (!More()) return false;
        const char e = Peek();
        if (std::strchr("dDwWsS", e)) {
          ++i_;
          s |= ClassOf(e);
          continue;
        }
        if (e == 'b') {
          ++i_;
          lo = 8;
        } else if (!EscapedByte(lo)) {
          return false;
        }
      } else {
        lo = static_cast<unsigned char>(p_[i_++]);
      }
      if (More() && Peek() == '-' && i_ + 1 < p_.size() && p_[i_ + 1] != ']') {
        ++i_;
        int hi;
        if (Peek() == '\\') {
          ++i_;
          if (!More() || std::strchr("dDwWsS", Peek())) return false;
          if (Peek() == 'b') {
            ++i_;
            hi = 8;
          } else if (!EscapedByte(hi)) {
            return false;
          }
        } else if (Peek() == '[') {
          return false;
        } else {
          hi = static_cast<unsigned char>(p_[i_++]);
        }
        if (lo > 255 || hi > 255) return false;
        // Bytes compare as signed chars, as the syntax check compares them.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): meant, for the reason above
        const int slo = static_cast<signed char>(lo), shi = static_cast<signed char>(hi);
        if (slo > shi) return false;
        for (int b = slo; b <= shi; ++b) AddFolded(s, static_cast<unsigned char>(b));
      } else if (lo <= 255) {
        AddFolded(s, lo);
      }
    }
    if (!More()) return false;
    ++i_;  // ]
    if (negate) s.flip();
    out.kind = Node::Class;
    out.set = NewSet(s);
    return true;
  }

  void LiteralNode(Node& out, int b) {
    if (b > 255) {
      out.kind = Node::Class;
      out.set = NewSet(ByteSet());
      return;
    }
    const bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
    if (icase_ && letter) {
      ByteSet s;
      AddFolded(s, b);
      out.kind = Node::Class;
      out.set = NewSet(s);
      return;
    }
    out.kind = Node::Char;
    out.c = static_cast<unsigned char>(b);
  }

  bool Atom(Node& out, int depth) {
    const char c = p_[i_++];
    switch (c) {
      case '(': {
        Node group;
        group.kind = Node::Group;
        if (p_.compare(i_, 2, "?:") == 0) {
          i_ += 2;
        } else {
          group.group = ++groups_;
        }
        Node inner;
        if (!Alternation(inner, depth + 1)) return false;
        if (!More() || Peek() != ')') return false;
        ++i_;
        group.kids.push_back(std::move(inner));
        out = std::move(group);
        return true;
      }
      case '[':
        return Bracket(out);
      case '.': {
        out.kind = Node::Any;
        return true;
      }
      case '^':
        out.kind = Node::Assert;
        out.assertion = Op::Bol;
        return true;
      case '$':
        out.kind = Node::Assert;
        out.assertion = Op::Eol;
        return true;
      case '*':
      case '+':
      case '?':
      case '{':
      case ')':
        return false;
      case '\\': {
        if (!More()) return false;
        const char e = Peek();
        if (std::strchr("dDwWsS", e)) {
          ++i_;
          out.kind = Node::Class;
          ByteSet s = ClassOf(e);
          out.set = NewSet(s);
          return true;
        }
        if (e == 'b' || e == 'B') {
          ++i_;
          out.kind = Node::Assert;
          out.assertion = e == 'b' ? Op::WordB : Op::NotWordB;
          return true;
        }
        int b;
        if (!EscapedByte(b)) return false;
        LiteralNode(out, b);
        return true;
      }
      default:
        LiteralNode(out, static_cast<unsigned char>(c));
        return true;
    }
  }

  const Bytes& p_;
  bool icase_;
  std::vector<ByteSet>& sets_;
  size_t i_ = 0;
  int groups_ = 0;
};

class Emitter {
 public:
  explicit Emitter(std::vector<Inst>& prog) : prog_(prog) {}

  bool Emit(const Node& n) {
    if (prog_.size() > kMaxInstructions) return false;
    switch (n.kind) {
      case Node::Empty:
        return true;
      case Node::Char:
        Add({Op::Char, n.c});
        return true;
      case Node::Any:
        Add({Op::Any});
        return true;
      case Node::Class:
        Add({Op::Class, 0, n.set});
        return true;
      case Node::Assert:
        Add({n.assertion});
        return true;
      case Node::Group:
        if (n.group >= 0) Add({Op::Save, 0, 2 * n.group});
        if (!Emit(n.kids[0])) return false;
        if (n.group >= 0) Add({Op::Save, 0, 2 * n.group + 1});
        return true;
      case Node::Concat:
        for (const Node& k : n.kids) {
          if (!Emit(k)) return false;
        }
        return true;
      case Node::Alt: {
        std::vector<size_t> jumps;
        for (size_t k = 0; k < n.kids.size(); ++k) {
          size_t split = 0;
          if (k + 1 < n.kids.size()) split = Add({Op::Split});
          if (!Emit(n.kids[k])) return false;
          if (k + 1 < n.kids.size()) {
            jumps.push_back(Add({Op::Jmp}));
            prog_[split].x = static_cast<int>(split + 1);
            prog_[split].y = static_cast<int>(prog_.size());
          }
        }
        for (size_t j : jumps) prog_[j].x = static_cast<int>(prog_.size());
        return true;
      }
      case Node::Repeat: {
        const Node& body = n.kids[0];
        for (int k = 0; k < n.min; ++k) {
          if (!Emit(body)) return false;
        }
        if (n.max == -1) {
          const size_t split = Add({Op::Split});
          if (!Emit(body)) return false;
          Add({Op::Jmp, 0, static_cast<int>(split)});
          Choose(split, split + 1, prog_.size(), n.greedy);
          return true;
        }
        std::vector<size_t> splits;
        for (int k = n.min; k < n.max; ++k) {
          splits.push_back(Add({Op::Split}));
          if (!Emit(body)) return false;
        }
        for (size_t s : splits) Choose(s, s + 1, prog_.size(), n.greedy);
        return true;
      }
    }
    return false;
  }

 private:
  size_t Add(Inst inst) {
    prog_.push_back(inst);
    return prog_.size() - 1;
  }
  void Choose(size_t split, size_t body, size_t out, bool greedy) {
    prog_[split].x = static_cast<int>(greedy ? body : out);
    prog_[split].y = static_cast<int>(greedy ? out : body);
  }

  std::vector<Inst>& prog_;
};

bool IsWordByte(unsigned char b) {
  return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_';
}

// The thread lists of one search.
class Machine {
 public:
  Machine(const std::vector<Inst>& prog, const std::vector<ByteSet>& sets, size_t slots)
      : prog_(prog), sets_(sets), slots_(slots) {
    for (List* l : {&a_, &b_}) {
      l->mark.assign(prog.size(), 0);
      l->pcs.reserve(prog.size());
      l->caps.reserve(prog.size() * slots);
    }
  }

  // Fills caps (2 slots a group, -1 where unset) from the first match.
  bool Search(const unsigned char* s, size_t len, bool anchored, std::vector<int>& caps) {
    List* cur = &a_;
    List* next = &b_;
    Clear(*cur);
    bool matched = false;
    std::vector<int> fresh(slots_, -1);
    for (size_t pos = 0;; ++pos) {
      if (!matched && (!anchored || pos == 0)) Add(*cur, 0, fresh.data(), s, len, pos);
      if (cur->pcs.empty() && (matched || anchored || pos >= len)) break;
      Clear(*next);
      for (size_t t = 0; t < cur->pcs.size(); ++t) {
        const Inst& in = prog_[static_cast<size_t>(cur->pcs[t])];
        const int* tc = &cur->caps[t * slots_];
        if (in.op == Op::Match) {
          caps.assign(tc, tc + slots_);
          matched = true;
          break;  // the threads after this one have a lower priority
        }
        if (pos >= len) continue;
        const unsigned char b = s[pos];
        bool step = false;
        switch (in.op) {
          case Op::Char:
            step = b == in.c;
            break;
          case Op::Any:
            step = b != '\n' && b != '\r';
            break;
          case Op::Class:
            step = sets_[static_cast<size_t>(in.x)][b];
            break;
          default:
            break;
        }
        if (step) Add(*next, cur->pcs[t] + 1, tc, s, len, pos + 1);
      }
      std::swap(cur, next);
      if (pos >= len) break;
    }
    return matched;
  }

 private:
  struct List {
    std::vector<int> pcs;
    std::vector<int> caps;
    std::vector<unsigned> mark;
    unsigned generation = 1;
  };
  struct Frame {
    int pc;
    int slot;  // >= 0: restore this slot to value instead
    int value;
  };

  void Clear(List& l) {
    l.pcs.clear();
    l.caps.clear();
    if (++l.generation == 0) {
      std::fill(l.mark.begin(), l.mark.end(), 0);
      l.generation = 1;
    }
  }

  // Follows the empty moves from pc at pos, in priority order, without
  // recursion; each instruction enters the list once.
  void Add(List& l, int pc0, const int* caps, const unsigned char* s, size_t len, size_t pos) {
    work_.assign(caps, caps + slots_);
    stack_.clear();
    stack_.push_back({pc0, -1, 0});
    while (!stack_.empty()) {
      const Frame f = stack_.back();
      stack_.pop_back();
      if (f.slot >= 0) {
        work_[static_cast<size_t>(f.slot)] = f.value;
        continue;
      }
      const size_t pc = static_cast<size_t>(f.pc);
      if (l.mark[pc] == l.generation) continue;
      l.mark[pc] = l.generation;
      const Inst& in = prog_[pc];
      switch (in.op) {
        case Op::Jmp:
          stack_.push_back({in.x, -1, 0});
          break;
        case Op::Split:
          stack_.push_back({in.y, -1, 0});
          stack_.push_back({in.x, -1, 0});
          break;
        case Op::Save:
          stack_.push_back({0, in.x, work_[static_cast<size_t>(in.x)]});
          work_[static_cast<size_t>(in.x)] = static_cast<int>(pos);
          stack_.push_back({f.pc + 1, -1, 0});
          break;
        case Op::Bol:
          if (pos == 0) stack_.push_back({f.pc + 1, -1, 0});
          break;
        case Op::Eol:
          if (pos == len) stack_.push_back({f.pc + 1, -1, 0});
          break;
        case Op::WordB:
        case Op::NotWordB: {
          const bool before = pos > 0 && IsWordByte(s[pos - 1]);
          const bool after = pos < len && IsWordByte(s[pos]);
          if ((before != after) == (in.op == Op::WordB)) stack_.push_back({f.pc + 1, -1, 0});
          break;
        }
        default:
          l.pcs.push_back(f.pc);
          l.caps.insert(l.caps.end(), work_.begin(), work_.end());
          break;
      }
    }
  }

  const std::vector<Inst>& prog_;
  const std::vector<ByteSet>& sets_;
  size_t slots_;
  List a_, b_;
  std::vector<int> work_;
  std::vector<Frame> stack_;
};

}  // namespace

struct Pattern::Impl {
  std::vector<Inst> prog;
  std::vector<ByteSet> sets;
  size_t groups = 0;
  bool icase = false;
  bool anchored = false;  // tried at the line's start only
  Literal literal;
  mutable std::unique_ptr<Machine> machine;  // its lists, kept from search to search
  mutable std::vector<int> caps;

  bool Run(const char* line, size_t len) const {
    if (!machine) machine = std::make_unique<Machine>(prog, sets, 2 * (groups + 1));
    return machine->Search(reinterpret_cast<const unsigned char*>(line), len, anchored, caps);
  }
};

Pattern::Pattern() = default;
Pattern::~Pattern() = default;
Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;

bool Pattern::Compile(const Bytes& text, Bytes& reason) {
  impl_.reset();
  auto impl = std::make_unique<Impl>();
  Bytes body = text;
  if (body.compare(0, sizeof kCaseInsensitive - 1, kCaseInsensitive) == 0) {
    impl->icase = true;
    body.erase(0, sizeof kCaseInsensitive - 1);
  }
  if (!CheckShape(body, reason)) return false;
  namespace rc = std::regex_constants;
  std::regex::flag_type flags = std::regex::ECMAScript | rc::__polynomial;
  if (impl->icase) flags |= std::regex::icase;
  try {
    // The standard library's compiler checks the syntax and gives the
    // reason of an error. Its classic locale folds only ASCII letters, as
    // the matcher below does.
    std::regex check;
    check.imbue(std::locale::classic());
    check.assign(body, flags);
    impl->groups = check.mark_count();
  } catch (const std::regex_error& e) {
    reason = ReasonOf(e.code());
    return false;
  } catch (...) {
    reason = kReasonTooLarge;
    return false;
  }
  Parser parser(body, impl->icase, impl->sets);
  Node root;
  Node whole;
  whole.kind = Node::Group;
  whole.group = 0;
  if (!parser.Parse(root) || static_cast<size_t>(parser.Groups()) != impl->groups) {
    reason = kReasonUnknown;
    return false;
  }
  whole.kids.push_back(std::move(root));
  Emitter emitter(impl->prog);
  if (!emitter.Emit(whole) || impl->prog.size() > kMaxInstructions) {
    reason = kReasonTooLarge;
    return false;
  }
  impl->prog.push_back({Op::Match});
  impl->anchored = !body.empty() && body[0] == '^' && !HasTopLevelAlternative(body);
  impl->literal = ReadLiteral(body);
  impl_ = std::move(impl);
  return true;
}

size_t Pattern::GroupCount() const {
  return impl_ ? impl_->groups : 0;
}

bool Pattern::Search(const char* line, size_t len) const {
  if (!impl_) return false;
  const Literal& lit = impl_->literal;
  if (lit.useful) {
    const bool passes = PassesLiteral(lit, impl_->icase, line, len);
    if (!passes || lit.whole) return passes;
  }
  return impl_->Run(line, len);
}

bool Pattern::SearchWithoutPrefilter(const char* line, size_t len) const {
  return impl_ && impl_->Run(line, len);
}

bool Pattern::Search(const char* line, size_t len, std::vector<Group>& groups) const {
  groups.clear();
  if (!impl_) return false;
  if (impl_->literal.useful && !PassesLiteral(impl_->literal, impl_->icase, line, len)) {
    return false;
  }
  if (!impl_->Run(line, len)) return false;
  groups.resize(impl_->groups + 1);
  for (size_t k = 0; k <= impl_->groups; ++k) {
    const int from = impl_->caps[2 * k];
    const int to = impl_->caps[2 * k + 1];
    groups[k].matched = from >= 0 && to >= 0;
    if (groups[k].matched) {
      groups[k].text.assign(line + from, static_cast<size_t>(to - from));
    } else {
      groups[k].text.clear();
    }
  }
  return true;
}

}  // namespace tv
