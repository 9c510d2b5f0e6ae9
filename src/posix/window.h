// The main window of the headless program: boxes and dialogs on standard
// error, answered through the operator channel; check boxes and the script
// name kept in memory; sounds played by an external player.
#pragma once

#include <sys/types.h>

#include <array>
#include <string>
#include <vector>

#include "host/host.h"
#include "posix/console.h"
#include "posix/operator.h"
#include "shell/context.h"

namespace tv::posix {

// Plays sound files with the first player found in PATH, one at a time.
class SoundPlayer {
 public:
  // players: program names tried in order.
  explicit SoundPlayer(std::vector<std::string> players = {"paplay", "aplay", "play"});
  ~SoundPlayer();
  void Play(const Bytes& path);
  void Stop();
  // The player still running, or -1.
  pid_t Running();

 private:
  std::string FindPlayer() const;
  void Reap();

  std::vector<std::string> players_;
  pid_t current_ = -1;
  std::vector<pid_t> stopped_;  // killed, not yet reaped
};

// No title, upper status line, buttons, slides or foreground here: those are
// the base's do-nothing operations.
class PosixWindow : public WindowBase {
 public:
  PosixWindow(Console& console, OperatorChannel& channel);

  int MessageBox(const Bytes& text, const Bytes& title, unsigned type) override;
  void SetLowerStatus(const Bytes& text) override { console_.SetStatus(text); }

  Bytes GetScriptName() override { return scriptName_; }
  void SetScriptName(const Bytes& name) override { scriptName_ = name; }

  int InputLine(const Bytes& prompt, Bytes& text) override;
  int ConnectParams(Bytes& server, int& port) override;
  int AcceptParams(int& port) override;

  Rect RunButtonRect() override { return Rect{26, 7, 606, 31}; }
  void CreateCheckBox(int slot, const Bytes& mark, const Bytes& caption, const Rect& box) override;
  void DestroyCheckBox(int slot) override;
  int GetCheck(int slot) override;
  void SetCheck(int slot, int state) override;

  void PlaySound(const Bytes& path) override { sound_.Play(path); }
  void StopSound() override { sound_.Stop(); }

  // The text of the last message box shown.
  const Bytes& LastBoxText() const { return lastBox_; }

 private:
  // Takes answers until one fits (fits returns true); false when none is
  // left and input has ended.
  template <typename Fits>
  bool Answer(Fits fits);

  Console& console_;
  OperatorChannel& channel_;
  Bytes scriptName_;
  Bytes lastBox_;
  std::array<Bytes, MAX_CHECKBOXES> marks_;
  std::array<int, MAX_CHECKBOXES> checks_{};
  SoundPlayer sound_;
};

}  // namespace tv::posix
