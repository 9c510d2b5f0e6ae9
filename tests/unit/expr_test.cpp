// Expressions and the byte items of texts: values, the exact range, and what
// each error says and where it points.
#include <gtest/gtest.h>

#include <map>

#include "engine/expr.h"

namespace tv {
namespace {

// Names as a test gives them; unknown ones stand for the checker's names.
class Names : public ExprNames {
 public:
  std::map<Bytes, int32_t> counters;
  std::map<Bytes, Bytes> texts;
  Bytes line = "last line";
  bool checking = false;

  Kind Find(const Bytes& name, int32_t& number, const Bytes*& text, bool& known) override {
    known = !checking;
    if (counters.count(name)) {
      number = counters[name];
      return Kind::Counter;
    }
    if (texts.count(name)) {
      text = &texts[name];
      return Kind::Text;
    }
    return Kind::None;
  }
  const Bytes* LastLine() override { return checking ? nullptr : &line; }
  bool Checking() const override { return checking; }
};

struct Result {
  bool ok = false;
  bool known = false;
  int32_t value = 0;
  ExprError error;
};

Result Eval(const Bytes& text, Names& names) {
  Result r;
  Expr e;
  ExprValue v;
  r.ok = e.Parse(text, 0, text.size(), r.error) && e.Evaluate(names, v, r.error);
  r.known = v.known;
  r.value = v.value;
  return r;
}

TEST(Expr, ValuesFollowCsRules) {
  Names names;
  names.counters = {{"n", 7}, {"neg", -5}, {"čítač", 2}};
  names.texts = {{"t", Bytes("\x01\x02\xFF\x80", 4)}};
  const std::pair<Bytes, int32_t> cases[] = {
      {"1 + 2 * 3", 7},
      {"(1 + 2) * 3", 9},
      {"10 - 4 - 3", 3},  // left to right
      {"7 / 2", 3},
      {"-7 / 2", -3},  // truncated toward zero
      {"-7 % 3", -1},
      {"2 << 3 >> 1", 8},
      {"1 | 2 ^ 3 & 1", 3},
      {"5 > 3 == 1", 1},
      {"!0 + !7 + ~0", 0},
      {"0 && 1 / 0", 0},  // the right side is not evaluated
      {"1 || 1 / 0", 1},
      {"0x7fffffff", 2147483647},
      {"-2147483648", INT32_MIN},
      {"n * neg + čítač", -33},
      {"len(t) + len(\"\") + len(line)", 13},
      {"byte(t, 2) + byte(t, 3)", 383},  // bytes are unsigned
      {"be16(t, 0)", 0x0102},
      {"le16(t, 0)", 0x0201},
      {"be32(\"\\0\\1\\2\\3\", 0)", 0x00010203},
      {"le32(\"\\1\\2\\0\\0\", 0)", 0x0201},
      {"hexnum(\"  ff;x\") + hexnum(\"0X1F\") + hexnum(\"-a\")", 255 + 31 - 10},
      {"decnum(\"+42abc\") - decnum(\" -8\")", 50},
      {"find(\"abcabc\", \"ca\") + find(t, \"x\")", 1},
      {"byte(sub(\"xyz\", 1, 2), 1)", 'z'},
  };
  for (const auto& c : cases) {
    const Result r = Eval(c.first, names);
    EXPECT_TRUE(r.ok && r.known) << c.first << ": " << r.error.message;
    EXPECT_EQ(r.value, c.second) << c.first;
  }
}

TEST(Expr, ErrorsSayWhatAndWhere) {
  Names names;
  names.counters = {{"n", 1}, {"big", INT32_MAX}};
  names.texts = {{"t", "abcd"}};
  const struct {
    Bytes text;
    bool syntax;
    size_t pos;
    Bytes message;
  } cases[] = {
      {"", true, 0, "Očekáván výraz"},
      {"1 +", true, 3, "Očekáván výraz"},
      {"(1 + 2", true, 6, "Chybí pravá závorka"},
      {"1 2", true, 2, "Neočekávaný text ve výrazu: 2"},
      {"12abc + 1", true, 0, "Neočekávaný text ve výrazu: 12abc"},
      {"2147483648", true, 0, "Číslo 2147483648 je mimo rozsah čítače"},
      {"nope(1)", true, 0, "Neznámá funkce nope"},
      {"len(t, t)", true, 0, "Funkce len očekává 1 argument"},
      {"byte(t)", true, 0, "Funkce byte očekává 2 argumenty"},
      {"len(5)", true, 4, "Očekáván text: řetězec v uvozovkách, line nebo jméno textové proměnné"},
      {"sub(t, 0, 1) + 1", true, 0, "Funkce sub dává text, ne číslo"},
      {"len(len(t))", true, 4, "Funkce len dává číslo, ne text"},
      {"\"a\" + 1", true, 0, "Očekáváno číslo, ne text"},
      {"1 / (n - 1)", false, 2, "Dělení nulou"},
      {"big + n", false, 4, "Výsledek výrazu je mimo rozsah čítače: 2147483648"},
      {"1 << 32", false, 2, "Posun o 32 bitů je mimo rozsah 0 až 31"},
      {"byte(t, 4)", false, 0, "Bajt 4 leží mimo text o délce 4"},
      {"be32(t, 1)", false, 0, "Bajty 1 až 4 leží mimo text o délce 4"},
      {"len(sub(t, 3, 2))", false, 4, "Bajty 3 až 4 leží mimo text o délce 4"},
      {"len(sub(t, -1, 1))", false, 4, "Bajt -1 leží mimo text o délce 4"},
      {"len(sub(t, 5, 0))", false, 4, "Bajt 5 leží mimo text o délce 4"},
      {"len(sub(t, 0, -1))", false, 4, "Záporná délka -1 ve funkci sub"},
      {"hexnum(\"xyz\")", false, 0, "Text neobsahuje šestnáctkové číslo"},
      {"decnum(\"0x\") + decnum(\"x1\")", false, 15, "Text neobsahuje desítkové číslo"},
      {"hexnum(\"ffffffff\")", false, 0, "Výsledek výrazu je mimo rozsah čítače: 4294967295"},
      {"le32(\"\\1\\2\\255\\128\", 0)", false, 0,
       "Výsledek výrazu je mimo rozsah čítače: 2164195841"},
      {"missing + 1", false, 0, "Čítač missing nebyl dosud definován"},
      {"len(missing)", false, 4, "Textová proměnná missing nebyla dosud definována"},
      {"t + 1", false, 0, "t je textová proměnná, ne čítač"},
      {"len(n)", false, 4, "n je čítač, ne textová proměnná"},
      {"line + 1", false, 0, "line je text, ne číslo"},
  };
  for (const auto& c : cases) {
    const Result r = Eval(c.text, names);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_EQ(r.error.syntax, c.syntax) << c.text;
    EXPECT_EQ(r.error.pos, c.pos) << c.text;
    EXPECT_EQ(r.error.message, c.message) << c.text;
  }
}

// Long or deep expressions are refused, not followed down the stack.
TEST(Expr, SizeAndDepthAreBounded) {
  Names names;
  Bytes sum = "1";
  for (int i = 0; i < 400; ++i) sum += " + 1";
  EXPECT_EQ(Eval(sum, names).value, 401);
  for (int i = 0; i < 600; ++i) sum += " + 1";
  Result r = Eval(sum, names);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.message, "Výraz je příliš rozsáhlý (nejvýše 1000 členů)");
  r = Eval(Bytes(65, '(') + "1" + Bytes(65, ')'), names);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.message, "Výraz je příliš hluboce vnořený (nejvýše 64 úrovní)");
  r = Eval(Bytes(100000, '-') + "1", names);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.error.syntax);
}

// The checker's names have no values: what depends on them is unknown, and
// only what is certain whatever the run is an error.
TEST(Expr, UnknownValuesAreNotJudged) {
  Names names;
  names.checking = true;
  names.counters = {{"n", 0}};
  names.texts = {{"t", ""}};
  EXPECT_TRUE(Eval("n / 0 + 1", names).ok);  // n unknown: the division is not judged
  EXPECT_FALSE(Eval("n / 0 + 1", names).known);
  EXPECT_TRUE(Eval("byte(t, 100) + len(line)", names).ok);
  Result r = Eval("2 / 0", names);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.message, "Dělení nulou");
  r = Eval("other + 1", names);
  EXPECT_EQ(r.error.message, "Čítač other není v kontrolovaných souborech nikde nastaven");
  r = Eval("len(other)", names);
  EXPECT_EQ(r.error.message,
            "Textová proměnná other není v kontrolovaných souborech nikde nastavena");
}

Result Item(const Bytes& text, Names& names, Bytes& bytes, size_t& next) {
  Result r;
  Expr e;
  bool known = false;
  r.ok = e.ParseItem(text, 0, &next, r.error) && e.EvaluateItem(names, bytes, known, r.error);
  r.known = known;
  return r;
}

TEST(Expr, ItemsGiveBytesAndEndAtTheirParenthesis) {
  Names names;
  names.counters = {{"n", 500}};
  const struct {
    Bytes text;
    Bytes bytes;
    size_t next;
  } cases[] = {
      {"byte(65) rest", "A", 8},
      {"byte(-1)", "\xFF", 8},
      {"be16(n)", "\x01\xF4", 7},
      {"le16(-2)", "\xFE\xFF", 8},
      {"be32(0x01020304)", "\x01\x02\x03\x04", 16},
      {"le32(-1)", "\xFF\xFF\xFF\xFF", 8},
      {"hex(n) x", "1f4", 6},
      {"hex(-n)", "-1f4", 7},
      {"dec(n - 1000)", "-500", 13},
      {"sub(\"a ) b\", 1, 3)", " ) ", 18},  // a parenthesis in a string does not end it
      {"BYTE( 1 + ( 2 ) )tail", "\x03", 17},
  };
  for (const auto& c : cases) {
    Bytes bytes;
    size_t next = 0;
    const Result r = Item(c.text, names, bytes, next);
    EXPECT_TRUE(r.ok && r.known) << c.text << ": " << r.error.message;
    EXPECT_EQ(bytes, c.bytes) << c.text;
    EXPECT_EQ(next, c.next) << c.text;
  }
  Bytes bytes;
  size_t next = 0;
  Result r = Item("byte(256)", names, bytes, next);
  EXPECT_EQ(r.error.message, "Hodnota 256 se nevejde do 1 bajtu");
  r = Item("be16(65536)", names, bytes, next);
  EXPECT_EQ(r.error.message, "Hodnota 65536 se nevejde do 2 bajtů");
  r = Item("byte(1", names, bytes, next);
  EXPECT_EQ(r.error.message, "Chybí pravá závorka");
  EXPECT_EQ(r.error.pos, 4u);
  EXPECT_TRUE(StartsTextItem("hex(1)", 0));
  EXPECT_TRUE(StartsTextItem("x Sub(", 2));
  EXPECT_FALSE(StartsTextItem("hex (1)", 0));  // the parenthesis must follow the name
  EXPECT_FALSE(StartsTextItem("len(t)", 0));   // a function of expressions, not an item
}

}  // namespace
}  // namespace tv
