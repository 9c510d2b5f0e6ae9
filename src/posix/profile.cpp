#include "posix/profile.h"
#include "posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace tv::posix {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ReadAll(const std::string& path, std::string& text) {
  text.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    if (lf == std::string::npos) lf = text.size();
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return lines;
}

// "[name]" gives the name; anything else is no section header.
bool SectionHeader(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
  name = Trim(t.substr(1, t.size() - 2));
  return true;
}

bool KeyLine(const std::string& line, std::string& key, std::string& value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0777);
  }
}

}  // namespace

std::string DefaultProfilePath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.config";
  }
  return base + "/tarvelin/tarvelin.ini";
}

IniProfile::IniProfile(std::string path, std::string section)
    : path_(std::move(path)), section_(std::move(section)) {}

Bytes IniProfile::GetString(const char* key, const Bytes& fallback, size_t maxChars) {
  std::string text;
  Bytes result = fallback;
  if (ReadAll(path_, text)) {
    bool inSection = false;
    for (const std::string& line : SplitLines(text)) {
      std::string name, k, v;
      if (SectionHeader(line, name)) {
        inSection = SameName(name, section_);
      } else if (inSection && KeyLine(line, k, v) && SameName(k, key)) {
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
          v = v.substr(1, v.size() - 2);
        }
        result = v;
        break;
      }
    }
  }
  return result.substr(0, maxChars);
}

void IniProfile::SetString(const char* key, const Bytes& rawValue) {
  // A line end inside the value would start a new line of the file.
  Bytes value = rawValue;
  for (char& c : value) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::string text;
  ReadAll(path_, text);
  std::vector<std::string> lines = SplitLines(text);
  const std::string entry = std::string(key) + "=" + value;

  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;  // after the section's last non-blank line
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionHeader(lines[i], name)) {
      if (inSection) break;
      inSection = SameName(name, section_);
      if (inSection) sectionEnd = i + 1;
    } else if (inSection) {
      if (KeyLine(lines[i], k, v) && SameName(k, key)) {
        lines[i] = entry;
        done = true;
      } else if (!Trim(lines[i]).empty()) {
        sectionEnd = i + 1;
      }
    }
  }
  if (!done) {
    if (sectionEnd != std::string::npos) {
      lines.insert(lines.begin() + static_cast<long>(sectionEnd), entry);
    } else {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
      lines.push_back("[" + section_ + "]");
      lines.push_back(entry);
    }
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";

  // Written beside the file and renamed over it, so that a failure never
  // leaves a half-written file; a link is followed to the file it names.
  std::string target = path_;
  char resolved[PATH_MAX];
  if (realpath(path_.c_str(), resolved)) target = resolved;
  MakeFolders(target);
  std::string temp = target + ".tmp" + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  bool ok = WriteAll(fd, out.data(), out.size());
  if (close(fd) != 0) ok = false;
  if (!ok || rename(temp.c_str(), target.c_str()) != 0) unlink(temp.c_str());
}

}  // namespace tv::posix
