#include "posix/window.h"
#include "posix/charset.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace tv::posix {

namespace {

// The processes below pid, as each of its tasks lists its children.
void CollectDescendants(pid_t pid, std::vector<pid_t>& found) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return;
  std::vector<pid_t> children;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream list(tasks + "/" + entry->d_name + "/children");
    long child;
    while (list >> child) children.push_back(static_cast<pid_t>(child));
  }
  closedir(dir);
  for (pid_t child : children) {
    // A tree this wide is no player's; what is found is enough.
    if (found.size() >= 4096) return;
    found.push_back(child);
    CollectDescendants(child, found);
  }
}

}  // namespace

SoundPlayer::SoundPlayer(std::vector<std::string> players) : players_(std::move(players)) {}

SoundPlayer::~SoundPlayer() {
  Reap();
}

std::string SoundPlayer::FindPlayer() const {
  const char* env = std::getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  for (const std::string& name : players_) {
    size_t start = 0;
    for (;;) {
      size_t colon = path.find(':', start);
      std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
      std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
      struct stat st;
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  return std::string();
}

void SoundPlayer::Reap() {
  if (current_ > 0 && waitpid(current_, nullptr, WNOHANG) == current_) current_ = -1;
  for (size_t i = 0; i < stopped_.size();) {
    if (waitpid(stopped_[i], nullptr, WNOHANG) != 0) {
      stopped_.erase(stopped_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

pid_t SoundPlayer::Running() {
  Reap();
  return current_;
}

void SoundPlayer::Stop() {
  Reap();
  if (current_ <= 0) return;
  // What the player started goes with it.
  std::vector<pid_t> below;
  CollectDescendants(current_, below);
  kill(current_, SIGTERM);
  for (pid_t pid : below) kill(pid, SIGTERM);
  if (waitpid(current_, nullptr, WNOHANG) != current_) stopped_.push_back(current_);
  current_ = -1;
}

void SoundPlayer::Play(const Bytes& path) {
  // A new sound replaces the one still playing.
  Stop();
  std::string player = FindPlayer();
  if (player.empty()) return;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  // The player stays in the program's process group: whoever ends the
  // program's group (the suite runner, a terminal's Ctrl-C) ends the sound
  // with it.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::string file = FileNameToUtf8(path);
  char* argv[] = {player.data(), file.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, player.c_str(), &actions, &attr, argv, environ) == 0) current_ = pid;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

PosixWindow::PosixWindow(Console& console, OperatorChannel& channel)
    : console_(console), channel_(channel) {}

template <typename Fits>
bool PosixWindow::Answer(Fits fits) {
  Bytes answer;
  while (channel_.NextAnswer(answer)) {
    if (fits(answer)) return true;
    console_.Print("Odpověď \"" + answer + "\" do tohoto okna nepatří, beru další.\n");
  }
  return false;
}

int PosixWindow::MessageBox(const Bytes& text, const Bytes& title, unsigned type) {
  console_.Print("[" + title + "] " + text + "\n");
  lastBox_ = text;
  int result = DefaultMessageBoxAnswer(type);
  Answer([&](const Bytes& a) { return MessageBoxAnswer(a, type, result); });
  return result;
}

int PosixWindow::InputLine(const Bytes& prompt, Bytes& text) {
  console_.Print("[" + prompt + "]\n");
  int result = kIdOk;
  Bytes typed;  // the field starts empty
  Answer([&](const Bytes& a) { return InputLineAnswer(a, result, typed); });
  if (result == kIdOk) text = typed;
  return result;
}

int PosixWindow::ConnectParams(Bytes& server, int& port) {
  console_.Print("[Parametry pro Connect] " + server + " " + std::to_string(port) + "\n");
  int result = kIdOk;
  Bytes newServer = server;
  int newPort = port;
  Answer([&](const Bytes& a) { return ConnectAnswer(a, result, newServer, newPort); });
  if (result == kIdOk) {
    server = newServer;
    port = newPort;
  }
  return result;
}

int PosixWindow::AcceptParams(int& port) {
  console_.Print("[Parametry pro Accept] " + std::to_string(port) + "\n");
  int result = kIdOk;
  int newPort = port;
  Answer([&](const Bytes& a) { return AcceptAnswer(a, result, newPort); });
  if (result == kIdOk) port = newPort;
  return result;
}

void PosixWindow::CreateCheckBox(int slot, const Bytes& mark, const Bytes& caption, const Rect&) {
  if (slot < 0 || slot >= MAX_CHECKBOXES) return;
  marks_[static_cast<size_t>(slot)] = mark;
  checks_[static_cast<size_t>(slot)] = 0;
  console_.Print("[check-box " + mark + "] " + caption + "\n");
}

void PosixWindow::DestroyCheckBox(int slot) {
  if (slot < 0 || slot >= MAX_CHECKBOXES) return;
  console_.Print("[check-box " + marks_[static_cast<size_t>(slot)] + "] zrušen\n");
  marks_[static_cast<size_t>(slot)].clear();
  checks_[static_cast<size_t>(slot)] = 0;
}

int PosixWindow::GetCheck(int slot) {
  if (slot < 0 || slot >= MAX_CHECKBOXES) return 0;
  return checks_[static_cast<size_t>(slot)];
}

void PosixWindow::SetCheck(int slot, int state) {
  if (slot < 0 || slot >= MAX_CHECKBOXES) return;
  checks_[static_cast<size_t>(slot)] = state;
}

}  // namespace tv::posix
