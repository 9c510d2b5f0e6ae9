// EscapeForLog: the log gets no control bytes, and the escaped text read back
// as a quoted script string gives the data again (when it holds no quote,
// which a quoted string cannot carry).
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "engine/tokenizer.h"
#include "shell/escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string out = "prefix ";
  tv::EscapeForLog(out, bytes, size);
  FUZZ_CHECK(out.compare(0, 7, "prefix ") == 0);
  for (size_t i = 7; i < out.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(out[i]);
    FUZZ_CHECK(b >= 32 && b != 127 && b != 255);
  }
  FUZZ_CHECK(out.size() - 7 >= size && out.size() - 7 <= 4 * size);

  bool hasQuote = false;
  for (size_t i = 0; i < size; ++i) hasQuote |= bytes[i] == '"';
  if (!hasQuote) {
    tv::Bytes line = "\"" + out.substr(7) + "\"";
    tv::Bytes word;
    tv::GetNextWord(line, word, false, false);
    FUZZ_CHECK(word.size() >= 2);
    FUZZ_CHECK(word.substr(1, word.size() - 2) == tv::Bytes(bytes, size));
  }
  return 0;
}
