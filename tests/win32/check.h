// A very small test framework for the Windows-only tests, which run under
// Wine where the project's usual test library is not available. Tests
// register themselves with TEST; CHECK and CHECK_EQ record a failure and go
// on; the program ends with the closing line "N passed, N failed".
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Test {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Test>& Registry() {
  static std::vector<Test> tests;
  return tests;
}

inline int& FailuresInTest() {
  static int failures = 0;
  return failures;
}

struct Registrar {
  Registrar(const char* name, std::function<void()> body) {
    Registry().push_back(Test{name, std::move(body)});
  }
};

inline void Fail(const char* file, int line, const std::string& what) {
  ++FailuresInTest();
  std::printf("  %s:%d: %s\n", file, line, what.c_str());
}

template <typename T>
std::string Show(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

inline std::string Show(const std::string& value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c < 32 || c >= 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline std::string Show(const std::wstring& value) {
  std::string out = "L\"";
  for (wchar_t c : value) {
    if (c < 32 || c >= 127) {
      char hex[12];
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline std::string Show(const char* value) {
  return Show(std::string(value));
}

inline std::string Show(const wchar_t* value) {
  return Show(std::wstring(value));
}

inline int RunAll() {
  int passed = 0;
  int failed = 0;
  for (const Test& test : Registry()) {
    FailuresInTest() = 0;
    test.body();
    if (FailuresInTest() == 0) {
      ++passed;
      std::printf("PASS %s\n", test.name);
    } else {
      ++failed;
      std::printf("FAIL %s\n", test.name);
    }
    std::fflush(stdout);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK_CONCAT2(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT2(a, b)
#define TEST(name)                                                     \
  static void name();                                                  \
  static check::Registrar CHECK_CONCAT(registrar_, name)(#name, name); \
  static void name()

#define CHECK(condition) \
  ((condition) ? (void)0 : check::Fail(__FILE__, __LINE__, "CHECK(" #condition ") failed"))

#define CHECK_EQ(actual, expected)                                                     \
  do {                                                                                 \
    const auto& check_a = (actual);                                                    \
    const auto& check_e = (expected);                                                  \
    if (!(check_a == check_e)) {                                                       \
      check::Fail(__FILE__, __LINE__,                                                  \
                  std::string(#actual " is ") + check::Show(check_a) + ", expected " + \
                      check::Show(check_e));                                           \
    }                                                                                  \
  } while (0)
