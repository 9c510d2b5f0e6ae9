// The arguments of the headless program rebuilt into the command-line text
// that the parser reads: every argument must come back as it was given.
#include <gtest/gtest.h>

#include "app/mainwindow.h"
#include "posix/cmdline.h"

namespace tv::posix {
namespace {

struct Parsed {
  StartupOptions options;
  SymbolList symbols;
  CounterList counters;
  TextList texts;
};

Parsed Parse(const std::vector<std::string>& args) {
  Parsed p;
  ParseCommandLine(RebuildCommandLine(args), p.options, p.symbols, p.counters, p.texts);
  return p;
}

TEST(PosixCommandLine, ArgumentsAreJoinedAndQuotedOnlyWhenNeeded) {
  EXPECT_EQ(RebuildCommandLine({}), "");
  EXPECT_EQ(RebuildCommandLine({"-p", "x.log", "s.tvl"}), "-p x.log s.tvl");
  EXPECT_EQ(RebuildCommandLine({"-d", "TWO WORDS"}), "-d \"TWO WORDS\"");
  EXPECT_EQ(RebuildCommandLine({"tab\there"}), "\"tab\there\"");
  EXPECT_EQ(RebuildCommandLine({""}), "\"\"");
  EXPECT_EQ(RebuildCommandLine({"say \"hi\""}), "'say \"hi\"'");
  EXPECT_EQ(RebuildCommandLine({"it's"}), "it's") << "no blank: as it stands";
}

TEST(PosixCommandLine, WhatTheParserReadsBackIsWhatWasGiven) {
  Parsed p = Parse({"-p", "my log.txt", "-d", "A B", "-D", "", "-n", "count", "-5", "-c",
                    "host name", "110", "dir with blank/s.tvl", "ignored"});
  EXPECT_EQ(p.options.logFileName, "my log.txt");
  EXPECT_TRUE(p.symbols.IsDefined("A B"));
  EXPECT_TRUE(p.symbols.IsDefined(""));
  ASSERT_NE(p.counters.Find("count", false), nullptr);
  EXPECT_EQ(*p.counters.Find("count", false), -5);
  EXPECT_EQ(p.options.connectMode, 1);
  EXPECT_EQ(p.options.server, "host name");
  EXPECT_EQ(p.options.port, 110);
  EXPECT_EQ(p.options.scriptName, "dir with blank/s.tvl");

  p = Parse({"--", "-odd.tvl"});
  EXPECT_EQ(p.options.scriptName, "-odd.tvl");
  p = Parse({"-d", "quote \" inside", "a\nb.tvl"});
  EXPECT_TRUE(p.symbols.IsDefined("quote \" inside"));
  EXPECT_EQ(p.options.scriptName, "a\nb.tvl") << "a line end inside a name is no blank";
}

TEST(PosixCommandLine, UsageIsDecidedBeforeAnythingStarts) {
  EXPECT_TRUE(NamesNothingToDo(""));
  EXPECT_TRUE(NamesNothingToDo(RebuildCommandLine({"-d", "X", "-p", "l.log"})));
  EXPECT_TRUE(NamesNothingToDo(RebuildCommandLine({"--"})));
  EXPECT_FALSE(NamesNothingToDo(RebuildCommandLine({"s.tvl"})));
  EXPECT_FALSE(NamesNothingToDo(RebuildCommandLine({"-a", "110"})));
  EXPECT_FALSE(NamesNothingToDo(RebuildCommandLine({"-c", "h", "1"})));
  // A command line that does not parse is reported by the program itself.
  EXPECT_FALSE(NamesNothingToDo(RebuildCommandLine({"-x"})));
  EXPECT_FALSE(NamesNothingToDo(RebuildCommandLine({"-p"})));
}

}  // namespace
}  // namespace tv::posix
