#include <gtest/gtest.h>

#include "shell/paths.h"

namespace tv::test {
namespace {

TEST(Paths, WindowsNamesResolveAgainstTheScriptsFolderOrDrive) {
  const struct {
    Bytes name, base, result;
  } cases[] = {
      {"sub.tvl", "C:\\scripts\\main.tvl", "C:\\scripts\\sub.tvl"},
      {"a\\sub.tvl", "C:\\scripts\\main.tvl", "C:\\scripts\\a\\sub.tvl"},
      {"\\x\\sub.tvl", "C:\\scripts\\main.tvl", "C:\\x\\sub.tvl"},
      {"\\x.tvl", "C:\\main.tvl", "C:\\x.tvl"},
      {"D:sub.tvl", "C:\\scripts\\main.tvl", "D:sub.tvl"},
      {"\\\\srv\\share\\s.tvl", "C:\\scripts\\main.tvl", "\\\\srv\\share\\s.tvl"},
      {"\\x.tvl", "\\\\srv\\share\\dir\\main.tvl", "\\\\srv\\x.tvl"},
      {"sub.tvl", "main.tvl", "sub.tvl"},
      {"\\x.tvl", "main.tvl", "\\x.tvl"},
      {"\\x.tvl", "\\main.tvl", "\\x.tvl"},
      {"sub.tvl", "", "sub.tvl"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveWindowsPath(c.name, c.base), c.result) << c.name << " in " << c.base;
  }
}

TEST(Paths, PosixNamesResolveAgainstTheScriptsFolder) {
  EXPECT_EQ(ResolvePosixPath("sub.tvl", "/s/main.tvl"), "/s/sub.tvl");
  EXPECT_EQ(ResolvePosixPath("a/sub.tvl", "/s/t/main.tvl"), "/s/t/a/sub.tvl");
  EXPECT_EQ(ResolvePosixPath("/abs/x.tvl", "/s/main.tvl"), "/abs/x.tvl");
  EXPECT_EQ(ResolvePosixPath("sub.tvl", "main.tvl"), "sub.tvl");
}

}  // namespace
}  // namespace tv::test
