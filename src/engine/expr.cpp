#include "engine/expr.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/tokenizer.h"

namespace tv {

namespace {

// Parentheses and unary operators nest at most this deep, and an expression
// has at most this many parts, so that neither the parser nor the evaluator
// recurses deeper than a small stack allows, whatever the line.
constexpr int kMaxDepth = 64;
constexpr size_t kMaxNodes = 1000;
constexpr int64_t kMin = INT32_MIN;
constexpr int64_t kMax = INT32_MAX;

enum class ArgKind : uint8_t { Number, Text };

// What a function gives: a number (in expressions), a text (an argument of
// another function that takes a text) or bytes of a text (an item).
enum class Gives : uint8_t { Number, Text, Bytes };

enum class Fn : uint8_t {
  Len,
  ByteAt,
  Be16At,
  Be32At,
  Le16At,
  Le32At,
  HexNum,
  DecNum,
  Find,
  Sub,
  Byte,
  Be16,
  Be32,
  Le16,
  Le32,
  Hex,
  Dec,
};

struct Function {
  const char* name;
  Fn fn;
  Gives gives;
  int arity;
  ArgKind args[3];
};

// The functions of expressions, and of the texts' arguments.
const Function kExprFunctions[] = {
    {"len", Fn::Len, Gives::Number, 1, {ArgKind::Text}},
    {"byte", Fn::ByteAt, Gives::Number, 2, {ArgKind::Text, ArgKind::Number}},
    {"be16", Fn::Be16At, Gives::Number, 2, {ArgKind::Text, ArgKind::Number}},
    {"be32", Fn::Be32At, Gives::Number, 2, {ArgKind::Text, ArgKind::Number}},
    {"le16", Fn::Le16At, Gives::Number, 2, {ArgKind::Text, ArgKind::Number}},
    {"le32", Fn::Le32At, Gives::Number, 2, {ArgKind::Text, ArgKind::Number}},
    {"hexnum", Fn::HexNum, Gives::Number, 1, {ArgKind::Text}},
    {"decnum", Fn::DecNum, Gives::Number, 1, {ArgKind::Text}},
    {"find", Fn::Find, Gives::Number, 2, {ArgKind::Text, ArgKind::Text}},
    {"sub", Fn::Sub, Gives::Text, 3, {ArgKind::Text, ArgKind::Number, ArgKind::Number}},
};

// The items of texts.
const Function kItemFunctions[] = {
    {"byte", Fn::Byte, Gives::Bytes, 1, {ArgKind::Number}},
    {"be16", Fn::Be16, Gives::Bytes, 1, {ArgKind::Number}},
    {"be32", Fn::Be32, Gives::Bytes, 1, {ArgKind::Number}},
    {"le16", Fn::Le16, Gives::Bytes, 1, {ArgKind::Number}},
    {"le32", Fn::Le32, Gives::Bytes, 1, {ArgKind::Number}},
    {"hex", Fn::Hex, Gives::Bytes, 1, {ArgKind::Number}},
    {"dec", Fn::Dec, Gives::Bytes, 1, {ArgKind::Number}},
    {"sub", Fn::Sub, Gives::Bytes, 3, {ArgKind::Text, ArgKind::Number, ArgKind::Number}},
};

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameWord(std::string_view a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (Lower(a[i]) != b[i]) return false;
  }
  return true;
}

template <size_t N>
const Function* FindFunction(const Function (&table)[N], std::string_view name) {
  for (const Function& f : table) {
    if (SameWord(name, f.name)) return &f;
  }
  return nullptr;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Letters of either case, digits, the underscore and the bytes of the code
// page above 127 (Czech letters) make names.
bool IsNameByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || IsDigit(c) || u == '_' || u >= 128;
}

const char* Arguments(int n) {
  return n == 1 ? "argument" : "argumenty";
}

Bytes Number64(int64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
  return text;
}

}  // namespace

struct Expr::Node {
  enum class Op : uint8_t {
    Num,
    Counter,   // a counter's name
    Str,       // a quoted string's bytes
    Line,      // line, lastline
    TextName,  // a text variable's name
    Neg,
    Not,
    BitNot,
    Mul,
    Div,
    Mod,
    Add,
    Sub,
    Shl,
    Shr,
    Lt,
    Gt,
    Le,
    Ge,
    Eq,
    Ne,
    BitAnd,
    BitXor,
    BitOr,
    And,
    Or,
    Call,
  };
  Op op = Op::Num;
  int64_t number = 0;
  Bytes text;
  size_t pos = 0;
  const Function* function = nullptr;
  int kids[3] = {-1, -1, -1};
};

namespace {

using Node = Expr::Node;
using Op = Node::Op;

struct Token {
  enum class Kind { End, Number, Name, String, Open, Close, Comma, Operator };
  Kind kind = Kind::End;
  size_t pos = 0;  // in the parsed text
  size_t end = 0;
  Bytes text;  // a name, a string's bytes without its quotes, an operator
  int64_t number = 0;
};

class Parser {
 public:
  Parser(const Bytes& text, size_t begin, size_t end, std::vector<Node>& nodes, ExprError& error)
      : text_(text), pos_(begin), end_(end), nodes_(nodes), error_(error) {
    Next();
  }

  // expression End
  int Whole() {
    const int root = Or();
    if (root >= 0 && token_.kind != Token::Kind::End) {
      return Fail(token_.pos, "Neočekávaný text ve výrazu: " + TokenText());
    }
    return root;
  }

  // name ( arguments ) End, a function of the items
  int Item() {
    if (token_.kind != Token::Kind::Name) return Fail(token_.pos, "Očekáváno jméno funkce");
    const Token name = token_;
    Next();
    const int call = Call(name, kItemFunctions);
    if (call >= 0 && token_.kind != Token::Kind::End) {
      return Fail(token_.pos, "Neočekávaný text ve výrazu: " + TokenText());
    }
    return call;
  }

  size_t Pos() const { return token_.pos; }

 private:
  int Fail(size_t pos, const Bytes& message) {
    if (!failed_) {
      failed_ = true;
      error_.pos = pos;
      error_.syntax = true;
      error_.message = message;
    }
    return -1;
  }

  Bytes TokenText() const {
    if (token_.kind == Token::Kind::End) return "konec";
    return text_.substr(token_.pos, token_.end - token_.pos);
  }

  void Next() {
    while (pos_ < end_ && IsBlank(text_[pos_])) ++pos_;
    token_ = Token();
    token_.pos = pos_;
    if (pos_ >= end_) {
      token_.end = pos_;
      return;
    }
    const char c = text_[pos_];
    if (IsDigit(c)) {
      token_.kind = Token::Kind::Number;
      int base = 10;
      size_t p = pos_;
      if (c == '0' && p + 1 < end_ && (text_[p + 1] == 'x' || text_[p + 1] == 'X') &&
          p + 2 < end_ && HexDigit(text_[p + 2]) >= 0) {
        base = 16;
        p += 2;
      }
      int64_t v = 0;
      while (p < end_ && (base == 16 ? HexDigit(text_[p]) >= 0 : IsDigit(text_[p]))) {
        const int d = base == 16 ? HexDigit(text_[p]) : text_[p] - '0';
        if (v <= kMax + 1) v = v * base + d;
        ++p;
      }
      token_.number = v;
      // A number runs into a name ("12abc"): the whole is no number.
      while (p < end_ && IsNameByte(text_[p])) {
        ++p;
        token_.kind = Token::Kind::Operator;
      }
      pos_ = p;
    } else if (IsNameByte(c)) {
      token_.kind = Token::Kind::Name;
      size_t p = pos_;
      while (p < end_ && IsNameByte(text_[p])) ++p;
      token_.text = text_.substr(pos_, p - pos_);
      pos_ = p;
    } else if (c == '"') {
      // A quoted string as the tokenizer reads it, escapes replaced.
      token_.kind = Token::Kind::String;
      size_t p = pos_, wordEnd = pos_;
      Bytes word;
      GetNextWord(text_, p, word, false, false, &wordEnd);
      if (wordEnd > end_) wordEnd = end_;
      token_.text = word.substr(1, word.size() >= 2 ? word.size() - 2 : 0);
      pos_ = wordEnd;
    } else if (c == '(') {
      token_.kind = Token::Kind::Open;
      ++pos_;
    } else if (c == ')') {
      token_.kind = Token::Kind::Close;
      ++pos_;
    } else if (c == ',') {
      token_.kind = Token::Kind::Comma;
      ++pos_;
    } else {
      token_.kind = Token::Kind::Operator;
      static const char* const kTwo[] = {"<<", ">>", "<=", ">=", "==", "!=", "&&", "||"};
      size_t len = 1;
      for (const char* two : kTwo) {
        if (pos_ + 1 < end_ && text_[pos_] == two[0] && text_[pos_ + 1] == two[1]) len = 2;
      }
      token_.text = text_.substr(pos_, len);
      pos_ += len;
    }
    token_.end = pos_;
  }

  bool IsOp(const char* op) const {
    return token_.kind == Token::Kind::Operator && token_.text == op;
  }

  int Add(Node node) {
    if (nodes_.size() >= kMaxNodes) {
      return Fail(node.pos, "Výraz je příliš rozsáhlý (nejvýše 1000 členů)");
    }
    nodes_.push_back(std::move(node));
    return static_cast<int>(nodes_.size() - 1);
  }

  int Binary(Op op, size_t pos, int a, int b) {
    if (a < 0 || b < 0) return -1;
    Node n;
    n.op = op;
    n.pos = pos;
    n.kids[0] = a;
    n.kids[1] = b;
    return Add(std::move(n));
  }

  struct Level {
    const char* op;
    Op node;
  };

  // One level of left-associative binary operators over the next level.
  template <size_t N>
  int Left(const Level (&ops)[N], int (Parser::*next)()) {
    int left = (this->*next)();
    for (;;) {
      if (left < 0) return -1;
      const Level* found = nullptr;
      for (const Level& l : ops) {
        if (IsOp(l.op)) found = &l;
      }
      if (!found) return left;
      const size_t at = token_.pos;
      Next();
      left = Binary(found->node, at, left, (this->*next)());
    }
  }

  int Or() { return Left<1>({{"||", Op::Or}}, &Parser::And); }
  int And() { return Left<1>({{"&&", Op::And}}, &Parser::BitOr); }
  int BitOr() { return Left<1>({{"|", Op::BitOr}}, &Parser::BitXor); }
  int BitXor() { return Left<1>({{"^", Op::BitXor}}, &Parser::BitAnd); }
  int BitAnd() { return Left<1>({{"&", Op::BitAnd}}, &Parser::Equality); }
  int Equality() { return Left<2>({{"==", Op::Eq}, {"!=", Op::Ne}}, &Parser::Relation); }
  int Relation() {
    return Left<4>({{"<", Op::Lt}, {">", Op::Gt}, {"<=", Op::Le}, {">=", Op::Ge}}, &Parser::Shift);
  }
  int Shift() { return Left<2>({{"<<", Op::Shl}, {">>", Op::Shr}}, &Parser::Sum); }
  int Sum() { return Left<2>({{"+", Op::Add}, {"-", Op::Sub}}, &Parser::Product); }
  int Product() {
    return Left<3>({{"*", Op::Mul}, {"/", Op::Div}, {"%", Op::Mod}}, &Parser::Unary);
  }

  int Unary() {
    if (++depth_ > kMaxDepth) {
      return Fail(token_.pos, "Výraz je příliš hluboce vnořený (nejvýše 64 úrovní)");
    }
    int result;
    if (IsOp("-") || IsOp("!") || IsOp("~")) {
      const Op op = IsOp("-") ? Op::Neg : IsOp("!") ? Op::Not : Op::BitNot;
      const size_t at = token_.pos;
      Next();
      // A negated literal may be the least counter value, -2147483648.
      if (op == Op::Neg && token_.kind == Token::Kind::Number && token_.number <= kMax + 1) {
        Node n;
        n.op = Op::Num;
        n.pos = at;
        n.number = -token_.number;
        Next();
        result = Add(std::move(n));
      } else {
        const int operand = Unary();
        if (operand < 0) {
          result = -1;
        } else {
          Node n;
          n.op = op;
          n.pos = at;
          n.kids[0] = operand;
          result = Add(std::move(n));
        }
      }
    } else {
      result = Primary();
    }
    --depth_;
    return result;
  }

  int Primary() {
    const Token t = token_;
    switch (t.kind) {
      case Token::Kind::Number: {
        if (t.number > kMax) return Fail(t.pos, "Číslo " + TokenText() + " je mimo rozsah čítače");
        Next();
        Node n;
        n.op = Op::Num;
        n.pos = t.pos;
        n.number = t.number;
        return Add(std::move(n));
      }
      case Token::Kind::Open: {
        Next();
        const int inner = Or();
        if (inner < 0) return -1;
        if (token_.kind != Token::Kind::Close) return Fail(token_.pos, "Chybí pravá závorka");
        Next();
        return inner;
      }
      case Token::Kind::Name: {
        Next();
        if (token_.kind == Token::Kind::Open) {
          const int call = Call(t, kExprFunctions);
          if (call >= 0 && nodes_[static_cast<size_t>(call)].function->gives != Gives::Number) {
            return Fail(t.pos, "Funkce " + t.text + " dává text, ne číslo");
          }
          return call;
        }
        Node n;
        n.op = Op::Counter;
        n.pos = t.pos;
        n.text = t.text;
        return Add(std::move(n));
      }
      case Token::Kind::String:
        return Fail(t.pos, "Očekáváno číslo, ne text");
      case Token::Kind::End:
        return Fail(t.pos, "Očekáván výraz");
      default:
        return Fail(t.pos, "Neočekávaný text ve výrazu: " + TokenText());
    }
  }

  // A text argument: a quoted string, line, a text variable or a function
  // that gives a text.
  int TextArgument() {
    const Token t = token_;
    if (t.kind == Token::Kind::String) {
      Next();
      Node n;
      n.op = Op::Str;
      n.pos = t.pos;
      n.text = t.text;
      return Add(std::move(n));
    }
    if (t.kind == Token::Kind::Name) {
      Next();
      if (token_.kind == Token::Kind::Open) {
        if (++depth_ > kMaxDepth) {
          return Fail(t.pos, "Výraz je příliš hluboce vnořený (nejvýše 64 úrovní)");
        }
        const int call = Call(t, kExprFunctions);
        --depth_;
        if (call >= 0 && nodes_[static_cast<size_t>(call)].function->gives != Gives::Text) {
          return Fail(t.pos, "Funkce " + t.text + " dává číslo, ne text");
        }
        return call;
      }
      Node n;
      n.op = SameWord(t.text, "line") || SameWord(t.text, "lastline") ? Op::Line : Op::TextName;
      n.pos = t.pos;
      n.text = t.text;
      return Add(std::move(n));
    }
    return Fail(t.pos, "Očekáván text: řetězec v uvozovkách, line nebo jméno textové proměnné");
  }

  // The arguments of the function named by name; the token is the opening
  // parenthesis.
  template <size_t N>
  int Call(const Token& name, const Function (&table)[N]) {
    const Function* f = FindFunction(table, name.text);
    if (!f) return Fail(name.pos, "Neznámá funkce " + name.text);
    if (token_.kind != Token::Kind::Open) return Fail(token_.pos, "Chybí levá závorka");
    const size_t open = token_.pos;
    Next();
    Node n;
    n.op = Op::Call;
    n.pos = name.pos;
    n.text = name.text;
    n.function = f;
    for (int i = 0; i < f->arity; ++i) {
      if (i > 0) {
        if (token_.kind != Token::Kind::Comma) return WrongArguments(*f, name);
        Next();
      }
      if (token_.kind == Token::Kind::Close || token_.kind == Token::Kind::Comma) {
        return WrongArguments(*f, name);
      }
      n.kids[i] = f->args[i] == ArgKind::Text ? TextArgument() : Or();
      if (n.kids[i] < 0) return -1;
    }
    if (token_.kind == Token::Kind::Comma) return WrongArguments(*f, name);
    if (token_.kind != Token::Kind::Close) {
      return Fail(token_.kind == Token::Kind::End ? open : token_.pos,
                  token_.kind == Token::Kind::End ? Bytes("Chybí pravá závorka")
                                                  : "Neočekávaný text ve výrazu: " + TokenText());
    }
    Next();
    return Add(std::move(n));
  }

  int WrongArguments(const Function& f, const Token& name) {
    char count[8];
    std::snprintf(count, sizeof count, "%d", f.arity);
    return Fail(name.pos, "Funkce " + name.text + " očekává " + count + " " + Arguments(f.arity));
  }

  const Bytes& text_;
  size_t pos_;
  size_t end_;
  std::vector<Node>& nodes_;
  ExprError& error_;
  Token token_;
  int depth_ = 0;
  bool failed_ = false;
};

struct TextValue {
  bool known = false;
  const Bytes* ref = nullptr;
  Bytes own;
  const Bytes& Get() const { return ref ? *ref : own; }
};

class Evaluator {
 public:
  Evaluator(const std::vector<Node>& nodes, ExprNames& names, ExprError& error)
      : nodes_(nodes), names_(names), error_(error) {}

  // A number: false on an error; known false when it depends on an unknown.
  bool Number(int index, int64_t& value, bool& known) {
    const Node& n = nodes_[static_cast<size_t>(index)];
    known = true;
    switch (n.op) {
      case Op::Num:
        value = n.number;
        return InRange(n, value);
      case Op::Counter:
        return CounterValue(n, value, known);
      case Op::Str:
      case Op::Line:
      case Op::TextName:
        return Fail(n.pos, "Očekáváno číslo, ne text");
      case Op::Call:
        return CallNumber(n, value, known);
      case Op::And:
      case Op::Or: {
        int64_t a = 0, b = 0;
        bool ka = false, kb = false;
        if (!Number(n.kids[0], a, ka)) return false;
        if (!ka) {
          known = false;
          return true;
        }
        // The right side only when the left does not decide.
        if ((n.op == Op::And) == (a == 0)) {
          value = a != 0 ? 1 : 0;
          return true;
        }
        if (!Number(n.kids[1], b, kb)) return false;
        known = kb;
        value = b != 0 ? 1 : 0;
        return true;
      }
      default:
        break;
    }
    int64_t a = 0, b = 0;
    bool ka = false, kb = true;
    if (!Number(n.kids[0], a, ka)) return false;
    if (n.kids[1] >= 0 && !Number(n.kids[1], b, kb)) return false;
    if (!ka || !kb) {
      known = false;
      return true;
    }
    switch (n.op) {
      case Op::Neg:
        value = -a;
        break;
      case Op::Not:
        value = a == 0 ? 1 : 0;
        break;
      case Op::BitNot:
        value = ~a;
        break;
      case Op::Mul:
        value = a * b;
        break;
      case Op::Div:
      case Op::Mod:
        if (b == 0) return Fail(n.pos, "Dělení nulou");
        value = n.op == Op::Div ? a / b : a % b;
        break;
      case Op::Add:
        value = a + b;
        break;
      case Op::Sub:
        value = a - b;
        break;
      case Op::Shl:
      case Op::Shr:
        if (b < 0 || b > 31) {
          return Fail(n.pos, "Posun o " + Number64(b) + " bitů je mimo rozsah 0 až 31");
        }
        value = n.op == Op::Shl ? a * (int64_t{1} << b) : a >> b;
        break;
      case Op::Lt:
        value = a < b;
        break;
      case Op::Gt:
        value = a > b;
        break;
      case Op::Le:
        value = a <= b;
        break;
      case Op::Ge:
        value = a >= b;
        break;
      case Op::Eq:
        value = a == b;
        break;
      case Op::Ne:
        value = a != b;
        break;
      case Op::BitAnd:
        value = a & b;
        break;
      case Op::BitXor:
        value = a ^ b;
        break;
      case Op::BitOr:
        value = a | b;
        break;
      default:
        break;
    }
    return InRange(n, value);
  }

  bool Text(int index, TextValue& value) {
    const Node& n = nodes_[static_cast<size_t>(index)];
    value = TextValue();
    switch (n.op) {
      case Op::Str:
        value.known = true;
        value.own = n.text;
        return true;
      case Op::Line:
        value.ref = names_.LastLine();
        value.known = value.ref != nullptr;
        return true;
      case Op::TextName: {
        int32_t number = 0;
        const Bytes* text = nullptr;
        bool known = false;
        switch (names_.Find(n.text, number, text, known)) {
          case ExprNames::Kind::Text:
            value.known = known;
            value.ref = text;
            return true;
          case ExprNames::Kind::Counter:
            return Fail(n.pos, n.text + " je čítač, ne textová proměnná");
          case ExprNames::Kind::None:
            return Fail(n.pos, names_.Checking()
                                   ? "Textová proměnná " + n.text +
                                         " není v kontrolovaných souborech nikde nastavena"
                                   : "Textová proměnná " + n.text + " nebyla dosud definována");
        }
        return false;
      }
      case Op::Call: {
        // sub(t, i, n), the one function that gives a text.
        TextValue t;
        int64_t from = 0, count = 0;
        bool kf = false, kc = false;
        if (!Text(n.kids[0], t) || !Number(n.kids[1], from, kf) || !Number(n.kids[2], count, kc)) {
          return false;
        }
        if (!t.known || !kf || !kc) return true;
        if (!Span(n, t.Get(), from, count)) return false;
        value.known = true;
        value.own = t.Get().substr(static_cast<size_t>(from), static_cast<size_t>(count));
        return true;
      }
      default:
        return Fail(n.pos, "Očekáván text: řetězec v uvozovkách, line nebo jméno textové proměnné");
    }
  }

  // The bytes of an item of a text.
  bool Item(int index, Bytes& bytes, bool& known) {
    const Node& n = nodes_[static_cast<size_t>(index)];
    known = false;
    if (n.function->fn == Fn::Sub) {
      TextValue t;
      if (!Text(index, t)) return false;
      known = t.known;
      if (known) bytes = t.Get();
      return true;
    }
    int64_t v = 0;
    if (!Number(n.kids[0], v, known)) return false;
    if (!known) return true;
    int size = 0;
    bool little = false;
    switch (n.function->fn) {
      case Fn::Byte:
        size = 1;
        break;
      case Fn::Be16:
        size = 2;
        break;
      case Fn::Le16:
        size = 2, little = true;
        break;
      case Fn::Be32:
        size = 4;
        break;
      case Fn::Le32:
        size = 4, little = true;
        break;
      case Fn::Hex: {
        char text[16];
        std::snprintf(text, sizeof text, v < 0 ? "-%llx" : "%llx",
                      static_cast<unsigned long long>(v < 0 ? -v : v));
        bytes = text;
        return true;
      }
      default:
        bytes = Number64(v);
        return true;
    }
    // The value as the bytes hold it, signed or not.
    const int64_t bits = 8 * size;
    if (size < 4 && (v < -(int64_t{1} << (bits - 1)) || v >= (int64_t{1} << bits))) {
      return Fail(n.pos, "Hodnota " + Number64(v) + " se nevejde do " +
                             (size == 1 ? Bytes("1 bajtu") : Bytes("2 bajtů")));
    }
    const uint32_t u = static_cast<uint32_t>(v);
    bytes.clear();
    for (int i = 0; i < size; ++i) {
      const int shift = little ? 8 * i : 8 * (size - 1 - i);
      bytes.push_back(static_cast<char>((u >> shift) & 0xFF));
    }
    return true;
  }

 private:
  bool Fail(size_t pos, const Bytes& message) {
    error_.pos = pos;
    error_.syntax = false;
    error_.message = message;
    return false;
  }

  bool InRange(const Node& n, int64_t v) {
    if (v >= kMin && v <= kMax) return true;
    return Fail(n.pos, "Výsledek výrazu je mimo rozsah čítače: " + Number64(v));
  }

  bool CounterValue(const Node& n, int64_t& value, bool& known) {
    int32_t number = 0;
    const Bytes* text = nullptr;
    if (SameWord(n.text, "line") || SameWord(n.text, "lastline")) {
      return Fail(n.pos, n.text + " je text, ne číslo");
    }
    switch (names_.Find(n.text, number, text, known)) {
      case ExprNames::Kind::Counter:
        value = number;
        return true;
      case ExprNames::Kind::Text:
        return Fail(n.pos, n.text + " je textová proměnná, ne čítač");
      case ExprNames::Kind::None:
        break;
    }
    return Fail(n.pos, names_.Checking()
                           ? "Čítač " + n.text + " není v kontrolovaných souborech nikde nastaven"
                           : "Čítač " + n.text + " nebyl dosud definován");
  }

  // Bytes [from, from + count) of a text of len bytes.
  bool Span(const Node& n, const Bytes& text, int64_t from, int64_t count) {
    const int64_t len = static_cast<int64_t>(text.size());
    if (count < 0) return Fail(n.pos, "Záporná délka " + Number64(count) + " ve funkci sub");
    if (from < 0 || from + count > len) {
      // One byte (or none, at an offset past the end) is named alone.
      if (count <= 1) {
        return Fail(n.pos, "Bajt " + Number64(from) + " leží mimo text o délce " + Number64(len));
      }
      return Fail(n.pos, "Bajty " + Number64(from) + " až " + Number64(from + count - 1) +
                             " leží mimo text o délce " + Number64(len));
    }
    return true;
  }

  bool CallNumber(const Node& n, int64_t& value, bool& known) {
    TextValue t;
    if (!Text(n.kids[0], t)) return false;
    int64_t at = 0;
    bool kat = true;
    TextValue u;
    switch (n.function->fn) {
      case Fn::ByteAt:
      case Fn::Be16At:
      case Fn::Be32At:
      case Fn::Le16At:
      case Fn::Le32At:
        if (!Number(n.kids[1], at, kat)) return false;
        break;
      case Fn::Find:
        if (!Text(n.kids[1], u)) return false;
        kat = u.known;
        break;
      default:
        break;
    }
    if (!t.known || !kat) {
      known = false;
      return true;
    }
    const Bytes& s = t.Get();
    switch (n.function->fn) {
      case Fn::Len:
        value = static_cast<int64_t>(s.size());
        return InRange(n, value);
      case Fn::Find: {
        const size_t found = s.find(u.Get());
        value = found == Bytes::npos ? -1 : static_cast<int64_t>(found);
        return InRange(n, value);
      }
      case Fn::HexNum:
      case Fn::DecNum:
        return ReadNumber(n, s, n.function->fn == Fn::HexNum ? 16 : 10, value);
      default:
        break;
    }
    const int size = n.function->fn == Fn::ByteAt                                   ? 1
                     : n.function->fn == Fn::Be16At || n.function->fn == Fn::Le16At ? 2
                                                                                    : 4;
    const bool little = n.function->fn == Fn::Le16At || n.function->fn == Fn::Le32At;
    const int64_t len = static_cast<int64_t>(s.size());
    if (at < 0 || at + size > len) {
      if (size == 1) {
        return Fail(n.pos, "Bajt " + Number64(at) + " leží mimo text o délce " + Number64(len));
      }
      return Fail(n.pos, "Bajty " + Number64(at) + " až " + Number64(at + size - 1) +
                             " leží mimo text o délce " + Number64(len));
    }
    uint64_t v = 0;
    for (int i = 0; i < size; ++i) {
      const int k = little ? size - 1 - i : i;
      v = (v << 8) | static_cast<unsigned char>(s[static_cast<size_t>(at + k)]);
    }
    value = static_cast<int64_t>(v);
    return InRange(n, value);
  }

  // hexnum and decnum: blanks, a sign, then at least one digit (for hexnum
  // after an optional 0x); what follows is left.
  bool ReadNumber(const Node& n, const Bytes& s, int base, int64_t& value) {
    size_t p = 0;
    while (p < s.size() && IsBlank(s[p])) ++p;
    bool negative = false;
    if (p < s.size() && (s[p] == '-' || s[p] == '+')) negative = s[p++] == '-';
    if (base == 16 && p + 2 < s.size() && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') &&
        HexDigit(s[p + 2]) >= 0) {
      p += 2;
    }
    auto digit = [&](char c) { return base == 16 ? HexDigit(c) : IsDigit(c) ? c - '0' : -1; };
    if (p >= s.size() || digit(s[p]) < 0) {
      return Fail(n.pos, base == 16 ? "Text neobsahuje šestnáctkové číslo"
                                    : "Text neobsahuje desítkové číslo");
    }
    int64_t v = 0;
    for (; p < s.size() && digit(s[p]) >= 0; ++p) {
      if (v <= kMax + 1) v = v * base + digit(s[p]);
    }
    value = negative ? -v : v;
    return InRange(n, value);
  }

  const std::vector<Node>& nodes_;
  ExprNames& names_;
  ExprError& error_;
};

}  // namespace

Expr::Expr() = default;
Expr::~Expr() = default;
Expr::Expr(Expr&&) noexcept = default;
Expr& Expr::operator=(Expr&&) noexcept = default;

bool Expr::Parse(const Bytes& text, size_t begin, size_t end, ExprError& error) {
  nodes_.clear();
  Parser parser(text, begin, end, nodes_, error);
  root_ = parser.Whole();
  return root_ >= 0;
}

bool StartsTextItem(const Bytes& text, size_t pos) {
  size_t p = pos;
  while (p < text.size() && IsNameByte(text[p])) ++p;
  return p < text.size() && text[p] == '(' &&
         FindFunction(kItemFunctions, std::string_view(text).substr(pos, p - pos)) != nullptr;
}

bool Expr::ParseItem(const Bytes& text, size_t begin, size_t* next, ExprError& error) {
  nodes_.clear();
  root_ = -1;
  // The item ends at its matching parenthesis; strings inside are skipped
  // as the tokenizer reads them.
  size_t open = begin;
  while (open < text.size() && text[open] != '(') ++open;
  int depth = 0;
  size_t p = open;
  size_t close = Bytes::npos;
  while (p < text.size()) {
    const char c = text[p];
    if (c == '"') {
      size_t q = p, wordEnd = p;
      Bytes word;
      GetNextWord(text, q, word, false, false, &wordEnd);
      p = wordEnd;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')' && --depth == 0) {
      close = p;
      break;
    }
    ++p;
  }
  if (close == Bytes::npos) {
    error.pos = open;
    error.syntax = true;
    error.message = "Chybí pravá závorka";
    return false;
  }
  Parser parser(text, begin, close + 1, nodes_, error);
  root_ = parser.Item();
  if (next) *next = close + 1;
  return root_ >= 0;
}

bool Expr::Evaluate(ExprNames& names, ExprValue& result, ExprError& error) const {
  Evaluator evaluator(nodes_, names, error);
  int64_t v = 0;
  bool known = false;
  if (!evaluator.Number(root_, v, known)) return false;
  result.known = known;
  result.value = static_cast<int32_t>(v);
  return true;
}

bool Expr::EvaluateItem(ExprNames& names, Bytes& bytes, bool& known, ExprError& error) const {
  Evaluator evaluator(nodes_, names, error);
  return evaluator.Item(root_, bytes, known);
}

}  // namespace tv
