#include "engine/numbers.h"

#include <climits>

namespace tv {

bool ParseNumber(const Bytes& word, int32_t& value) {
  bool fits = true;
  return ParseNumber(word, value, fits);
}

bool ParseNumber(const Bytes& word, int32_t& value, bool& fits) {
  size_t p = 0;
  const size_t n = word.size();
  // sscanf skips leading white space.
  while (p < n && (word[p] == ' ' || (word[p] >= '\t' && word[p] <= '\r'))) ++p;
  bool negative = false;
  if (p < n && (word[p] == '+' || word[p] == '-')) negative = word[p++] == '-';
  if (p >= n || word[p] < '0' || word[p] > '9') return false;
  long long v = 0;
  for (; p < n && word[p] >= '0' && word[p] <= '9'; ++p) {
    if (v <= static_cast<long long>(INT32_MAX) + 1) v = v * 10 + (word[p] - '0');
  }
  if (negative) v = -v;
  fits = v >= INT32_MIN && v <= INT32_MAX;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t NumberOrZero(const Bytes& text) {
  int32_t v = 0;
  return ParseNumber(text, v) ? v : 0;
}

int32_t WrappingAdd(int32_t value, int32_t step) {
  const uint32_t sum = static_cast<uint32_t>(value) + static_cast<uint32_t>(step);
  if (sum <= static_cast<uint32_t>(INT32_MAX)) return static_cast<int32_t>(sum);
  return static_cast<int32_t>(static_cast<int64_t>(sum) - (int64_t{1} << 32));
}

}  // namespace tv
