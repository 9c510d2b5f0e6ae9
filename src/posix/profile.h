// The per-user settings: key=value lines in section [Tarvelin] of
// ${XDG_CONFIG_HOME:-$HOME/.config}/tarvelin/tarvelin.ini.
#pragma once

#include <string>

#include "host/host.h"

namespace tv::posix {

// The settings file's path from the environment.
std::string DefaultProfilePath();

class IniProfile : public Profile {
 public:
  explicit IniProfile(std::string path, std::string section = "Tarvelin");

  // Section and key names compare without regard to case; the value loses
  // surrounding blanks and one pair of enclosing quotes.
  Bytes GetString(const char* key, const Bytes& fallback, size_t maxChars) override;
  // Replaces the key's value or adds it (creating folders, file and section);
  // every other line of the file stays as it was.
  void SetString(const char* key, const Bytes& value) override;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string section_;
};

}  // namespace tv::posix
