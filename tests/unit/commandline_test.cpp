#include <gtest/gtest.h>

#include "app/mainwindow.h"

namespace tv::test {
namespace {

struct Parsed {
  StartupOptions options;
  SymbolList symbols;
  CounterList counters;
  TextList texts;
};

Parsed Parse(const Bytes& text) {
  Parsed p;
  p.symbols.Define("stale");
  ParseCommandLine(text, p.options, p.symbols, p.counters, p.texts);
  return p;
}

Bytes ErrorOf(const Bytes& text) {
  try {
    Parse(text);
  } catch (const CommandLineError& e) {
    return e.text;
  }
  return "(no error)";
}

TEST(CommandLine, OptionsAndTheScriptName) {
  Parsed p = Parse("-dDEBUG -D 'TWO WORDS'\t-n count 5 -n count -7x -pfile.log script.tvl more");
  EXPECT_EQ(p.symbols.Items(), (std::vector<Bytes>{"DEBUG", "TWO WORDS"}));
  EXPECT_EQ(*p.counters.Find("count", false), -7);
  EXPECT_EQ(p.counters.Items().size(), 1u);
  EXPECT_EQ(p.options.logFileName, "file.log");
  EXPECT_EQ(p.options.scriptName, "script.tvl");
  EXPECT_EQ(p.options.connectMode, 0);

  p = Parse("-c host 110 -a 99999999999 \"my dir\\a b.tvl\"");
  EXPECT_EQ(p.options.connectMode, 2);
  EXPECT_EQ(p.options.server, "");
  EXPECT_EQ(p.options.port, INT32_MAX);
  EXPECT_EQ(p.options.scriptName, "my dir\\a b.tvl");

  p = Parse(" -a 1 -c\"h 'x\"abc -p - ");
  EXPECT_EQ(p.options.connectMode, 1);
  EXPECT_EQ(p.options.server, "h 'x");
  EXPECT_EQ(p.options.port, 0);  // "abc" is no number
  EXPECT_EQ(p.options.logFileName, "-");
  EXPECT_EQ(p.options.scriptName, "");
}

TEST(CommandLine, AcceptTakesAnAddressThatIsOne) {
  for (const char* address : {"::1", "127.0.0.1", "[::1]"}) {
    SCOPED_TRACE(address);
    Parsed p = Parse(Bytes("-a 8443 ") + address + " server.tvl");
    EXPECT_EQ(p.options.connectMode, 2);
    EXPECT_EQ(p.options.port, 8443);
    EXPECT_EQ(p.options.server, address);
    EXPECT_EQ(p.options.scriptName, "server.tvl");
  }
  // Any other word is the script's name or the next option, as before.
  for (const char* rest : {"localhost.tvl", "1.2.3.tvl", "-p x.log", "\"::1 \""}) {
    SCOPED_TRACE(rest);
    Parsed p = Parse(Bytes("-a 8443 ") + rest);
    EXPECT_EQ(p.options.server, "");
    EXPECT_EQ(p.options.port, 8443);
  }
  EXPECT_EQ(Parse("-a 1 ::1 -c host 2").options.server, "host");
  EXPECT_EQ(Parse("-a 1 ::1").options.scriptName, "");
}

TEST(CommandLine, WordsEndTheOptions) {
  Parsed p = Parse("-- -odd.tvl -p x");
  EXPECT_EQ(p.options.scriptName, "-odd.tvl");
  EXPECT_EQ(p.options.logFileName, "TARVELIN.LOG");

  p = Parse("a.tvl -p x.log");
  EXPECT_EQ(p.options.scriptName, "a.tvl");
  EXPECT_EQ(p.options.logFileName, "TARVELIN.LOG");

  p = Parse("'a b'c.tvl");  // parsing goes on right after the closing quote
  EXPECT_EQ(p.options.scriptName, "a b");

  p = Parse("");
  EXPECT_TRUE(p.symbols.Items().empty());  // emptied even with nothing to add
  EXPECT_EQ(p.options.scriptName, "");
}

TEST(CommandLine, ThrownTexts) {
  const Bytes dash = "Za '-' v příkazové řádce musí následovat písmeno-parametr";
  const Bytes open = "Řetězec na konci řádky není ukončen";
  EXPECT_EQ(ErrorOf("-"), dash);
  EXPECT_EQ(ErrorOf("-d x - y"), dash);
  EXPECT_EQ(ErrorOf("-x"), "Neznámý parametr: x");
  EXPECT_EQ(ErrorOf("-1"), "Neznámý parametr: 1");  // digits of the table are no letters
  EXPECT_EQ(ErrorOf("-P x"), "Neznámý parametr: P");
  EXPECT_EQ(ErrorOf("-p"), "Parametr p vyžaduje 1 parametr");
  EXPECT_EQ(ErrorOf("-n count"), "Parametr n vyžaduje 2 parametry");
  EXPECT_EQ(ErrorOf("-c  \t"), "Parametr c vyžaduje 2 parametry");
  EXPECT_EQ(ErrorOf("\"script.tvl"), open);
  EXPECT_EQ(ErrorOf("-p 'log"), open);
  EXPECT_EQ(ErrorOf("ok.tvl 'second"), open);
}

}  // namespace
}  // namespace tv::test
