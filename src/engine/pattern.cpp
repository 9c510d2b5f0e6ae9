#include "engine/pattern.h"

#include <algorithm>
#include <cstring>
#include <locale>
#include <regex>
#include <string_view>

// The standard library's default matcher backtracks: its recursion grows with
// the line and its time can grow exponentially with it. libstdc++ also has a
// breadth-first executor, chosen with the flag below, whose recursion is
// bounded by the pattern. Only that one is acceptable here.
#ifndef __GLIBCXX__
#error "the pattern matcher needs libstdc++ (regex_constants::__polynomial)"
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
      return "Regulární výraz nelze přeložit.";
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
    } else if ((c == '*' || c == '+' || c == '?') && !f.repeatable) {
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

}  // namespace

struct Pattern::Impl {
  std::regex regex;  // [\s\S]*?(pattern) or (^...): group 1 is the whole match
  size_t groups = 0;
  bool icase = false;
  Literal literal;

  // One pass from the line's start: the lazy prefix finds the leftmost match
  // without starting the executor again at every position.
  bool Run(const char* line, size_t len, std::cmatch& m) const {
    try {
      return std::regex_search(line, line + len, m, regex, std::regex_constants::match_continuous);
    } catch (...) {
      return false;
    }
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
    // The classic locale folds only ASCII letters: bytes of the code page
    // above 127 are compared as they are.
    std::regex alone;
    alone.imbue(std::locale::classic());
    alone.assign(body, flags);
    impl->groups = alone.mark_count();
    impl->regex.imbue(std::locale::classic());
    // A pattern anchored at the start is tried there only.
    const bool anchored = !body.empty() && body[0] == '^' && !HasTopLevelAlternative(body);
    impl->regex.assign((anchored ? "(" : "[\\s\\S]*?(") + body + ")", flags);
  } catch (const std::regex_error& e) {
    reason = ReasonOf(e.code());
    return false;
  } catch (...) {
    reason = kReasonTooLarge;
    return false;
  }
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
  std::cmatch m;
  return impl_->Run(line, len, m);
}

bool Pattern::SearchWithoutPrefilter(const char* line, size_t len) const {
  if (!impl_) return false;
  std::cmatch m;
  return impl_->Run(line, len, m);
}

bool Pattern::Search(const char* line, size_t len, std::vector<Group>& groups) const {
  groups.clear();
  if (!impl_) return false;
  if (impl_->literal.useful && !PassesLiteral(impl_->literal, impl_->icase, line, len)) {
    return false;
  }
  std::cmatch m;
  if (!impl_->Run(line, len, m)) return false;
  groups.resize(impl_->groups + 1);
  for (size_t k = 0; k <= impl_->groups; ++k) {
    const auto& sub = m[k + 1];
    groups[k].matched = sub.matched;
    if (sub.matched) groups[k].text.assign(sub.first, sub.second);
  }
  return true;
}

}  // namespace tv
