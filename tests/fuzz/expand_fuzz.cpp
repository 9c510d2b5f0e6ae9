// ExpandText with counters and a last line taken from the input. The input is
// split at NUL bytes: the text to expand, the last line, then counter names
// (each followed by a 4-byte value when there are enough bytes).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.h"
#include "engine/expand.h"
#include "support/fake_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<tv::Bytes> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  tv::test::FakeHost host;  // fresh counters for every input
  tv::ScriptContext& ctx = host.ctx;
  if (parts.size() > 1) ctx.lastLine = parts[1];
  for (size_t i = 2; i < parts.size(); ++i) {
    tv::Bytes name = parts[i];
    int32_t value = 0;
    if (name.size() > 4) {
      std::memcpy(&value, name.data() + name.size() - 4, 4);
      name.resize(name.size() - 4);
    }
    *ctx.counters.Find(name, true) = value;
  }
  tv::Bytes result;
  tv::ExprError error;
  tv::ExpandText(ctx, parts[0], result, error);
  // Nothing comes from nowhere: each piece adds at most its own length, a
  // last line or an 11-character number.
  FUZZ_CHECK(result.size() <= parts[0].size() * (ctx.lastLine.size() + 12));
  return 0;
}
