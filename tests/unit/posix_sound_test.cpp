// Sounds are played by a player program found in PATH, one at a time.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "posix/window.h"

namespace tv::posix {
namespace {

// Gone or a zombie that its new parent has not reaped yet.
bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren == std::string::npos || text.compare(paren, 4, ") Z ") == 0;
}

class PosixSoundTest : public ::testing::Test {
 protected:
  PosixSoundTest() {
    char tmpl[] = "/tmp/tarvelin-sound-XXXXXX";
    dir_ = mkdtemp(tmpl);
    const char* path = std::getenv("PATH");
    savedPath_ = path ? path : "";
    // A stand-in player: notes its argument and what it got as its output, then
    // plays for a long time.
    std::ofstream(dir_ + "/aplay")
        << "#!/bin/sh\nout=$(readlink /proc/$$/fd/1)\necho \"$1\" >> " << dir_
        << "/played\necho \"$out\" >> " << dir_ << "/played\nexec sleep 30\n";
    chmod((dir_ + "/aplay").c_str(), 0755);
    setenv("PATH", (dir_ + ":" + savedPath_).c_str(), 1);
  }
  ~PosixSoundTest() override {
    setenv("PATH", savedPath_.c_str(), 1);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string Played() {
    std::ifstream in(dir_ + "/played");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::string dir_;
  std::string savedPath_;
};

TEST_F(PosixSoundTest, PlayerRunsInTheProgramsGroupAndIsStoppedOnRequest) {
  SoundPlayer player({"no-such-player", "aplay"});
  player.Play("/sounds/bell.wav");
  pid_t first = player.Running();
  ASSERT_GT(first, 0);
  WaitFor([&] { return Played().find("/dev/null") != std::string::npos; });
  EXPECT_EQ(Played().find("/sounds/bell.wav\n"), 0u);
  EXPECT_NE(Played().find("/dev/null"), std::string::npos) << "its output goes nowhere";
  EXPECT_EQ(getpgid(first), getpgrp()) << "whoever ends the program's group ends the sound";

  // A second sound replaces the first.
  player.Play("/sounds/two.wav");
  pid_t second = player.Running();
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  WaitFor([&] { return kill(first, 0) != 0 || waitpid(first, nullptr, WNOHANG) == first; });
  player.Stop();
  EXPECT_EQ(player.Running(), -1);
  WaitFor([&] { return waitpid(second, nullptr, WNOHANG) != 0 || kill(second, 0) != 0; });
  EXPECT_NE(kill(second, 0), 0) << "the player was ended and reaped";
}

TEST_F(PosixSoundTest, WhatThePlayerStartedEndsWithIt) {
  // A player that hands the sound to a child of its own and waits for it.
  std::ofstream(dir_ + "/paplay") << "#!/bin/sh\nsleep 30 &\necho $! > " << dir_
                                  << "/child\nwait\n";
  chmod((dir_ + "/paplay").c_str(), 0755);
  SoundPlayer player({"paplay"});
  player.Play("/sounds/bell.wav");
  const pid_t shell = player.Running();
  ASSERT_GT(shell, 0);
  pid_t child = 0;
  WaitFor([&] {
    std::ifstream in(dir_ + "/child");
    return static_cast<bool>(in >> child);
  });
  ASSERT_GT(child, 0);
  // The child has started once it runs sleep, no longer the shell.
  WaitFor([&] {
    std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
    std::string name;
    return comm >> name && name == "sleep";
  });
  player.Stop();
  WaitFor([&] { return Ended(child); });
  EXPECT_TRUE(Ended(child)) << "the player's child was ended with it";
  WaitFor([&] { return waitpid(shell, nullptr, WNOHANG) != 0; });
}

TEST_F(PosixSoundTest, WithoutAPlayerNothingHappens) {
  SoundPlayer player({"no-such-player"});
  player.Play("/sounds/bell.wav");
  EXPECT_EQ(player.Running(), -1);
  player.Stop();
  EXPECT_EQ(Played(), "");
}

}  // namespace
}  // namespace tv::posix
