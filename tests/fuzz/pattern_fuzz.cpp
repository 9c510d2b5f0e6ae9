// Patterns: the reader never fails without a reason, and every way of
// searching a line gives the same answer, with groups that lie in the line.
// Input: a flags byte (bit 0: "(?i)" in front), the pattern, then lines, each
// after a zero byte.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "check.h"
#include "engine/pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const tv::Bytes input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<tv::Bytes> parts;
  size_t from = 0;
  for (;;) {
    const size_t zero = input.find('\0', from);
    parts.push_back(input.substr(from, zero == tv::Bytes::npos ? tv::Bytes::npos : zero - from));
    if (zero == tv::Bytes::npos) break;
    from = zero + 1;
  }
  const tv::Bytes text = ((data[0] & 1) ? "(?i)" : "") + parts[0];
  tv::Pattern pattern;
  tv::Bytes reason;
  if (!pattern.Compile(text, reason)) {
    FUZZ_CHECK(!reason.empty());
    FUZZ_CHECK(!pattern.Compiled());
    return 0;
  }
  FUZZ_CHECK(reason.empty());
  for (size_t k = 1; k < parts.size(); ++k) {
    const tv::Bytes& line = parts[k];
    std::vector<tv::Pattern::Group> groups;
    const bool found = pattern.Search(line.data(), line.size());
    FUZZ_CHECK(pattern.SearchWithoutPrefilter(line.data(), line.size()) == found);
    FUZZ_CHECK(pattern.Search(line.data(), line.size(), groups) == found);
    if (!found) {
      FUZZ_CHECK(groups.empty());
      continue;
    }
    FUZZ_CHECK(groups.size() == pattern.GroupCount() + 1);
    FUZZ_CHECK(groups[0].matched);
    for (const tv::Pattern::Group& g : groups) {
      FUZZ_CHECK(g.matched || g.text.empty());
      FUZZ_CHECK(!g.matched || line.find(g.text) != tv::Bytes::npos);
    }
  }
  return 0;
}
