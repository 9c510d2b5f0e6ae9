#include "posix/cmdline.h"

#include <cerrno>
#include <cstdio>

#include "app/mainwindow.h"
#include "posix/charset.h"

namespace tv::posix {

Bytes RebuildCommandLine(const std::vector<std::string>& args) {
  Bytes text;
  for (size_t i = 0; i < args.size(); ++i) {
    // Arguments arrive in UTF-8; the program works in Windows-1250.
    const Bytes arg = FromUtf8(args[i]);
    if (i > 0) text.push_back(' ');
    bool blank = arg.empty();
    for (char c : arg) {
      if (static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32) blank = true;
    }
    if (!blank) {
      text += arg;
    } else if (arg.find('"') == std::string::npos) {
      text += '"' + arg + '"';
    } else {
      text += '\'' + arg + '\'';
    }
  }
  return text;
}

bool ReadArgsFile(const std::string& path, std::vector<std::string>& args) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  std::string text(kMaxArgsFileBytes + 1, '\0');
  const size_t got = std::fread(&text[0], 1, text.size(), file);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    errno = error;
    return false;
  }
  if (got > kMaxArgsFileBytes) {
    errno = EFBIG;
    return false;
  }
  text.resize(got);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) args.push_back(line);
    pos = end + 1;
  }
  return true;
}

bool NamesNothingToDo(const Bytes& commandLine) {
  StartupOptions options;
  SymbolList symbols;
  CounterList counters;
  TextList texts;
  try {
    ParseCommandLine(commandLine, options, symbols, counters, texts);
  } catch (const CommandLineError&) {
    return false;
  }
  return options.scriptName.empty() && options.connectMode == 0;
}

const char* UsageText() {
  return "Použití: tarvelin [volby] [--] script\n"
         "  -p soubor         protokol do souboru (\"-\": bez protokolu)\n"
         "  -d symbol         definuje symbol (také -D)\n"
         "  -n čítač hodnota  nastaví čítač\n"
         "  -t jméno text     nastaví textovou proměnnou\n"
         "  -c server port    před scriptem se připojí k serveru\n"
         "  -a port           před scriptem přijme spojení na portu\n"
         "Obsluha píše na standardní vstup: click ZNAČKA, interrupt, close\n"
         "a odpovědi oknům: ok, cancel, yes, no, ok TEXT, ok SERVER PORT, ok PORT.\n";
}

}  // namespace tv::posix
