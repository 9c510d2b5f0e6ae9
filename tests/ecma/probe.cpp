// Prints what the program's patterns make of a corpus, for the comparison
// with an ECMAScript engine (run.py).
//
// Input, one item a line, the bytes in hex:
//   P <pattern>   compile this pattern (a leading "(?i)" as in scripts)
//   L <line>      search the last pattern in this line
// Output, a line for each:
//   P ok | P refused <reason in hex>
//   L - | L <start>,<end> ... for group 0 and each group, "u" for a group
//   that took no part in the match
// The positions come from the matcher itself; Pattern's own searches (with
// and without the literal test, with and without groups) must agree with
// them, or the line says "L disagree".
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "engine/pattern.h"
#include "engine/pattern_compile.h"
#include "engine/pattern_match.h"
#include "engine/pattern_parse.h"

namespace {

bool FromHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

struct Compiled {
  tv::Pattern pattern;
  tv::regex::Program program;
  bool ok = false;
};

std::string Probe(Compiled& c, const std::string& line) {
  if (!c.ok) return "L none";
  tv::regex::Matcher matcher(c.program);
  std::vector<int> caps;
  const bool found =
      matcher.Search(reinterpret_cast<const unsigned char*>(line.data()), line.size(), caps);
  std::vector<tv::Pattern::Group> groups;
  const bool agree = c.pattern.Search(line.data(), line.size()) == found &&
                     c.pattern.SearchWithoutPrefilter(line.data(), line.size()) == found &&
                     c.pattern.Search(line.data(), line.size(), groups) == found;
  if (!agree) return "L disagree";
  if (!found) return "L -";
  std::string out = "L";
  for (size_t g = 0; g < groups.size(); ++g) {
    const int from = caps[2 * g], to = caps[2 * g + 1];
    const bool set = from >= 0 && to >= 0;
    const bool same = groups[g].matched == set &&
                      (!set || groups[g].text == line.substr(static_cast<size_t>(from),
                                                             static_cast<size_t>(to - from)));
    if (!same) return "L disagree";
    out += set ? " " + std::to_string(from) + "," + std::to_string(to) : " u";
  }
  return out;
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  Compiled current;
  std::string item;
  while (std::getline(std::cin, item)) {
    std::string bytes;
    if (item.size() < 2 || item[1] != ' ' || !FromHex(item.substr(2), bytes)) {
      std::cerr << "probe: unreadable input: " << item << "\n";
      return 2;
    }
    if (item[0] == 'P') {
      current = Compiled();
      std::string reason;
      current.ok = current.pattern.Compile(bytes, reason);
      if (current.ok) {
        // The same compilation again, for the matcher's positions.
        const bool icase = bytes.compare(0, 4, "(?i)") == 0;
        tv::regex::Tree tree;
        std::string again;
        current.ok = tv::regex::Parse(icase ? bytes.substr(4) : bytes, icase, tree, again) &&
                     tv::regex::Compile(tree, current.program);
      }
      std::cout << (current.ok ? "P ok" : "P refused " + ToHex(reason)) << "\n";
    } else if (item[0] == 'L') {
      std::cout << Probe(current, bytes) << "\n";
    } else {
      std::cerr << "probe: unknown item: " << item << "\n";
      return 2;
    }
  }
  return 0;
}
