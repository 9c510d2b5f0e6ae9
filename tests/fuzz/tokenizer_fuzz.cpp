// GetNextWord in every mode: the line always shrinks, the result says whether
// a word came, plain words come out without blanks and upper-cased when
// asked, and the cursor form agrees with the one that shortens the line.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "engine/tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t modes = data[0];
  tv::Bytes line(reinterpret_cast<const char*>(data + 1), size - 1);
  tv::Bytes word, wordAt;
  for (int i = 0; !line.empty(); ++i) {
    const bool upper = (modes >> (i % 4) * 2) & 1;
    const bool fileQuotes = (modes >> (i % 4) * 2) & 2;
    const size_t before = line.size();
    size_t firstWordByte = 0;
    while (firstWordByte < before && (line[firstWordByte] == ' ' || line[firstWordByte] == '\t')) {
      ++firstWordByte;
    }
    const bool quoted = firstWordByte < before && line[firstWordByte] == '"';
    // The cursor form takes the same word from the same place.
    const tv::Bytes whole = line;
    size_t pos = 0;
    const bool gotAt = tv::GetNextWord(whole, pos, wordAt, upper, fileQuotes);
    const bool got = tv::GetNextWord(line, word, upper, fileQuotes);
    FUZZ_CHECK(got == gotAt && word == wordAt && whole.compare(pos, tv::Bytes::npos, line) == 0);
    FUZZ_CHECK(got == !word.empty());
    FUZZ_CHECK(line.size() < before);
    if (!quoted) {
      for (char c : word) {
        FUZZ_CHECK(c != ' ' && c != '\t');
        if (upper) FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
      }
    } else if (!fileQuotes) {
      // A script string keeps its quotes.
      FUZZ_CHECK(word.size() >= 2 && word.front() == '"' && word.back() == '"');
    }
    if (firstWordByte == before) FUZZ_CHECK(!got);
  }
  return 0;
}
