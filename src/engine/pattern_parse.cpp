#include "engine/pattern_parse.h"

#include <algorithm>
#include <iterator>

// A scanner and a recursive descent over its tokens, one token ahead. The
// scanner also keeps the measure of the pattern (nesting, weight, what a
// quantifier may follow), so those refusals come where the scanner meets
// their cause; the parser's own refusals come when it has taken the token
// that shows them, the scanner having read one token further.

namespace tv::regex {

const char kReasonTooLarge[] = "Regulární výraz je příliš rozsáhlý.";

namespace {

constexpr char kReasonBackReference[] =
    "Zpětné odkazy (\\1 až \\9) nejsou v regulárních výrazech podporovány.";
constexpr char kReasonLookahead[] = "Aserce (?= a (?! nejsou v regulárních výrazech podporovány.";
constexpr char kReasonGroupKind[] =
    "Konstrukce (? je v regulárním výrazu dovolena jen jako (?: a (?i) jen na jeho začátku.";
constexpr char kReasonNothingToRepeat[] = "Opakování v regulárním výrazu nemá co opakovat.";
constexpr char kReasonNesting[] =
    "Příliš hluboce vnořené závorky v regulárním výrazu (nejvýše 32 úrovní).";
constexpr char kReasonUnknown[] = "Regulární výraz nelze přeložit.";
constexpr char kReasonCollate[] = "Neplatný název znaku pro porovnávání v regulárním výrazu.";
constexpr char kReasonClassName[] = "Neznámá třída znaků v regulárním výrazu.";
constexpr char kReasonEscape[] = "Neplatná sekvence se zpětným lomítkem v regulárním výrazu.";
constexpr char kReasonBracket[] = "Neuzavřená hranatá závorka v regulárním výrazu.";
constexpr char kReasonParen[] = "Nespárovaná kulatá závorka v regulárním výrazu.";
constexpr char kReasonBrace[] = "Nespárovaná složená závorka v regulárním výrazu.";
constexpr char kReasonBadCount[] =
    "Neplatný počet opakování ve složených závorkách regulárního výrazu.";
constexpr char kReasonRange[] = "Neplatný rozsah znaků v regulárním výrazu.";

// The names [[.name.]] and [[=name=]] may give, by the byte they stand for:
// the portable character set's names and the letters themselves. Such
// brackets are refused all the same; only the reason depends on the name.
constexpr const char* kCollatingNames[] = {
    "NUL",
    "SOH",
    "STX",
    "ETX",
    "EOT",
    "ENQ",
    "ACK",
    "alert",
    "backspace",
    "tab",
    "newline",
    "vertical-tab",
    "form-feed",
    "carriage-return",
    "SO",
    "SI",
    "DLE",
    "DC1",
    "DC2",
    "DC3",
    "DC4",
    "NAK",
    "SYN",
    "ETB",
    "CAN",
    "EM",
    "SUB",
    "ESC",
    "IS4",
    "IS3",
    "IS2",
    "IS1",
    "space",
    "exclamation-mark",
    "quotation-mark",
    "number-sign",
    "dollar-sign",
    "percent-sign",
    "ampersand",
    "apostrophe",
    "left-parenthesis",
    "right-parenthesis",
    "asterisk",
    "plus-sign",
    "comma",
    "hyphen",
    "period",
    "slash",
    "zero",
    "one",
    "two",
    "three",
    "four",
    "five",
    "six",
    "seven",
    "eight",
    "nine",
    "colon",
    "semicolon",
    "less-than-sign",
    "equals-sign",
    "greater-than-sign",
    "question-mark",
    "commercial-at",
    "left-square-bracket",
    "backslash",
    "right-square-bracket",
    "circumflex",
    "underscore",
    "grave-accent",
    "left-curly-bracket",
    "vertical-line",
    "right-curly-bracket",
    "tilde",
    "DEL",
};

bool IsCollatingName(const Bytes& name) {
  if (name.size() == 1) {
    const char c = name[0];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  }
  for (const char* known : kCollatingNames) {
    if (name == known) return true;
  }
  return false;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsWordByte(int b) {
  return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_';
}

bool IsSpaceByte(int b) {
  return b == ' ' || (b >= 9 && b <= 13);
}

int HexValue(char h) {
  if (h >= '0' && h <= '9') return h - '0';
  if (h >= 'a' && h <= 'f') return h - 'a' + 10;
  if (h >= 'A' && h <= 'F') return h - 'A' + 10;
  return -1;
}

// \d \D \w \W \s \S: ASCII only, as for every byte of the code page.
ByteSet EscapeClass(char e) {
  ByteSet s;
  for (int b = 0; b < 256; ++b) {
    bool in = false;
    switch (e) {
      case 'd':
      case 'D':
        in = b >= '0' && b <= '9';
        break;
      case 'w':
      case 'W':
        in = IsWordByte(b);
        break;
      default:
        in = IsSpaceByte(b);
        break;
    }
    if (e == 'D' || e == 'W' || e == 'S') in = !in;
    s[static_cast<size_t>(b)] = in;
  }
  return s;
}

// [[:name:]]; false for a name that is not one of them.
bool NamedClass(const Bytes& name, bool icase, ByteSet& s) {
  static const char* const kNames[] = {"alpha", "digit", "d",     "alnum",  "upper",
                                       "lower", "space", "s",     "blank",  "cntrl",
                                       "print", "graph", "punct", "xdigit", "w"};
  if (std::find_if(std::begin(kNames), std::end(kNames),
                   [&](const char* n) { return name == n; }) == std::end(kNames)) {
    return false;
  }
  for (int b = 0; b < 128; ++b) {
    const bool upper = b >= 'A' && b <= 'Z', lower = b >= 'a' && b <= 'z';
    const bool digit = b >= '0' && b <= '9', alpha = upper || lower;
    const bool graph = b > 32 && b < 127;
    bool in = false;
    if (name == "alpha")
      in = alpha;
    else if (name == "digit" || name == "d")
      in = digit;
    else if (name == "alnum")
      in = alpha || digit;
    else if (name == "upper")
      in = upper || (icase && lower);
    else if (name == "lower")
      in = lower || (icase && upper);
    else if (name == "space" || name == "s")
      in = IsSpaceByte(b);
    else if (name == "blank")
      in = b == ' ' || b == '\t';
    else if (name == "cntrl")
      in = b < 32 || b == 127;
    else if (name == "print")
      in = b >= 32 && b < 127;
    else if (name == "graph")
      in = graph;
    else if (name == "punct")
      in = graph && !alpha && !digit;
    else if (name == "xdigit")
      in = digit || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
    else
      in = IsWordByte(b);
    if (in) s[static_cast<size_t>(b)] = true;
  }
  return true;
}

Bytes Lower(Bytes s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

long Clamp(long w) {
  return std::min(w, kMaxWeight + 1);
}

enum class Tok : uint8_t {
  End,
  Char,
  Any,
  Assert,
  Class,     // \d and the others: cls
  Repeat,    // * + ? {n} {n,} {n,m}, lazy or not
  BadCount,  // { not followed by a count
  Or,
  Open,
  OpenPlain,  // (?:
  Close,
  BracketOpen,  // negated
  // Only inside brackets:
  Dash,
  BracketEnd,
  ClassName,        // [:name:]
  CollatingName,    // [.name.]
  EquivalenceName,  // [=name=]
  Stray,            // an escape with no meaning there (\B, \1)
};

struct Token {
  Tok kind = Tok::End;
  uint32_t code = 0;  // Char
  char cls = 0;       // Class
  Assertion assertion = Assertion::LineStart;
  int min = 0, max = 0;  // Repeat; max -1: no limit
  bool lazy = false;     // Repeat
  bool negated = false;  // BracketOpen
  Bytes name;            // the names inside brackets
};

class Parser {
 public:
  Parser(const Bytes& p, bool icase, Tree& tree) : p_(p), n_(p.size()), tree_(tree), frames_(1) {
    tree_.icase = icase;
  }

  bool Run(Bytes& reason) {
    Advance();
    Node root;
    if (Disjunction(root) && tok_.kind != Tok::End) Fail(kReasonParen);
    // A name refused only once the rest of the pattern has been read.
    if (!reason_ && refusedName_) Fail(kReasonUnknown);
    if (reason_) {
      reason = reason_;
      return false;
    }
    tree_.root = std::move(root);
    tree_.groups = groups_;
    return true;
  }

 private:
  // ------------------------------------------------------------ the scanner

  struct Frame {
    long total = 0;
    long last = 0;            // the weight of the last atom, for a quantifier after it
    bool repeatable = false;  // there is an atom for a quantifier
  };

  void Fail(const char* reason) {
    if (!reason_) reason_ = reason;
    tok_ = Token();
  }

  // An atom of the given weight: something a quantifier may follow.
  void Atom(long weight) {
    Frame& f = frames_.back();
    f.total = Clamp(f.total + weight);
    f.last = weight;
    f.repeatable = true;
    if (f.total > kMaxWeight) Fail(kReasonTooLarge);
  }

  void Advance() {
    if (reason_) return;
    tok_ = Token();
    if (inBracket_) {
      ScanInBracket();
    } else {
      ScanNormal();
    }
  }

  void ScanNormal() {
    if (i_ == n_) {
      long total = 0;
      for (const Frame& f : frames_) total = Clamp(total + f.total);
      if (total > kMaxWeight) Fail(kReasonTooLarge);
      return;
    }
    const char c = p_[i_];
    Frame& f = frames_.back();
    switch (c) {
      case '\\':
        ScanEscape();
        return;
      case '[':
        Atom(1);
        ++i_;
        tok_.kind = Tok::BracketOpen;
        if (i_ < n_ && p_[i_] == '^') {
          tok_.negated = true;
          ++i_;
        }
        inBracket_ = true;
        return;
      case '(':
        if (i_ + 1 < n_ && p_[i_ + 1] == '?') {
          if (i_ + 2 < n_ && (p_[i_ + 2] == '=' || p_[i_ + 2] == '!'))
            return Fail(kReasonLookahead);
          if (i_ + 2 >= n_ || p_[i_ + 2] != ':') return Fail(kReasonGroupKind);
        }
        if (static_cast<int>(frames_.size()) > kMaxNesting) return Fail(kReasonNesting);
        frames_.emplace_back();
        tok_.kind = p_.compare(i_, 3, "(?:") == 0 ? Tok::OpenPlain : Tok::Open;
        i_ += tok_.kind == Tok::OpenPlain ? 3 : 1;
        return;
      case ')':
        ++i_;
        tok_.kind = Tok::Close;
        if (frames_.size() > 1) {
          const long group = Clamp(frames_.back().total + 2);
          frames_.pop_back();
          Atom(group);
        } else {
          Atom(1);
        }
        return;
      case '*':
      case '+':
      case '?':
        if (!f.repeatable) return Fail(kReasonNothingToRepeat);
        f.total = Clamp(f.total + 2);
        f.repeatable = false;
        ++i_;
        tok_.kind = Tok::Repeat;
        tok_.min = c == '+' ? 1 : 0;
        tok_.max = c == '?' ? 1 : -1;
        ScanLazy();
        return;
      case '{':
        if (!f.repeatable) return Fail(kReasonNothingToRepeat);
        ScanCount();
        return;
      case '|':
        f.total = Clamp(f.total + 1);
        f.last = 0;
        f.repeatable = false;
        ++i_;
        tok_.kind = Tok::Or;
        return;
      case '^':
      case '$':
        Atom(1);
        ++i_;
        tok_.kind = Tok::Assert;
        tok_.assertion = c == '^' ? Assertion::LineStart : Assertion::LineEnd;
        return;
      case '.':
        Atom(1);
        ++i_;
        tok_.kind = Tok::Any;
        return;
      default:
        Atom(1);
        ++i_;
        tok_.kind = Tok::Char;
        tok_.code = static_cast<unsigned char>(c);
        return;
    }
  }

  void ScanLazy() {
    if (i_ < n_ && p_[i_] == '?') {
      tok_.lazy = true;
      ++i_;
    }
  }

  // Decimal digits at p_[j...], clamped above the largest count any pattern
  // may hold; false when there are none.
  bool ReadCount(size_t& j, long& value) const {
    const size_t start = j;
    value = 0;
    while (j < n_ && IsDigit(p_[j])) {
      value = Clamp(value * 10 + (p_[j] - '0'));
      ++j;
    }
    return j > start;
  }

  // At "{" after an atom.
  void ScanCount() {
    size_t j = i_ + 1;
    long low = 0;
    if (!ReadCount(j, low)) {
      // No count: the brace is not a quantifier here, and nothing else.
      Atom(1);
      if (reason_) return;
      ++i_;
      tok_.kind = Tok::BadCount;
      return;
    }
    long high = low;
    bool unbounded = false;
    if (j < n_ && p_[j] == ',') {
      ++j;
      if (!ReadCount(j, high)) {
        unbounded = true;
        high = low + 1;  // the copies and the loop after them
      }
    }
    if (j >= n_ || p_[j] != '}') return Fail(kReasonBrace);
    i_ = j + 1;
    Frame& f = frames_.back();
    const long copies = std::max(std::max(low, high), 1L);
    f.total = Clamp(f.total + f.last * (copies - 1) + 2);
    f.last = Clamp(f.last * copies);
    f.repeatable = false;
    tok_.kind = Tok::Repeat;
    tok_.min = static_cast<int>(low);
    tok_.max = unbounded ? -1 : static_cast<int>(high);
    ScanLazy();
    if (f.total > kMaxWeight) Fail(kReasonTooLarge);
  }

  // \x.. and \u....; false (with the reason) when the digits are not there.
  bool ReadHex(int digits, uint32_t& value) {
    value = 0;
    for (int k = 0; k < digits; ++k) {
      if (i_ >= n_ || HexValue(p_[i_]) < 0) {
        Fail(kReasonEscape);
        return false;
      }
      value = value * 16 + static_cast<uint32_t>(HexValue(p_[i_++]));
    }
    return true;
  }

  // The escapes both outside and inside brackets: a character or a class.
  // False when e is none of them.
  bool ScanCommonEscape(char e) {
    switch (e) {
      case '0':
        tok_.code = 0;
        break;
      case 'f':
        tok_.code = '\f';
        break;
      case 'n':
        tok_.code = '\n';
        break;
      case 'r':
        tok_.code = '\r';
        break;
      case 't':
        tok_.code = '\t';
        break;
      case 'v':
        tok_.code = '\v';
        break;
      case 'c':
        if (i_ >= n_) {
          Fail(kReasonEscape);
          return true;
        }
        tok_.code = static_cast<unsigned char>(p_[i_++]) % 32;
        break;
      case 'x':
      case 'u':
        if (!ReadHex(e == 'x' ? 2 : 4, tok_.code)) return true;
        break;
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 's':
      case 'S':
        tok_.kind = Tok::Class;
        tok_.cls = e;
        return true;
      default:
        return false;
    }
    tok_.kind = Tok::Char;
    return true;
  }

  void ScanEscape() {
    const size_t start = i_;
    if (i_ + 1 >= n_) {
      Atom(1);
      return Fail(kReasonEscape);
    }
    const char e = p_[i_ + 1];
    if (e >= '1' && e <= '9') return Fail(kReasonBackReference);
    // Measured as the characters after the backslash (\x41 as three), the
    // last of them what a quantifier repeats.
    const auto measure = [&] {
      Atom(static_cast<long>(i_ - start - 1));
      frames_.back().last = 1;
    };
    i_ += 2;
    if (e == 'b' || e == 'B') {
      tok_.kind = Tok::Assert;
      tok_.assertion = e == 'b' ? Assertion::WordBoundary : Assertion::NotWordBoundary;
    } else if (!ScanCommonEscape(e)) {
      tok_.kind = Tok::Char;
      tok_.code = static_cast<unsigned char>(e);
    }
    if (!reason_) measure();
  }

  // The end of the pattern inside brackets is a token of its own (End): what
  // is refused there depends on what came before it.
  void ScanInBracket() {
    if (i_ >= n_) return;
    const char c = p_[i_++];
    switch (c) {
      case '-':
        tok_.kind = Tok::Dash;
        return;
      case ']':
        tok_.kind = Tok::BracketEnd;
        inBracket_ = false;
        return;
      case '[':
        if (i_ >= n_) return Fail(kReasonBracket);
        if (p_[i_] == '.' || p_[i_] == ':' || p_[i_] == '=') {
          ScanBracketName(p_[i_++]);
          return;
        }
        break;
      case '\\': {
        if (i_ >= n_) return Fail(kReasonEscape);
        const char e = p_[i_++];
        if (ScanCommonEscape(e)) return;
        if (e == 'b') {
          tok_.kind = Tok::Char;
          tok_.code = 8;
        } else if (e == 'B' || IsDigit(e)) {
          tok_.kind = Tok::Stray;
        } else {
          tok_.kind = Tok::Char;
          tok_.code = static_cast<unsigned char>(e);
        }
        return;
      }
      default:
        break;
    }
    tok_.kind = Tok::Char;
    tok_.code = static_cast<unsigned char>(c);
  }

  // [:name:], [.name.], [=name=] after the "[" and the delimiter.
  void ScanBracketName(char delimiter) {
    const size_t start = i_;
    while (i_ < n_ && p_[i_] != delimiter) ++i_;
    if (i_ + 1 >= n_ || p_[i_ + 1] != ']') {
      return Fail(delimiter == ':' ? kReasonClassName : kReasonCollate);
    }
    tok_.name = p_.substr(start, i_ - start);
    i_ += 2;
    tok_.kind = delimiter == ':'   ? Tok::ClassName
                : delimiter == '.' ? Tok::CollatingName
                                   : Tok::EquivalenceName;
  }

  // -------------------------------------------------------------- the parser

  bool Disjunction(Node& out) {
    Node alt;
    alt.kind = Node::Kind::Alt;
    for (;;) {
      Node seq;
      if (!Alternative(seq)) return false;
      alt.kids.push_back(std::move(seq));
      if (tok_.kind != Tok::Or) break;
      Advance();
    }
    out = alt.kids.size() == 1 ? std::move(alt.kids[0]) : std::move(alt);
    return !reason_;
  }

  bool Alternative(Node& out) {
    out.kind = Node::Kind::Concat;
    for (;;) {
      Node term;
      if (!Term(term)) break;
      out.kids.push_back(std::move(term));
    }
    return !reason_;
  }

  // False at a token no term begins with (or after a refusal).
  bool Term(Node& out) {
    if (reason_) return false;
    if (tok_.kind == Tok::Assert) {
      out.kind = Node::Kind::Assert;
      out.assertion = tok_.assertion;
      Advance();
      return !reason_;
    }
    if (!AtomNode(out)) return false;
    if (tok_.kind == Tok::BadCount) {
      Fail(kReasonBadCount);
      return false;
    }
    if (tok_.kind != Tok::Repeat) return true;
    const Token q = tok_;
    Advance();
    if (reason_) return false;
    if (q.max >= 0 && q.min > q.max) {
      Fail(kReasonBadCount);
      return false;
    }
    Node rep;
    rep.kind = Node::Kind::Repeat;
    rep.min = q.min;
    rep.max = q.max;
    rep.greedy = !q.lazy;
    rep.kids.push_back(std::move(out));
    out = std::move(rep);
    return true;
  }

  bool AtomNode(Node& out) {
    switch (tok_.kind) {
      case Tok::Char:
        out.kind = Node::Kind::Char;
        out.code = tok_.code;
        break;
      case Tok::Any:
        out.kind = Node::Kind::Any;
        break;
      case Tok::Class:
        out.kind = Node::Kind::Set;
        out.set = NewSet(EscapeClass(tok_.cls));
        break;
      case Tok::Open:
      case Tok::OpenPlain: {
        out.kind = Node::Kind::Group;
        if (tok_.kind == Tok::Open) out.group = ++groups_;
        Advance();
        Node inner;
        if (!Disjunction(inner)) return false;
        if (tok_.kind != Tok::Close) {
          Fail(kReasonParen);
          return false;
        }
        out.kids.push_back(std::move(inner));
        break;
      }
      case Tok::BracketOpen:
        return Bracket(out);
      default:
        return false;
    }
    Advance();
    return !reason_;
  }

  int NewSet(const ByteSet& s) {
    tree_.sets.push_back(s);
    return static_cast<int>(tree_.sets.size() - 1);
  }

  void AddFolded(ByteSet& s, uint32_t code) const {
    if (code > 255) return;
    s[code] = true;
    if (!tree_.icase) return;
    if (code >= 'a' && code <= 'z') s[code - 'a' + 'A'] = true;
    if (code >= 'A' && code <= 'Z') s[code - 'A' + 'a'] = true;
  }

  // From "[" or "[^" to "]". A character is held back until it is clear
  // whether it begins a range.
  bool Bracket(Node& out) {
    const bool negated = tok_.negated;
    ByteSet s;
    enum class Last { None, Char, Class } last = Last::None;
    uint32_t lastCode = 0;
    const auto pushChar = [&](uint32_t code) {
      if (last == Last::Char) AddFolded(s, lastCode);
      last = Last::Char;
      lastCode = code;
    };
    const auto pushClass = [&] {
      if (last == Last::Char) AddFolded(s, lastCode);
      last = Last::Class;
    };
    Advance();
    if (tok_.kind == Tok::Char) {
      pushChar(tok_.code);
      Advance();
    } else if (tok_.kind == Tok::Dash) {
      pushChar('-');
      Advance();
    }
    bool open = true;
    while (open && !reason_) {
      const Token t = tok_;
      switch (t.kind) {
        case Tok::BracketEnd:
          Advance();
          open = false;
          break;
        case Tok::CollatingName:
          Advance();
          if (reason_) break;
          if (!IsCollatingName(t.name)) {
            Fail(kReasonCollate);
            break;
          }
          refusedName_ = true;
          pushChar(0);
          break;
        case Tok::EquivalenceName:
          Advance();
          if (reason_) break;
          pushClass();
          if (!IsCollatingName(t.name)) {
            Fail(kReasonCollate);
            break;
          }
          refusedName_ = true;
          break;
        case Tok::ClassName: {
          Advance();
          if (reason_) break;
          pushClass();
          // Only the names as written in lower case are known.
          ByteSet named;
          if (!NamedClass(Lower(t.name), tree_.icase, named)) {
            Fail(kReasonCollate);
          } else if (Lower(t.name) != t.name) {
            refusedName_ = true;
          } else {
            s |= named;
          }
          break;
        }
        case Tok::Char:
          Advance();
          pushChar(t.code);
          break;
        case Tok::Dash:
          Advance();
          if (reason_) break;
          if (tok_.kind == Tok::BracketEnd) {
            Advance();
            pushChar('-');
            open = false;
          } else if (last == Last::Class) {
            Fail(kReasonRange);
          } else if (last == Last::Char) {
            const Token end = tok_;
            if (end.kind != Tok::Char && end.kind != Tok::Dash) {
              Fail(kReasonRange);
              break;
            }
            Advance();
            if (reason_) break;
            const uint32_t high = end.kind == Tok::Char ? end.code : '-';
            // Code units compare unsigned: [a-ž] is every byte from a to ž.
            if (lastCode > high) {
              Fail(kReasonRange);
              break;
            }
            for (uint32_t b = lastCode; b <= std::min<uint32_t>(high, 255); ++b) AddFolded(s, b);
            last = Last::None;
          } else {
            pushChar('-');
          }
          break;
        case Tok::Class:
          Advance();
          pushClass();
          s |= EscapeClass(t.cls);
          break;
        default:
          Fail(kReasonBracket);
          break;
      }
    }
    if (reason_) return false;
    if (last == Last::Char) AddFolded(s, lastCode);
    if (negated) s.flip();
    out.kind = Node::Kind::Set;
    out.set = NewSet(s);
    return true;
  }

  const Bytes& p_;
  const size_t n_;
  Tree& tree_;
  size_t i_ = 0;
  bool inBracket_ = false;
  Token tok_;
  std::vector<Frame> frames_;
  int groups_ = 0;
  bool refusedName_ = false;
  const char* reason_ = nullptr;
};

}  // namespace

bool Parse(const Bytes& text, bool icase, Tree& tree, Bytes& reason) {
  tree = Tree();
  Parser parser(text, icase, tree);
  return parser.Run(reason);
}

}  // namespace tv::regex
