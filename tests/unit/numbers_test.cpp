#include <gtest/gtest.h>

#include <climits>

#include "engine/numbers.h"

namespace tv::test {
namespace {

TEST(Numbers, LeadingDigitsSignAndClamping) {
  const struct {
    Bytes word;
    bool ok;
    int32_t value;
  } cases[] = {
      {"12abc", true, 12},
      {"-5", true, -5},
      {"+7", true, 7},
      {"007", true, 7},
      {"2147483647", true, INT32_MAX},
      {"2147483648", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"-2147483649", true, INT32_MIN},
      {"99999999999999999999999", true, INT32_MAX},
      {"-99999999999999999999999x", true, INT32_MIN},
      {"abc", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"+-1", false, 0},
      {"\"5\"", false, 0},
      {"x12", false, 0},
  };
  for (const auto& c : cases) {
    int32_t value = 4242;
    EXPECT_EQ(ParseNumber(c.word, value), c.ok) << c.word;
    EXPECT_EQ(value, c.ok ? c.value : 4242) << c.word;
    EXPECT_EQ(NumberOrZero(c.word), c.value) << c.word;
  }
}

TEST(Numbers, WrappingAddIsModuloTwoToThe32) {
  EXPECT_EQ(WrappingAdd(INT32_MAX, 1), INT32_MIN);
  EXPECT_EQ(WrappingAdd(INT32_MIN, -1), INT32_MAX);
  EXPECT_EQ(WrappingAdd(INT32_MIN, INT32_MIN), 0);
  EXPECT_EQ(WrappingAdd(INT32_MAX, INT32_MAX), -2);
  EXPECT_EQ(WrappingAdd(5, -8), -3);
}

}  // namespace
}  // namespace tv::test
