#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <random>
#include <regex>

#include "engine/pattern.h"

namespace tv::test {
namespace {

Bytes ReasonOf(const Bytes& text) {
  Pattern p;
  Bytes reason;
  EXPECT_FALSE(p.Compile(text, reason)) << text;
  EXPECT_FALSE(p.Compiled());
  return reason;
}

bool Finds(const Bytes& pattern, const Bytes& line) {
  Pattern p;
  Bytes reason;
  EXPECT_TRUE(p.Compile(pattern, reason)) << pattern << ": " << reason;
  return p.Search(line.data(), line.size());
}

// Group 0 and the groups, a group that took no part written as "-".
std::vector<Bytes> GroupsOf(const Bytes& pattern, const Bytes& line) {
  Pattern p;
  Bytes reason;
  EXPECT_TRUE(p.Compile(pattern, reason)) << pattern << ": " << reason;
  std::vector<Pattern::Group> groups;
  std::vector<Bytes> out;
  if (!p.Search(line.data(), line.size(), groups)) return out;
  for (const Pattern::Group& g : groups) out.push_back(g.matched ? g.text : Bytes("-"));
  return out;
}

TEST(Pattern, CompileErrorsGiveTheirReasons) {
  EXPECT_EQ(ReasonOf("(a"), "Nespárovaná kulatá závorka v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("a)"), "Nespárovaná kulatá závorka v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("[ab"), "Neuzavřená hranatá závorka v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("*a"), "Opakování v regulárním výrazu nemá co opakovat.");
  EXPECT_EQ(ReasonOf("a{2,1}"),
            "Neplatný počet opakování ve složených závorkách regulárního výrazu.");
  EXPECT_EQ(ReasonOf("[z-a]"), "Neplatný rozsah znaků v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("a\\"), "Neplatná sekvence se zpětným lomítkem v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("a|+"), "Opakování v regulárním výrazu nemá co opakovat.");
  EXPECT_EQ(ReasonOf("(*)"), "Opakování v regulárním výrazu nemá co opakovat.");
  EXPECT_EQ(ReasonOf("(a)\\1"),
            "Zpětné odkazy (\\1 až \\9) nejsou v regulárních výrazech podporovány.");
  EXPECT_EQ(ReasonOf("a(?!b)"), "Aserce (?= a (?! nejsou v regulárních výrazech podporovány.");
  EXPECT_EQ(
      ReasonOf("(?i)(?i)a"),
      "Konstrukce (? je v regulárním výrazu dovolena jen jako (?: a (?i) jen na jeho začátku.");
  const Bytes tooDeep = "Příliš hluboce vnořené závorky v regulárním výrazu (nejvýše 32 úrovní).";
  EXPECT_EQ(ReasonOf(Bytes(33, '(') + "a" + Bytes(33, ')')), tooDeep);
  EXPECT_EQ(ReasonOf(Bytes(100000, '(')), tooDeep);
  const Bytes tooLarge = "Regulární výraz je příliš rozsáhlý.";
  EXPECT_EQ(ReasonOf("x{501}"), tooLarge);
  EXPECT_EQ(ReasonOf("(((((((ab){2}){2}){2}){2}){2}){2}){2}"), tooLarge);
  EXPECT_EQ(ReasonOf("a{99999999999999999999}"), tooLarge);
  EXPECT_EQ(ReasonOf(Bytes(600, 'a')), tooLarge);
  EXPECT_EQ(ReasonOf("a{" + Bytes(40, '5')), "Nespárovaná složená závorka v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("a{2," + Bytes(40, '5')), "Nespárovaná složená závorka v regulárním výrazu.");
  // At the limits.
  EXPECT_TRUE(Finds(Bytes(32, '(') + "a" + Bytes(32, ')'), "a"));
  EXPECT_TRUE(Finds("x{490}", Bytes(490, 'x')));
  // Inside brackets the characters are plain: no groups, no back-references.
  EXPECT_TRUE(Finds("[(]{3}[\\]]",
                    "((("
                    "]"));
}

TEST(Pattern, SearchAnchorsAndGroupsAsEcmaScript) {
  EXPECT_TRUE(Finds("250", "x 250 y"));
  EXPECT_FALSE(Finds("^250", "x 250"));
  EXPECT_FALSE(Finds("250$", "250 "));
  EXPECT_TRUE(Finds("^$", ""));
  EXPECT_EQ(GroupsOf("b+", "aabbbcbb"), (std::vector<Bytes>{"bbb"}));
  EXPECT_EQ(GroupsOf("(a|ab)(c|bcd)", "abcd"), (std::vector<Bytes>{"abcd", "a", "bcd"}));
  EXPECT_EQ(GroupsOf("(a*?)(a*)", "aaa"), (std::vector<Bytes>{"aaa", "", "aaa"}));
  EXPECT_EQ(GroupsOf("(x)?y", "y"), (std::vector<Bytes>{"y", "-"}));
  EXPECT_EQ(GroupsOf("(a)|(b)", "b"), (std::vector<Bytes>{"b", "-", "b"}));
  EXPECT_EQ(GroupsOf("(\\d+)\\.(\\d+)", "v 12.34 5.6"), (std::vector<Bytes>{"12.34", "12", "34"}));
  EXPECT_EQ(GroupsOf("^Content-Length: *([0-9]+)", "Content-Length:   77"),
            (std::vector<Bytes>{"Content-Length:   77", "77"}));
  EXPECT_EQ(GroupsOf("(?:k)=(v)", "k=v"), (std::vector<Bytes>{"k=v", "v"}));
  EXPECT_TRUE(GroupsOf("^a", "b").empty());
  Pattern p;
  Bytes reason;
  ASSERT_TRUE(p.Compile("(a)(?:b)((c)|d)", reason));
  EXPECT_EQ(p.GroupCount(), 3u);
}

TEST(Pattern, CaseInsensitiveFoldsOnlyAsciiLetters) {
  EXPECT_TRUE(Finds("(?i)content-type:", "Content-Type: x"));
  EXPECT_TRUE(Finds("(?i)^EHLO [a-z]+$", "ehlo Host"));
  EXPECT_FALSE(Finds("content-type:", "Content-Type: x"));
  // Windows-1250 letters: Č 0xC8 / č 0xE8, Ž 0x8E / ž 0x9E.
  EXPECT_FALSE(Finds("(?i)\xE8", "\xC8"));
  EXPECT_FALSE(Finds("(?i)^\x9E$", "\x8E"));
  EXPECT_TRUE(Finds("(?i)^\x8Elu\x9D$", "\x8ELU\x9D"));
  EXPECT_FALSE(Finds("(?i)[\xE0-\xFE]", "\xC8"));
  EXPECT_TRUE(Finds("[\x80-\xFF]", "a\xE8"));
  EXPECT_FALSE(Finds("\\w", "\xE8"));
  EXPECT_TRUE(Finds(".", "\xE8"));
}

// Each iteration of a repetition starts with the groups inside it unset, and
// an iteration beyond the minimum that matches nothing is not made: the
// groups ECMAScript gives (a group that took no part written as "-").
TEST(Pattern, GroupsInRepetitionsAsEcmaScript) {
  EXPECT_EQ(GroupsOf("(?:(a)|b)+", "ab"), (std::vector<Bytes>{"ab", "-"}));
  EXPECT_EQ(GroupsOf("(z)((a+)?(b+)?(c))*", "zaacbbbcac"),
            (std::vector<Bytes>{"zaacbbbcac", "z", "ac", "a", "-", "c"}));
  EXPECT_EQ(GroupsOf("(?:(x)|y){2}", "xy"), (std::vector<Bytes>{"xy", "-"}));
  EXPECT_EQ(GroupsOf("()?", "a"), (std::vector<Bytes>{"", "-"}));
  EXPECT_EQ(GroupsOf("(a*)*", "b"), (std::vector<Bytes>{"", "-"}));
  EXPECT_EQ(GroupsOf("(a*)+", "b"), (std::vector<Bytes>{"", ""}));
  EXPECT_EQ(GroupsOf("(a|)+b", "aab"), (std::vector<Bytes>{"aab", "a"}));
  // Two paths at the same place, one inside an iteration that has consumed
  // a byte, the other inside one that has not: the second may not end its
  // iteration, the first may, so the machine keeps both.
  EXPECT_EQ(GroupsOf("(?:((c|a*))*?)+", "ac"), (std::vector<Bytes>{"ac", "c", "c"}));
  EXPECT_EQ(GroupsOf("((c|(ab)?"
                     "?)(?:(b*){1,2}?|((a|))?))+",
                     "bcacbcb"),
            (std::vector<Bytes>{"bcacbcb", "cb", "c", "-", "b", "-", "-"}));
}

// Ranges compare the bytes of the code page unsigned; code units above 255
// match no byte.
TEST(Pattern, RangesOverEveryByte) {
  // Windows-1250: ž 0x9E, č 0xE8.
  EXPECT_TRUE(Finds("^[a-\x9E]+$", "az\x9E\x80"));
  EXPECT_FALSE(Finds("[a-\x9E]", "\xE8"));
  EXPECT_EQ(GroupsOf("[\x01-\xFF]+", "ab\xE8\xFF"), (std::vector<Bytes>{"ab\xE8\xFF"}));
  EXPECT_TRUE(Finds("[\\x80-\\xff]{2}", "a\x80\xE8"));
  EXPECT_EQ(ReasonOf("[\xE8-a]"), "Neplatný rozsah znaků v regulárním výrazu.");
  EXPECT_TRUE(Finds("[A-[]", "["));
  EXPECT_TRUE(Finds("^[\\xfe-\\u0100]$", "\xFF"));
  EXPECT_FALSE(Finds("[\\u0100-\\u0200]|\\u0101", "\x01\x00"));
}

// The reasons of refusals the reader gives as the library's compiler gave
// them before it.
TEST(Pattern, RefusalsWhereTheyWere) {
  const Bytes paren = "Nespárovaná kulatá závorka v regulárním výrazu.";
  const Bytes badCount = "Neplatný počet opakování ve složených závorkách regulárního výrazu.";
  const Bytes range = "Neplatný rozsah znaků v regulárním výrazu.";
  const Bytes bracket = "Neuzavřená hranatá závorka v regulárním výrazu.";
  const Bytes escape = "Neplatná sekvence se zpětným lomítkem v regulárním výrazu.";
  const Bytes collate = "Neplatný název znaku pro porovnávání v regulárním výrazu.";
  const Bytes unknown = "Regulární výraz nelze přeložit.";
  // A quantifier after an assertion has no atom: the group it is in (or
  // the pattern) does not end where it should.
  EXPECT_EQ(ReasonOf("^*"), paren);
  EXPECT_EQ(ReasonOf("(\\b{2})"), paren);
  EXPECT_EQ(ReasonOf("a{"), badCount);
  EXPECT_EQ(ReasonOf("a{,2}"), badCount);
  EXPECT_EQ(ReasonOf("a{2,1}\\"), escape);
  EXPECT_EQ(ReasonOf("[a-"), range);
  EXPECT_EQ(ReasonOf("[\\d-z]"), range);
  EXPECT_EQ(ReasonOf("[a-\\w]"), range);
  EXPECT_EQ(ReasonOf("[z-a"), range);
  EXPECT_EQ(ReasonOf("[a-z"), bracket);
  EXPECT_EQ(ReasonOf("[\\1]"), bracket);
  EXPECT_EQ(ReasonOf("[\\B]"), bracket);
  EXPECT_EQ(ReasonOf("[[:alpha:]"), bracket);
  EXPECT_EQ(ReasonOf("[[:alpha]"), "Neznámá třída znaků v regulárním výrazu.");
  EXPECT_EQ(ReasonOf("[[:foo:]]"), collate);
  EXPECT_EQ(ReasonOf("[[.foo.]]"), collate);
  EXPECT_EQ(ReasonOf("[[.hyphen.]]"), unknown);
  EXPECT_EQ(ReasonOf("[[=a=]]"), unknown);
  EXPECT_EQ(ReasonOf("[[:Alpha:]]"), unknown);
  EXPECT_EQ(ReasonOf("\\x4g"), escape);
  EXPECT_EQ(ReasonOf("[\\u12]"), escape);
  EXPECT_EQ(ReasonOf("\\c"), escape);
  EXPECT_EQ(ReasonOf("(?:a"), paren);
  EXPECT_EQ(ReasonOf("a**"), "Opakování v regulárním výrazu nemá co opakovat.");
  // Named classes inside brackets are read whole.
  EXPECT_TRUE(Finds("^[[:digit:]+*]+$", "1+*"));
  EXPECT_TRUE(Finds("[^[:alpha:]]", "1"));
  EXPECT_TRUE(Finds("(?i)[[:upper:]]", "a"));
}

// A match cannot begin at a byte no path begins with, and the positions
// skipped for that must be the only ones.
TEST(Pattern, SkippedPositionsLoseNoMatch) {
  EXPECT_EQ(GroupsOf(".??[\\r]", "\r"), (std::vector<Bytes>{"\r"}));
  EXPECT_EQ(GroupsOf("(?:x|\\d)(y?)", "aa7y"), (std::vector<Bytes>{"7y", "y"}));
  EXPECT_EQ(GroupsOf("\\bOK\\b", "xOK OK"), (std::vector<Bytes>{"OK"}));
  EXPECT_EQ(GroupsOf("a*$", "bbb"), (std::vector<Bytes>{""}));
  EXPECT_TRUE(Finds("$", "abc"));
}

// The literal test before the matcher must never change a result, and the
// one-pass search must find what the standard backtracking matcher finds,
// with the same groups: random patterns over a small alphabet against random
// lines.
TEST(Pattern, LiteralTestAgreesWithTheMatcher) {
  std::mt19937 random(12345);
  const char* pieces[] = {"a",     "b",    "c",   ".",    "^",    "$",   "*",    "+",    "?",
                          "{2}",   "{1,}", "|",   "(",    ")",    "(?:", "[ab]", "[^a]", "\\.",
                          "\\d",   "\\b",  "ab",  "(?i)", "A",    "*?",  "+?",   "??",   "{0,2}",
                          "[a-c]", "\\w",  "\\s", "\\B",  "(a*)", "[A.]"};
  const char letters[] = "abcAB.1 ";
  int compiled = 0;
  for (int round = 0; round < 10000; ++round) {
    Bytes text;
    const int n = 1 + static_cast<int>(random() % 7);
    for (int i = 0; i < n; ++i) text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
    Pattern p;
    Bytes reason;
    if (!p.Compile(text, reason)) continue;
    ++compiled;
    // The backtracking matcher is safe on lines this short: it is the
    // reference for what is found and for the groups.
    std::regex::flag_type flags = std::regex::ECMAScript;
    Bytes body = text;
    if (body.compare(0, 4, "(?i)") == 0) {
      body.erase(0, 4);
      flags |= std::regex::icase;
    }
    const std::regex reference(body, flags);
    // Where a repeated group can match the empty text, ECMAScript rejects
    // the empty iteration and leaves the group unset, as this matcher does;
    // the standard library sets it. Such groups are compared no further.
    const bool repeatedGroup = std::regex_search(text, std::regex("\\)[*+?{]"));
    for (int k = 0; k < 20; ++k) {
      Bytes line;
      const int len = static_cast<int>(random() % 8);
      for (int i = 0; i < len; ++i) line.push_back(letters[random() % (sizeof letters - 1)]);
      std::vector<Pattern::Group> groups;
      const bool full = p.SearchWithoutPrefilter(line.data(), line.size());
      ASSERT_EQ(p.Search(line.data(), line.size()), full) << text << " / " << line;
      ASSERT_EQ(p.Search(line.data(), line.size(), groups), full) << text << " / " << line;
      std::smatch m;
      ASSERT_EQ(std::regex_search(line, m, reference), full) << text << " / " << line;
      if (!full) continue;
      ASSERT_EQ(groups.size(), m.size()) << text;
      for (size_t g = 0; g < (repeatedGroup ? 1 : m.size()); ++g) {
        ASSERT_EQ(groups[g].matched, m[g].matched) << text << " / " << line << " group " << g;
        ASSERT_EQ(groups[g].text, m[g].str()) << text << " / " << line << " group " << g;
      }
    }
  }
  EXPECT_GT(compiled, 2500);
}

// Hostile patterns over 4096-byte lines, on a thread with a small stack: the
// matcher's recursion is bounded by the pattern, not by the line, and its
// time grows with the line's length, not exponentially.
struct HostileRun {
  int found = 0;
  double cpuSeconds = 0;  // the matching thread's own time: a busy machine does not count
};

double ThreadCpuSeconds() {
  timespec t = {};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void* RunHostile(void* result) {
  const Bytes lines[] = {Bytes(4096, 'a'), Bytes(4096, 'x'), Bytes(4095, 'a') + "b"};
  const Bytes patterns[] = {
      "(a|b)*c",
      "(a*)*b",
      "(x+x+)+y",
      "(.*)*$",
      "^(a|aa)+$",
      "a.*b.*c.*d",
      "(a?){80}a{80}",
      "(a|a?)+c",
      "(((a*)*)*)*"
      "c",
      Bytes(32, '(') + "a*" + Bytes(32, ')') + "*c",
      "(?:a?){90}c",
      "(?i)(A|B)*C",
      "[a-z]{1,200}c",
      "(.*a){60}c",
  };
  HostileRun& run = *static_cast<HostileRun*>(result);
  int& found = run.found;
  const double started = ThreadCpuSeconds();
  for (const Bytes& text : patterns) {
    Pattern p;
    Bytes reason;
    if (!p.Compile(text, reason)) {
      ADD_FAILURE() << text << ": " << reason;
      found = -1;
      return nullptr;
    }
    std::vector<Pattern::Group> groups;
    for (const Bytes& line : lines) found += p.Search(line.data(), line.size(), groups);
  }
  run.cpuSeconds = ThreadCpuSeconds() - started;
  return nullptr;
}

TEST(Pattern, HostilePatternsOverLongLinesStayBounded) {
#if defined(__SANITIZE_ADDRESS__)
  const size_t stackBytes = 1024 * 1024;
#else
  const size_t stackBytes = 128 * 1024;
#endif
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  HostileRun run;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, RunHostile, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  // (.*)*$ matches all three lines, ^(a|aa)+$ the first, (a|b)*c none...
  EXPECT_EQ(run.found, 7);
  EXPECT_LT(run.cpuSeconds, 20.0);
}

// Optional iterations nested 31 deep that may all match nothing: the
// states the matcher tells apart grow with the nesting, not with the line.
TEST(Pattern, NestedEmptyIterationsStayBounded) {
  Bytes text;
  for (int i = 0; i < 31; ++i) text += "(?:";
  text += "(a?)";
  for (int i = 0; i < 31; ++i) text += ")*";
  text += "b";
  Pattern p;
  Bytes reason;
  ASSERT_TRUE(p.Compile(text, reason)) << reason;
  const Bytes line = Bytes(4095, 'a') + "b";
  std::vector<Pattern::Group> groups;
  const double started = ThreadCpuSeconds();
  ASSERT_TRUE(p.Search(line.data(), line.size(), groups));
  EXPECT_LT(ThreadCpuSeconds() - started, 10.0);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].text, line);
  EXPECT_EQ(groups[1].text, "a");
}

}  // namespace
}  // namespace tv::test
