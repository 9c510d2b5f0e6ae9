// The suite runner's plan (report names, shards, patterns), its timing
// summary and the XML text written in parts.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "suite/options.h"
#include "suite/plan.h"
#include "suite/report.h"
#include "suite/reports.h"

namespace tv::suite {
namespace {

TEST(SuitePlan, NamesAreRelativeToTheRootAndNeverAbsolute) {
  EXPECT_EQ(NormalPath("/a/./b//c/../d"), "/a/b/d");
  EXPECT_EQ(NormalPath("/.."), "/");
  EXPECT_EQ(RelativePath("/w/tests/smtp/helo.tvl", "/w"), "tests/smtp/helo.tvl");
  EXPECT_EQ(RelativePath("/w/tests/a.tvl", "/w/build"), "../tests/a.tvl");
  EXPECT_EQ(RelativePath("/other/a.tvl", "/w/x"), "../../other/a.tvl");
  EXPECT_EQ(RelativePath("/a.tvl", "/"), "a.tvl");
  EXPECT_EQ(ClassNameOf("tests/smtp/helo.tvl"), "tests.smtp");
  EXPECT_EQ(ClassNameOf("../tests/a.tvl"), "tests");
  EXPECT_EQ(ClassNameOf("a.tvl"), "tarvelin");
}

TEST(SuitePlan, EveryNameFallsIntoExactlyOneShard) {
  std::vector<size_t> sizes(4);
  for (int i = 0; i < 400; ++i) {
    const std::string name = "dir" + std::to_string(i % 7) + "/s" + std::to_string(i) + ".tvl";
    int in = 0;
    for (int k = 1; k <= 4; ++k) {
      if (InShard(name, k, 4)) {
        ++in;
        ++sizes[static_cast<size_t>(k - 1)];
      }
    }
    EXPECT_EQ(in, 1) << name;
    EXPECT_TRUE(InShard(name, 1, 1));
  }
  // Not one shard holding nearly everything.
  for (size_t size : sizes) EXPECT_GT(size, 60u);
}

TEST(SuitePlan, PatternsWithoutASlashMatchTheFileName) {
  EXPECT_TRUE(Matches("auth*", "tests/smtp/auth-plain.tvl"));
  EXPECT_FALSE(Matches("smtp", "tests/smtp/auth.tvl"));
  EXPECT_TRUE(Matches("tests/smtp/*", "tests/smtp/auth.tvl"));
  EXPECT_TRUE(Matches("*/smtp/*", "tests/smtp/deep/auth.tvl"));
  EXPECT_FALSE(Matches("smtp/*", "tests/smtp/auth.tvl"));
}

TEST(SuitePlan, ShardsFiltersAndUniqueNames) {
  Options o;
  o.scripts = {"/r/a/x.tvl", "/r/b/y.tvl", "/r/a/x.tvl", "/r/a/slow-x.tvl", "/r/a/x.tvl (2)"};
  o.filters = {"a/*"};
  o.excludes = {"slow-*"};
  std::vector<std::string> names;
  for (const Planned& p : MakePlan(o, "/r")) names.push_back(p.name + "|" + p.className);
  EXPECT_EQ(names, (std::vector<std::string>{"a/x.tvl|a", "a/x.tvl (2)|a", "a/x.tvl (2) (2)|a"}));

  // The shards of a plan together hold it once, in its order.
  o.filters.clear();
  o.excludes.clear();
  std::multiset<size_t> seen;
  for (int k = 1; k <= 3; ++k) {
    o.shard = k;
    o.shards = 3;
    for (const Planned& p : MakePlan(o, "/r")) seen.insert(p.index);
  }
  EXPECT_EQ(seen, (std::multiset<size_t>{0, 1, 2, 3, 4}));
}

TEST(SuiteTiming, MedianAndNearestRankPercentile) {
  const Timing one = Summarize({2.0});
  EXPECT_EQ(one.min, 2.0);
  EXPECT_EQ(one.median, 2.0);
  EXPECT_EQ(one.p95, 2.0);
  EXPECT_EQ(one.max, 2.0);
  std::vector<double> times;
  for (int i = 20; i >= 1; --i) times.push_back(i);
  const Timing t = Summarize(times);
  EXPECT_EQ(t.min, 1);
  EXPECT_EQ(t.median, 10.5);
  EXPECT_EQ(t.p95, 19);  // the 19th of 20
  EXPECT_EQ(t.max, 20);
}

// Text cut into random parts gives what the whole text gives.
TEST(SuiteReport, XmlTextInPartsIsTheWholeText) {
  std::mt19937 random(7);
  const std::string pieces[] = {"a",        "\xC5\xA1", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                "<&>",      "\r\n",     "\r",           "\x80",
                                "\xE2\x82", "\x01",     "\xED\xA0\x80"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
    for (bool log : {false, true}) {
      XmlTextStream stream(log);
      std::string parts;
      for (size_t pos = 0; pos < text.size();) {
        const size_t n = std::min(text.size() - pos, static_cast<size_t>(random() % 5));
        parts += stream.Put(text.data() + pos, n);
        pos += n;
      }
      parts += stream.End();
      EXPECT_EQ(parts, XmlEscape(log ? LogToUtf8(text) : text, false)) << round;
    }
  }
}

}  // namespace
}  // namespace tv::suite
