// Script files, the log and capture files, and the settings file of the
// headless program, on a temporary folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "posix/files.h"
#include "posix/profile.h"
#include "shell/paths.h"

namespace tv::posix {
namespace {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tarvelin-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<Bytes> AllLines(ScriptFile& f) {
  std::vector<Bytes> lines;
  Bytes line;
  ScriptFile::Read r;
  while ((r = f.ReadLine(line)) == ScriptFile::Read::Line) lines.push_back(line);
  EXPECT_EQ(r, ScriptFile::Read::End);
  return lines;
}

// Files a script cannot be: a device or a pipe never ends, a huge file would
// take all memory; each is refused with its reason. A file that grows past
// the limit while it is read ends with TooLarge instead of a line.
TEST(PosixScriptFile, DevicesPipesAndHugeFilesAreRefused) {
  TempDir dir;
  PosixFileSystem fs;
  ScriptRefusal why = ScriptRefusal::Unreadable;
  EXPECT_FALSE(fs.OpenScript("/dev/zero", &why));
  EXPECT_EQ(why, ScriptRefusal::NotRegular);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  why = ScriptRefusal::Unreadable;
  EXPECT_FALSE(fs.OpenScript(dir / "fifo", &why));  // and the open does not wait for a writer
  EXPECT_EQ(why, ScriptRefusal::NotRegular);

  Put(dir / "big.tvl", "Stop\n");
  ASSERT_EQ(truncate((dir / "big.tvl").c_str(), static_cast<off_t>(kMaxScriptBytes) + 1), 0);
  why = ScriptRefusal::Unreadable;
  EXPECT_FALSE(fs.OpenScript(dir / "big.tvl", &why));
  EXPECT_EQ(why, ScriptRefusal::TooLarge);
  ASSERT_EQ(truncate((dir / "big.tvl").c_str(), static_cast<off_t>(kMaxScriptBytes)), 0);
  auto atLimit = fs.OpenScript(dir / "big.tvl", &why);
  ASSERT_TRUE(atLimit);
  Bytes line;
  EXPECT_EQ(atLimit->ReadLine(line), ScriptFile::Read::Line);
  EXPECT_EQ(line, "Stop");
  EXPECT_EQ(atLimit->ReadLine(line), ScriptFile::Read::Line);  // the zeros, no line end
  EXPECT_EQ(line.size(), kMaxScriptBytes - 5);

  // Grown behind the reader's back: the read stops at the limit.
  Put(dir / "grows.tvl", "Stop\n");
  auto grows = fs.OpenScript(dir / "grows.tvl", &why);
  ASSERT_TRUE(grows);
  ASSERT_EQ(truncate((dir / "grows.tvl").c_str(), static_cast<off_t>(2 * kMaxScriptBytes)), 0);
  EXPECT_EQ(grows->ReadLine(line), ScriptFile::Read::Line);
  EXPECT_EQ(grows->ReadLine(line), ScriptFile::Read::TooLarge);
}

TEST(PosixScriptFile, LineEndsAndOddBytes) {
  TempDir dir;
  PosixFileSystem fs;
  const char raw[] = "crlf\r\nlone\rcr\n\r\n\nzero\0byte\n\xE8\xE1st\r\r\nlast";
  std::string text(raw, sizeof raw - 1);
  Put(dir / "a.tvl", text);
  auto f = fs.OpenScript(dir / "a.tvl", nullptr);
  ASSERT_TRUE(f);
  std::vector<Bytes> lines = AllLines(*f);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "crlf");
  EXPECT_EQ(lines[1], "lone\rcr");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], std::string("zero\0byte", 9));
  EXPECT_EQ(lines[5], "\xE8\xE1st\r") << "only the CR right before the LF goes";
  EXPECT_EQ(lines[6], "last") << "a last line without LF still counts";
  Bytes line;
  EXPECT_EQ(f->ReadLine(line), ScriptFile::Read::End);
}

TEST(PosixScriptFile, EmptyFileAndFinalLineEnd) {
  TempDir dir;
  PosixFileSystem fs;
  Put(dir / "empty", "");
  Put(dir / "one", "only\n");
  EXPECT_TRUE(AllLines(*fs.OpenScript(dir / "empty", nullptr)).empty());
  EXPECT_EQ(AllLines(*fs.OpenScript(dir / "one", nullptr)), std::vector<Bytes>{"only"});
}

TEST(PosixScriptFile, LongLinesAcrossTheBuffer) {
  TempDir dir;
  PosixFileSystem fs;
  // Lines that straddle the reading buffer, one far longer than it, and a CR
  // LF split across two reads.
  std::string a(65535, 'a'), b(300000, 'b'), c(10, 'c');
  std::string text = a + "\r\n" + b + "\n" + c + "\r\n" + std::string(70000, 'd');
  Put(dir / "long.tvl", text);
  auto f = fs.OpenScript(dir / "long.tvl", nullptr);
  ASSERT_TRUE(f);
  std::vector<Bytes> lines = AllLines(*f);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], a);
  EXPECT_EQ(lines[1], b);
  EXPECT_EQ(lines[2], c);
  EXPECT_EQ(lines[3], std::string(70000, 'd'));
  // Rewinding a file that no longer sits in the buffer reads it again.
  ASSERT_TRUE(f->Rewind());
  EXPECT_EQ(AllLines(*f).size(), 4u);
}

TEST(PosixScriptFile, RewindStartsAgainFromAnyPoint) {
  TempDir dir;
  PosixFileSystem fs;
  Put(dir / "r.tvl", "one\ntwo\nthree");
  auto f = fs.OpenScript(dir / "r.tvl", nullptr);
  Bytes line;
  ASSERT_EQ(f->ReadLine(line), ScriptFile::Read::Line);
  ASSERT_TRUE(f->Rewind());
  EXPECT_EQ(AllLines(*f), (std::vector<Bytes>{"one", "two", "three"}));
  ASSERT_TRUE(f->Rewind());
  EXPECT_EQ(AllLines(*f), (std::vector<Bytes>{"one", "two", "three"}));
  // Many rewinds (a GoTo loop) stay cheap and correct.
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(f->Rewind());
    ASSERT_EQ(f->ReadLine(line), ScriptFile::Read::Line);
    ASSERT_EQ(f->ReadLine(line), ScriptFile::Read::Line);
    ASSERT_EQ(line, "two");
  }
}

TEST(PosixScriptFile, WhatCannotBeOpenedAndTheFullPath) {
  TempDir dir;
  PosixFileSystem fs;
  EXPECT_FALSE(fs.OpenScript(dir.path(), nullptr));
  EXPECT_FALSE(fs.OpenScript(dir / "missing.tvl", nullptr));
  EXPECT_FALSE(fs.OpenScript("", nullptr));
  Put(dir / "secret.tvl", "x\n");
  chmod((dir / "secret.tvl").c_str(), 0);
  if (geteuid() != 0) {
    EXPECT_FALSE(fs.OpenScript(dir / "secret.tvl", nullptr));
  }

  Put(dir / "s.tvl", "x\n");
  EXPECT_EQ(fs.OpenScript(dir / "s.tvl", nullptr)->FullPath(), dir / "s.tvl");
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  auto rel = fs.OpenScript("s.tvl", nullptr);
  ASSERT_TRUE(rel);
  EXPECT_EQ(rel->FullPath(), dir / "s.tvl");
  EXPECT_EQ(fs.OpenScript("./s.tvl", nullptr)->FullPath(), dir / "./s.tvl");
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
  EXPECT_EQ(ResolveScriptRelativePath(fs, "sub/x.wav", "/a/b/s.tvl"), "/a/b/sub/x.wav");
  EXPECT_EQ(ResolveScriptRelativePath(fs, "/abs.wav", "/a/b/s.tvl"), "/abs.wav");
}

TEST(PosixLogFile, SecondWriterIsRefusedAndDoesNotDestroyTheFirstLog) {
  TempDir dir;
  PosixFileSystem fs;
  Put(dir / "T.LOG", "old contents");
  auto first = fs.CreateLog(dir / "T.LOG");
  ASSERT_TRUE(first);
  EXPECT_EQ(Get(dir / "T.LOG"), "") << "truncated once the lock is held";
  ASSERT_TRUE(first->Write("Program zahájen.\r\n", 18));
  ASSERT_TRUE(first->Flush());
  EXPECT_FALSE(fs.CreateLog(dir / "T.LOG"));
  EXPECT_FALSE(fs.CreateCapture(dir / "T.LOG"));
  EXPECT_EQ(Get(dir / "T.LOG").size(), 18u) << "the refused writer left the file alone";
  EXPECT_FALSE(fs.OpenScript(dir / "T.LOG", nullptr))
      << "a file being written is not read as a script";
  first.reset();
  auto second = fs.CreateLog(dir / "T.LOG");
  ASSERT_TRUE(second);
  EXPECT_EQ(Get(dir / "T.LOG"), "");
}

TEST(PosixLogFile, AnotherProcessCannotTakeTheLog) {
  TempDir dir;
  PosixFileSystem fs;
  auto first = fs.CreateLog(dir / "T.LOG");
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->Write("kept\r\n", 6));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A second program on the same log name: refused, the file untouched.
    PosixFileSystem other;
    bool refused = !other.CreateLog(dir / "T.LOG");
    _exit(refused && Get(dir / "T.LOG") == "kept\r\n" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(first->Write("more\r\n", 6));
  EXPECT_EQ(Get(dir / "T.LOG"), "kept\r\nmore\r\n");
}

TEST(PosixLogFile, CaptureAllowsReadersAndLogCannotLandInAMissingFolder) {
  TempDir dir;
  PosixFileSystem fs;
  auto capture = fs.CreateCapture(dir / "cap.bin");
  ASSERT_TRUE(capture);
  ASSERT_TRUE(capture->Write("\0\x01\xFF", 3));
  EXPECT_EQ(Get(dir / "cap.bin"), std::string("\0\x01\xFF", 3));
  EXPECT_FALSE(fs.CreateLog(dir / "no/such/folder.log"));
  EXPECT_FALSE(fs.CreateLog(dir.path()));
  EXPECT_FALSE(fs.CreateLog(""));
  // A script being read keeps others from writing it.
  Put(dir / "s.tvl", "x\n");
  auto script = fs.OpenScript(dir / "s.tvl", nullptr);
  ASSERT_TRUE(script);
  EXPECT_FALSE(fs.CreateCapture(dir / "s.tvl"));
  EXPECT_EQ(Get(dir / "s.tvl"), "x\n");
  EXPECT_TRUE(fs.OpenScript(dir / "s.tvl", nullptr)) << "readers share the file";
}

class PosixProfileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir / "cfg/tarvelin/tarvelin.ini";
};

TEST_F(PosixProfileTest, MissingFileGivesTheFallbackAndWritingCreatesIt) {
  IniProfile p(path);
  EXPECT_EQ(p.GetString("ScriptName", "", 253), "");
  EXPECT_EQ(p.GetString("ConnectPort", "7", 10), "7");
  p.SetString("ScriptName", "/a/b.tvl");
  EXPECT_EQ(Get(path), "[Tarvelin]\nScriptName=/a/b.tvl\n");
  EXPECT_EQ(p.GetString("ScriptName", "", 253), "/a/b.tvl");
  p.SetString("ScriptName", "/c.tvl");
  EXPECT_EQ(Get(path), "[Tarvelin]\nScriptName=/c.tvl\n");
}

TEST_F(PosixProfileTest, OtherKeysAndSectionsAreKept) {
  IniProfile p(path);
  p.SetString("X", "1");  // creates the folders
  Put(path,
      "; settings\n[Other]\nScriptName=other\n\n[tarvelin]\n ConnectServer = host.example \n"
      "AcceptPort=\"110\"\n\n[Last]\nk=v\n");
  EXPECT_EQ(p.GetString("scriptname", "none", 253), "none") << "only the program's section";
  EXPECT_EQ(p.GetString("CONNECTSERVER", "", 118), "host.example");
  EXPECT_EQ(p.GetString("ConnectServer", "", 4), "host");
  EXPECT_EQ(p.GetString("AcceptPort", "", 10), "110");
  p.SetString("ConnectServer", "10.0.0.1");
  p.SetString("ScriptName", "/s.tvl");
  EXPECT_EQ(Get(path),
            "; settings\n[Other]\nScriptName=other\n\n[tarvelin]\nConnectServer=10.0.0.1\n"
            "AcceptPort=\"110\"\nScriptName=/s.tvl\n\n[Last]\nk=v\n");
}

TEST_F(PosixProfileTest, ALineEndInAValueCannotAddKeys) {
  IniProfile p(path);
  p.SetString("ScriptName", "a\nConnectPort=1");
  EXPECT_EQ(p.GetString("ConnectPort", "none", 10), "none");
  EXPECT_EQ(p.GetString("ScriptName", "", 253), "a ConnectPort=1");
}

TEST_F(PosixProfileTest, PathComesFromTheEnvironment) {
  std::string savedXdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  bool hadXdg = getenv("XDG_CONFIG_HOME") != nullptr;
  std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
  setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  EXPECT_EQ(DefaultProfilePath(), "/x/conf/tarvelin/tarvelin.ini");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/op", 1);
  EXPECT_EQ(DefaultProfilePath(), "/home/op/.config/tarvelin/tarvelin.ini");
  setenv("HOME", savedHome.c_str(), 1);
  if (hadXdg) setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
}

}  // namespace
}  // namespace tv::posix
